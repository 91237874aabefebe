// Helpers of the end-to-end flights: one sandboxed flight of the real daemon behind vorn-fcsim and
// the checks a survey crew makes after landing.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace flight {

// The lines of text that contain needle.
inline std::vector<std::string> linesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

// Rows of a query on a database file, every column as text.
inline std::vector<std::vector<std::string>> query(const std::string& db, const std::string& statement) {
    chain::Db handle = chain::openDb(db);
    return chain::query(handle.get(), statement);
}

// The processes started with the sandbox root in their environment ("pid: command line").
inline std::vector<std::string> processesIn(const std::string& root) {
    std::vector<std::string> found;
    DIR* d = opendir("/proc");
    if (!d) return found;
    while (dirent* e = readdir(d)) {
        std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::stoi(pid) == getpid()) continue;
        std::string env = '\0' + vt::readFile("/proc/" + pid + "/environ");
        if (env.find(std::string("\0VORN_ROOT=", 11) + root + '\0') == std::string::npos) continue;
        std::string cmd = vt::readFile("/proc/" + pid + "/cmdline");
        for (char& c : cmd)
            if (c == '\0') c = ' ';
        found.push_back(pid + ": " + cmd);
    }
    closedir(d);
    return found;
}

// One flight in its own sandbox: the daemon's working directory (geodata.db), the sandbox root
// and the camera's card. Stub host commands: "mount DEV DIR" links the card's entries into DIR
// when DEV exists (a network share "//..." always does), "umount DIR" removes those links.
class Flight {
public:
    Flight() {
        for (const char* d : {"flight", "card", "root/dev", "root/media/usbdrive", "root/var/run", "root/root/vorn"})
            vt::makeDirs(work_ / d);
        stubs_.add("nmcli");
        stubs_.add("systemctl");
        stubs_.add("mount", "for a in \"$@\"; do dev=$dir; dir=$a; done\n"
                            "case \"$dev\" in //*) ;; *) [ -e \"$dev\" ] ||"
                            " { echo \"mount: $dev: no such device\" >&2; exit 32; } ;; esac\n"
                            "for e in '" + card() + "'/*; do ln -sfn \"$e\" \"$dir/\"; done\n");
        stubs_.add("umount", "find \"$1\" -mindepth 1 -maxdepth 1 -type l -delete\n");
    }
    ~Flight() { cutPower(); } // leaves no daemon behind to read from a later flight's pseudo-terminal
    std::string dir() const { return work_ / "flight"; }
    std::string root(const std::string& rel = "") const { return work_ / ("root" + rel); }
    std::string card(const std::string& rel = "") const { return work_ / ("card" + rel); }
    std::string mountDir() const { return root("/media/usbdrive"); }
    std::string work(const std::string& rel) const { return work_ / rel; }
    std::string log() const { return vt::readFile(work("daemon.log")); } // the daemon's log file
    const vt::StubPath& stubs() const { return stubs_; }
    vt::Process& sim() { return *sim_; }
    std::string out() const { return sim_ ? sim_->output() : ""; } // the simulator's standard output

    // Starts the simulator on the scenario with the daemon behind it (its arguments after the
    // daemon path; {fc} and {modem} stand for the lines).
    void fly(const std::string& scenario, const std::vector<std::string>& simOptions = {},
             const std::vector<std::string>& daemonArgs = {"{fc}", "1500000"},
             const std::vector<std::string>& daemonEnv = {}) {
        vt::writeFile(work("flight.txt"), scenario);
        std::vector<std::string> args = {VORN_FCSIM_PATH};
        args.insert(args.end(), simOptions.begin(), simOptions.end());
        for (const std::string& a : {std::string("--workdir"), dir(), std::string("--env"), "VORN_ROOT=" + root(),
                                     std::string("--daemon-log"), work("daemon.log")})
            args.push_back(a);
        for (const std::string& e : daemonEnv) args.insert(args.end(), {"--env", e});
        args.insert(args.end(), {work("flight.txt"), "--", VORN_DAEMON_PATH, "--web", "127.0.0.1:0"});
        args.insert(args.end(), daemonArgs.begin(), daemonArgs.end());
        sim_.reset(); // the earlier simulator's files are written anew
        sim_ = std::make_unique<vt::Process>(work_.path(), "fcsim", args);
    }
    // The address of the daemon's field page ("http://127.0.0.1:PORT"), once it listens.
    std::string pageAddress() const {
        const std::string listening = "vorn-camera webServer listening on ";
        std::string address;
        vt::waitUntil([&] {
            std::vector<std::string> lines = linesWith(log(), listening);
            if (!lines.empty()) address = lines.back().substr(listening.size());
            return !address.empty();
        }, std::chrono::seconds(15));
        return address.empty() ? address : address.substr(0, address.size() - 1); // without its '/'
    }
    // A power cut: every process of the flight but the simulator ends at once (SIGKILL).
    void cutPower() const {
        for (const std::string& p : processesIn(root())) kill(std::stoi(p), SIGKILL);
    }
    // The simulator's exit status once it ended, -1 when it did not end within the deadline.
    // Meanwhile onLine sees every line appended to the file follow and onTick runs every few ms
    // (a camera following the simulator's output, a power cut following the daemon's log).
    int finish(std::chrono::seconds deadline, const std::string& follow = "",
               const std::function<void(const std::string&)>& onLine = {}, const std::function<void()>& onTick = {}) {
        FILE* in = nullptr; // opened once it exists, then read on from where it stood
        std::string partial;
        vt::waitUntil([&] {
            if (!in && !follow.empty()) in = std::fopen(follow.c_str(), "rb");
            char buf[65536];
            for (size_t n; in && (std::clearerr(in), n = std::fread(buf, 1, sizeof buf, in)) > 0;)
                partial.append(buf, n);
            size_t from = 0;
            for (size_t nl; (nl = partial.find('\n', from)) != std::string::npos; from = nl + 1)
                onLine(partial.substr(from, nl - from));
            partial.erase(0, from);
            if (onTick) onTick();
            return !sim_->running();
        }, deadline);
        if (in) std::fclose(in);
        return sim_->wait(std::chrono::seconds(0));
    }
    // What to print when a flight failed: the simulator's errors and the end of the daemon's log.
    std::string diagnostics() const {
        std::string text = "--- simulator errors:\n" + (sim_ ? sim_->errors() : "");
        for (const std::string& line : linesWith(out(), "fcsim:")) text += line + "\n";
        std::string daemonLog = log();
        return text + "--- daemon log:\n" + daemonLog.substr(daemonLog.size() > 12000 ? daemonLog.size() - 12000 : 0);
    }

private:
    vt::TempDir work_;
    vt::StubPath stubs_;
    std::unique_ptr<vt::Process> sim_;
};

// The name of picture n on a card, after a pattern such as "/DCIM/IMG_%04d.JPG".
inline std::string numbered(const char* pattern, int n) {
    char name[256];
    std::snprintf(name, sizeof name, pattern, n);
    return name;
}

// A DO_SET_SERVO the daemon sent, as the simulator printed it; those of a pulse width in the output.
struct ServoPulse {
    int output;
    int pwm;
    bool operator==(const ServoPulse& o) const { return output == o.output && pwm == o.pwm; }
};
inline std::optional<ServoPulse> servoCommand(const std::string& line) {
    double output = 0, pwm = 0;
    if (std::sscanf(line.c_str(), "RX COMMAND_LONG cmd=183 p1=%lf p2=%lf", &output, &pwm) != 2) return std::nullopt;
    return ServoPulse{static_cast<int>(output), static_cast<int>(pwm)};
}
inline std::vector<ServoPulse> servoCommands(const std::string& output, int pwm) {
    std::vector<ServoPulse> found;
    for (const std::string& line : linesWith(output, "RX COMMAND_LONG cmd=183 "))
        if (auto p = servoCommand(line); p && p->pwm == pwm) found.push_back(*p);
    return found;
}

// Random bytes (a dataflash log is blocks of 200 of them), written to path.
inline std::string makeDataflashLog(const std::string& path, size_t bytes, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(bytes, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    vt::writeFile(path, data);
    return data;
}

// Scenario lines streaming the log file at path once the first preflight has opened the next log
// file (the stream requests of the daemon's start and of the preflight); the first "wait rx" of the
// scenario. The file that preflight opened must then hold the data.
inline std::string streamLog(const std::string& path) {
    return "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 count=2 60\nlogstream " + path + " rate=0 timeout=60\n";
}
inline void expectDataflashLog(const Flight& f, const std::string& data) {
    auto created = linesWith(f.log(), "vorn-camera logHandlerThread created log file ");
    ASSERT_GE(created.size(), 2u) << f.diagnostics(); // at the start, then at the first preflight
    std::string path = created[1].substr(created[1].rfind(' ') + 1);
    EXPECT_EQ(path.rfind(f.root("/root/vorn/dataflashlogs/log"), 0), 0u) << path;
    EXPECT_TRUE(vt::readFile(path) == data) << path << " differs from the streamed log";
}

// Where a shot was taken, as the flight controller reported it.
struct Fix {
    double lat, lon, alt, yaw; // degrees, degrees, metres above mean sea level, degrees
    // The shot as a scenario step, `after` seconds of flight after the previous one.
    std::string feedbackStep(double after = 0) const {
        char step[192];
        std::snprintf(step, sizeof step, "feedback lat=%.7f lon=%.7f alt=%.3f yaw=%.2f after=%g\n", lat, lon, alt, yaw,
                      after);
        return step;
    }
};

// exiv2 prints a rational list as "a/b c/d e/f"; degrees, minutes and seconds add up.
inline double rationalValue(const std::string& text) {
    std::istringstream in(text);
    double total = 0, scale = 1;
    for (std::string part; in >> part; scale /= 60) {
        long num = 0, den = 0;
        if (std::sscanf(part.c_str(), "%ld/%ld", &num, &den) != 2 || den == 0) return NAN;
        total += static_cast<double>(num) / static_cast<double>(den) * scale;
    }
    return total;
}

// The image's GPS tags, read back with exiv2, must show the fix (or none at all).
// whole: the image must also decode whole.
inline void expectTaggedWith(const std::string& image, const Fix& fix, bool whole = false) {
    if (whole) {
        EXPECT_EQ(runShell("identify -regard-warnings " + shellQuote(image) + " >/dev/null"), 0) << image;
    }
    auto tags = chain::exifTags(image);
    EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitudeRef"], fix.lat < 0 ? "S" : "N") << image;
    EXPECT_EQ(tags["Exif.GPSInfo.GPSLongitudeRef"], fix.lon < 0 ? "W" : "E") << image;
    // Positions travel as degrees * 1e7 and are written to a ten-thousandth of a second.
    EXPECT_NEAR(rationalValue(tags["Exif.GPSInfo.GPSLatitude"]), std::fabs(fix.lat), 1.5e-7) << image;
    EXPECT_NEAR(rationalValue(tags["Exif.GPSInfo.GPSLongitude"]), std::fabs(fix.lon), 1.5e-7) << image;
    EXPECT_NEAR(rationalValue(tags["Exif.GPSInfo.GPSAltitude"]), fix.alt, 0.0015) << image;
    EXPECT_NEAR(rationalValue(tags["Exif.GPSInfo.GPSTrack"]), fix.yaw, 0.015) << image;
}
inline void expectUntagged(const std::string& image) {
    auto tags = chain::exifTags(image);
    EXPECT_EQ(tags.count("Exif.GPSInfo.GPSLatitude") + tags.count("Exif.GPSInfo.GPSLongitude"), 0u) << image;
}

// The progress report of archived of pairs images as the simulator prints it, and the reports of a
// tagging pass of n images at the ground: one per image, the last one twice (the final report).
inline std::string progressLine(int archived, int pairs) {
    char line[80];
    std::snprintf(line, sizeof line, "RX DATA96 type=4 len=6 data=%02x%02x%02x%02xffbe ", archived & 255,
                  archived >> 8, pairs & 255, pairs >> 8);
    return line;
}
inline void expectProgress(const std::string& output, int images) { // of the pass over that many pictures
    EXPECT_EQ(linesWith(output, progressLine(images, images).substr(31)).size(), static_cast<size_t>(images + 1))
        << "progress reports";
    for (int k = 1; k <= images; ++k)
        EXPECT_EQ(vt::countOf(output, progressLine(k, images)), k == images ? 2u : 1u) << "report of image " << k;
}

// How long the daemon took to exit 0 after the simulator's SIGTERM (ms), -1 when it did not.
inline long msAfterSigterm(const std::string& out) {
    long took = -1;
    size_t at = out.find("fcsim: daemon exited with status 0, ");
    if (at != std::string::npos) sscanf(out.c_str() + at, "fcsim: daemon exited with status 0, %ld ms after", &took);
    return took;
}

// The warning sent to the ground once as STATUSTEXT and once as USER_MESSAGE.
inline void expectWarning(const std::string& output, const std::string& text) {
    EXPECT_EQ(linesWith(output, "RX STATUSTEXT severity=4 text=\"" + text + "\"").size(), 1u) << text;
    EXPECT_EQ(linesWith(output, "level=1 text=\"" + text + "\"").size(), 1u) << text;
}

// The daemon stopped with status 0 within the scenario's final "stop", and no process of the
// flight is left (every process the daemon started carries the sandbox root in its environment).
inline void expectCleanEnd(const Flight& f) {
    EXPECT_NE(f.out().find("fcsim: daemon exited with status 0"), std::string::npos) << f.diagnostics();
    std::vector<std::string> left;
    // A child of the daemon that was about to exit gets a moment to do so.
    vt::waitUntil([&] { return (left = processesIn(f.root())).empty(); }, std::chrono::seconds(2));
    EXPECT_TRUE(left.empty()) << "still running: " << (left.empty() ? "" : left.front());
}

// The crew's view of a card camera's flight 1: a clean stop, the pictures from before it (numbers
// 1 to oldPhotos) untagged and known, the next ones tagged with the shots and archived under the
// flight's row (flight, mission, camera type), the progress reports at the ground and the log.
inline void expectCardFlight(const Flight& f, const char* pictureName, int oldPhotos, const std::vector<Fix>& shots,
                             const std::vector<std::string>& flightRow, const std::string& log) {
    expectCleanEnd(f);
    auto picture = [&](size_t n) { return f.mountDir() + numbered(pictureName, static_cast<int>(n)); };
    std::vector<std::vector<std::string>> archived;
    for (int k = 1; k <= oldPhotos; ++k) expectUntagged(picture(k));
    for (size_t k = 0; k < shots.size(); ++k) {
        expectTaggedWith(picture(oldPhotos + 1 + k), shots[k]);
        archived.push_back({picture(oldPhotos + 1 + k), "1"});
    }
    std::string db = f.dir() + "/geodata.db";
    EXPECT_EQ(query(db, "SELECT path, flightID FROM oldfiles WHERE flightID = 1 ORDER BY path"), archived);
    EXPECT_EQ(query(db, "SELECT flightID, missionID, camType FROM flights WHERE flightID = 1"),
              std::vector<std::vector<std::string>>{flightRow});
    EXPECT_EQ(query(db, "SELECT COUNT(*) FROM unknownFiles")[0][0], std::to_string(oldPhotos));
    expectProgress(f.out(), static_cast<int>(shots.size()));
    expectDataflashLog(f, log);
}

} // namespace flight
