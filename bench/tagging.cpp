// Tagging pass over a card of 200 JPEGs of 3 to 5 MB: pairing, tagging, archiving and the
// progress reports. The pass tags each picture in-process with libexiv2: the tagged version is
// made in memory and checked, written to a temporary file beside the picture, flushed, and
// renamed over the picture. Two floors run the same exiv2 commands from a plain shell loop over
// the same files: bare (exiv2 rewrites the picture in place) and aside (cp to a temporary name,
// exiv2 on the copy, mv back; no sync). Prints the milliseconds per image and images per second
// of each, and the pass's time over each floor's; then the cost of reading and recording the
// camera's own times of 1,000 pictures, as pairing by time does.
//
//   bench_tagging [images=200] [rounds=3]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/cardInventory.h"
#include "archive/filePairing.h"
#include "archive/geotagDb.h"
#include "archive/pictureTimes.h"
#include "core/shell.h"
#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Setup {
    vt::TempDir dir;
    std::string card = dir / "card";
    std::string originals = dir / "originals";
    int images = 200;
};

std::string imageName(int k) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", k + 1);
    return name;
}

GeoData shotOf(int k) {
    return {1700000000000 + k * 2000LL, -353632621 + k * 4491, 1491652374 + (k % 7) * 4406, 0, 0, (k % 2) * 18000,
            704000 + k, 0};
}

// Three noise images of about 3.2, 3.8 and 4.4 MB, copied round-robin to make the card.
void makeOriginals(const Setup& s) {
    vt::makeDirs(s.originals);
    const char* sizes[] = {"2400x1800", "2600x1950", "2800x2100"};
    for (int i = 0; i < 3; ++i) {
        std::string cmd = std::string("convert -size ") + sizes[i] + " xc:gray +noise Random -quality 92 " +
                          shellQuote(s.originals + "/base" + std::to_string(i) + ".JPG");
        if (runShell(cmd) != 0) {
            std::fprintf(stderr, "bench_tagging: ImageMagick failed: %s\n", cmd.c_str());
            std::exit(1);
        }
    }
}

// Fresh untagged copies on the card (not timed).
void restoreCard(const Setup& s) {
    runShell("rm -rf " + shellQuote(s.card) + " && mkdir -p " + shellQuote(s.card));
    for (int k = 0; k < s.images; ++k)
        runShell("cp " + shellQuote(s.originals + "/base" + std::to_string(k % 3) + ".JPG") + " " +
                 shellQuote(s.card + "/" + imageName(k)));
    runShell("sync");
}

// The exiv2 command that tags file with shot k's tags.
std::string exivCommand(int k, const std::string& file) {
    GeoData g = shotOf(k);
    char args[6][128];
    std::snprintf(args[0], sizeof args[0], "-M \"set Exif.Image.Orientation %d\"", 6);
    formatLatitude(g.lat, args[1]);
    formatLongitude(g.lon, args[2]);
    formatAltitude(g.alt, args[3]);
    formatHeading(g.yaw, args[4]);
    formatDateTaken(static_cast<uint64_t>(g.time), args[5]);
    std::string cmd = "exiv2";
    for (const char* a : args) cmd += std::string(" ") + a;
    for (const std::string& a : surveyTagArguments(g)) cmd += " " + a;
    return cmd + " " + shellQuote(file);
}

// Runs the loop of the per-image commands; aside: each picture is tagged as a copy that then
// replaces it, as a careful pass with the exiv2 tool would do it.
double floorRun(const Setup& s, bool aside) {
    std::string script = s.dir / "loop.sh";
    std::string tmp = s.card + "/vorn-tagging.tmp";
    std::string body;
    for (int k = 0; k < s.images; ++k) {
        std::string picture = s.card + "/" + imageName(k);
        if (!aside)
            body += exivCommand(k, picture) + "\n";
        else
            body += "cp " + shellQuote(picture) + " " + shellQuote(tmp) + " && " + exivCommand(k, tmp) + " && mv " +
                    shellQuote(tmp) + " " + shellQuote(picture) + "\n";
    }
    vt::writeFile(script, body);
    auto start = Clock::now();
    runShell("sh " + shellQuote(script) + " >/dev/null 2>&1");
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The daemon's pass: list the shots and the card, pair, tag, archive, report, copy, empty.
double passRun(const Setup& s, int* archived) {
    chain::WorkDir work(s.dir.path());
    std::remove("geodata.db");
    chain::Db db = chain::openDb("geodata.db");
    chain::createSchema(db.get());
    for (int k = 0; k < s.images; ++k) {
        GeoData g = shotOf(k);
        chain::addShot(db.get(), {g.time, g.lat, g.lon, g.yaw, g.alt});
    }
    CameraContext cam;
    cam.db = db.get();
    int fc[2];
    if (pipe(fc) != 0) std::exit(1);
    std::thread drain([&] {
        char buf[4096];
        while (read(fc[0], buf, sizeof buf) > 0) {
        }
    });
    int out = dup(STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO); // the pass's log lines are written, to nowhere

    auto start = Clock::now();
    ImageList images = getListImages(cam.db).value();
    FileList files = getListFiles(cam.db, s.card.c_str(), "JPG").value();
    int pairs = pairUpItemsPath(images, files);
    *archived = updatePairedImages(&cam, images, pairs, fc[1], 0, 6);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    dup2(out, STDOUT_FILENO);
    close(out);
    close(devnull);
    close(fc[1]);
    drain.join();
    close(fc[0]);
    return seconds;
}

// Reading and recording the camera's own times of 1,000 pictures that carry them, as pairing by
// time does before any tagging (not counting the making of the pictures).
double pictureTimesRun(const Setup& s) {
    const std::string dir = s.dir / "times", base = dir + "/base.JPG";
    vt::makeDirs(dir);
    chain::makeImage(base, "640x480");
    runShell("exiv2 -M'set Exif.Photo.DateTimeOriginal 2023:11:14 22:13:20' -M'set Exif.Photo.SubSecTimeOriginal 12' " +
             shellQuote(base));
    FileList files;
    for (int k = 0; k < 1000; ++k) {
        files.push_back({0, 0, dir + "/" + imageName(k)});
        runShell("cp " + shellQuote(base) + " " + shellQuote(files.back().path));
    }
    chain::WorkDir work(s.dir.path());
    std::remove("times.db");
    chain::Db db = chain::openDb("times.db");
    chain::createSchema(db.get());
    auto start = Clock::now();
    std::optional<PictureTimes> times = recordedPictureTimes(db.get(), files);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!times || !times->fromExif) std::exit(1);
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    Setup s;
    s.images = argc > 1 ? std::atoi(argv[1]) : 200;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    makeOriginals(s);
    std::vector<double> floors, asides, passes;
    for (int r = 0; r < rounds; ++r) {
        restoreCard(s);
        floors.push_back(floorRun(s, false));
        restoreCard(s);
        asides.push_back(floorRun(s, true));
        restoreCard(s);
        int archived = 0;
        passes.push_back(passRun(s, &archived));
        if (archived != s.images) {
            std::fprintf(stderr, "bench_tagging: the pass archived %d of %d images\n", archived, s.images);
            return 1;
        }
        std::printf("round %d: exiv2 loop %.2f s, cp+exiv2+mv loop %.2f s, tagging pass %.2f s\n", r + 1,
                    floors.back(), asides.back(), passes.back());
    }
    double floor = *std::min_element(floors.begin(), floors.end());
    double aside = *std::min_element(asides.begin(), asides.end());
    double pass = *std::min_element(passes.begin(), passes.end());
    auto report = [&](const char* what, double seconds) {
        std::printf("%s %.2f ms/image, %.1f images/s\n", what, 1000 * seconds / s.images, s.images / seconds);
    };
    std::printf("images: %d JPEGs of 3.2 to 4.4 MB, best of %d rounds\n", s.images, rounds);
    report("shell loop of exiv2 in place (floor):   ", floor);
    report("shell loop of cp + exiv2 + mv (aside):  ", aside);
    report("tagging pass (libexiv2, synced, aside): ", pass);
    std::printf("pass time / floor time: %.3f\n", pass / floor);
    std::printf("pass time / aside time: %.3f\n", pass / aside);
    std::printf("picture times of 1000 pictures read and recorded: %.0f ms\n", 1000 * pictureTimesRun(s));
    return 0;
}
