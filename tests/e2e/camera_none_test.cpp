// Camera-less survey flights through the real daemon: every good image carries its own shot's
// position, no shot is lost, and the ground hears of what went wrong.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "e2e/flightSupport.h"
#include "support/chainFixtures.h"

namespace {

constexpr int kShots = 10;

// Shot k of a prepared flight: two north-south legs over the simulator's survey origin (a second
// flight flies the next two legs).
chain::Shot shot(int k) {
    int leg = k / 5, along = k % 5;
    int32_t lat = -353632621 + (leg % 2 == 0 ? along : 4 - along) * 4491;
    int32_t lon = 1491652374 + leg * 4406;
    return {1700000000000 + k * 2000, lat, lon, leg % 2 == 0 ? 0 : 18000, 704000 + k * 10};
}

std::string imageName(int k) {
    return flight::numbered("IMG_%04d.jpg", k + 1);
}

// Shots first..first+count-1 as the prepared table origImage of db in dir, their images in
// dir/triggered, for dir/images.
void prepareFlight(const std::string& dir, const std::string& db, int first, int count = kShots) {
    const std::string triggered = dir + "/triggered";
    vt::makeDirs(triggered);
    vt::makeDirs(dir + "/images");
    chain::Db handle = chain::openDb(dir + "/" + db);
    chain::createOrigImage(handle.get());
    for (int k = first; k < first + count; ++k) {
        chain::addShot(handle.get(), shot(k), "origImage");
        chain::makeImage(triggered + "/" + imageName(k), "320x240");
    }
}

void expectTaggedWithShot(const std::string& image, int k, bool whole = false) {
    chain::Shot s = shot(k);
    flight::expectTaggedWith(image, {s.lat / 1e7, s.lon / 1e7, s.alt / 1000.0, s.yaw / 100.0}, whole);
}

} // namespace

// A camera-less flight with the telemetry modem bridged: every ground request arrives through
// the modem and is passed on to the flight controller, whose traffic reaches the modem; the
// daemon's own replies go out through the flight controller only. Among the card's images one is
// truncated (exiv2 still tags it), one empty and one garbage: those two are not counted, their
// shots stay for another pass, and the next preflight moves them to table untagged with a
// warning, so their positions are still there to be recovered. After the first pass the field
// page, opened in a browser, shows the pass done, the flight's counts, a mark per shot on its map
// (the two untagged ones apart, with their reason) and downloads the flight's geo.txt as written.
TEST(CameraLessFlight, ThroughTheModemGoodImagesTaggedBadOnesKeepTheirShotsAndTheGroundIsWarned) {
    flight::Flight f;
    vt::writeFile(f.root("/root/vorn/version"), "57\n");
    std::string flightDir = f.dir();
    prepareFlight(flightDir, "geodata.db", 0);
    std::string triggered = flightDir + "/triggered/";
    vt::writeFile(triggered + imageName(3), vt::readFile(triggered + imageName(3)).substr(0, 400));
    vt::writeFile(triggered + imageName(5), "");
    vt::writeFile(triggered + imageName(8), std::string(3000, '\x37'));
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 60 * 200, 6);
    // Another program reads geodata.db all through the flight, holding each read transaction 5 s.
    chain::exec(chain::openDb(flightDir + "/geodata.db").get(), "PRAGMA journal_mode = WAL");
    vt::Process reader(flightDir, "reader", {"/usr/bin/python3", "-c", R"(
import sqlite3, time
db = sqlite3.connect("geodata.db", isolation_level=None)
while True:
    db.execute("BEGIN")
    print("holding", db.execute("SELECT COUNT(*) FROM sqlite_master").fetchone()[0], flush=True)
    time.sleep(5)
    db.execute("COMMIT")
)"});
    ASSERT_TRUE(reader.waitForOutput("holding")) << reader.errors();

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 15\nwait log \"telemetry modem on\" 30\n"
             << "preflight camtype=1 mission=e2e-survey\n"
             << flight::streamLog(f.work("flight.bin"))
             << "version\nwait rx DATA96 type=5 30\n"
             << "wait log \"vorn-camera preflight_none 0 unknown files\" 30\n"
             << "arm\nheartbeat active\n"
             << "survey shots=3 every=1.2\n"
             << "land via=modem\n"
             << "wait log \"vorn-camera postflight_none 8 images processed, 10 expected\" 60\n"
             << "wait file " << f.work("page/checked") << " 90\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_none 0 images processed, 2 expected\" 30\n"
             << "preflight camtype=1 mission=next\n"
             << "wait log \"vorn-camera preflight_none 2 unknown files\" 30\n"
             << "wait file " << f.work("page/moved") << " 30\n"
             << "stop 6\n";
    f.fly(scenario.str(), {"--quiet", "--modem", "--verbose"}, {"--modem", "{fc}", "1500000", "{modem}", "57600"});
    const std::string pageDir = f.work("page");
    vt::makeDirs(pageDir);
    std::string page, pageGeoTxt; // what the browser saw, and the flight's geo.txt as it stood then
    std::string movedReasons; // the flight's untagged shots as the page tells them once they were moved
    auto openPage = [&](const std::string& line) {
        if (line.find("preflight_none 2 unknown files") != std::string::npos) {
            vt::Process get(pageDir, "get", {"/usr/bin/python3", "-c", "import json, sys, urllib.request\n"
                            "f = json.load(urllib.request.urlopen(sys.argv[1] + '/api/flights/1', timeout=10))\n"
                            "print([(s['n'], s['reason']) for s in f['shotList'] if not s['tagged']])",
                            f.pageAddress()});
            get.wait(std::chrono::seconds(30));
            movedReasons = get.output() + get.errors();
            vt::writeFile(pageDir + "/moved", "");
        }
        if (line.find("postflight_none 8 images processed, 10 expected") == std::string::npos) return;
        vt::Process browser(pageDir, "browser", {"/usr/bin/env", "node", VORN_SOURCE_DIR "/tests/browser/fieldPage.js",
                                                 f.pageAddress() + "/", "10 of 10", "1", pageDir});
        browser.wait(std::chrono::seconds(90));
        page = browser.output() + browser.errors();
        pageGeoTxt = vt::readFile(flightDir + "/flights/1/geo.txt");
        vt::writeFile(pageDir + "/checked", "");
    };
    ASSERT_EQ(f.finish(std::chrono::seconds(240), f.work("daemon.log"), openPage), 0) << f.diagnostics() << page;
    flight::expectCleanEnd(f);
    EXPECT_TRUE(reader.running()) << reader.errors();
    std::string out = f.out();

    // The version reply reached the flight controller's line; nothing of the daemon's own went
    // to the modem, and with a modem the daemon sends no heartbeat of its own.
    EXPECT_EQ(flight::linesWith(out, "RX DATA96 type=5 len=4 data=3900ffbe ").size(), 1u);
    EXPECT_TRUE(flight::linesWith(out, "RX modem ").empty()) << flight::linesWith(out, "RX modem ").front();
    EXPECT_TRUE(flight::linesWith(out, "RX HEARTBEAT ").empty());
    // The bridge: the ground's requests came out at the flight controller, the flight controller's
    // messages at the modem. (The simulator names the messages it decodes; others show as
    // "MSG id=N": 2 SYSTEM_TIME, 33 GLOBAL_POSITION_INT, 180 CAMERA_FEEDBACK, 184 REMOTE_LOG_DATA_BLOCK.)
    for (const char* echo : {"ECHO fc DATA96 type=3 ", "ECHO fc DATA96 type=5 ", "ECHO fc COMMAND_LONG cmd=189 ",
                             "ECHO modem HEARTBEAT ", "ECHO modem MSG id=2 ", "ECHO modem MSG id=33 "})
        EXPECT_FALSE(flight::linesWith(out, echo).empty()) << echo;
    EXPECT_EQ(flight::linesWith(out, "ECHO modem MSG id=180 ").size(), 3u);
    EXPECT_GE(flight::linesWith(out, "ECHO modem MSG id=184 ").size(), log.size() / 200);
    flight::expectDataflashLog(f, log);

    // Progress for the eight archived images, then the final report of each of the three passes.
    EXPECT_EQ(flight::linesWith(out, "RX DATA96 type=4 ").size(), 11u);
    for (int k = 1; k <= 8; ++k) EXPECT_EQ(vt::countOf(out, flight::progressLine(k, kShots)), 1u) << k;
    EXPECT_EQ(vt::countOf(out, flight::progressLine(kShots, kShots)), 1u);
    EXPECT_EQ(vt::countOf(out, flight::progressLine(2, 2)), 2u);
    flight::expectWarning(out, "flight 1: 8 of 10 images tagged, 2 kept for retry");
    flight::expectWarning(out, "flight 1: 0 of 2 images tagged, 2 kept for retry"); // the retry, seconds later
    flight::expectWarning(out, "2 shots not tagged: kept in table untagged");
    EXPECT_NE(f.log().find("vorn-camera updatePairedImages ./images/IMG_0006.jpg not tagged: exiv2: "),
              std::string::npos);

    for (int k = 0; k < kShots; ++k) {
        std::string image = flightDir + "/images/" + imageName(k);
        if (k == 5 || k == 8) flight::expectUntagged(image);
        else expectTaggedWithShot(image, k);
    }
    std::string db = flightDir + "/geodata.db";
    EXPECT_EQ(flight::query(db, "SELECT COUNT(*), MIN(flightID), MAX(flightID), (SELECT COUNT(*) FROM image) "
                                "FROM oldfiles"),
              (std::vector<std::vector<std::string>>{{"8", "1", "1", "0"}}));
    EXPECT_EQ(flight::query(db, "SELECT missionID, camType FROM flights WHERE flightID = 1"),
              (std::vector<std::vector<std::string>>{{"e2e-survey", "1"}}));
    std::vector<std::vector<std::string>> untagged;
    for (int k : {5, 8})
        untagged.push_back({std::to_string(k + 1), "1", std::to_string(shot(k).lat), std::to_string(shot(k).lon),
                            "./images/" + imageName(k), "tagging failed"});
    EXPECT_EQ(flight::query(db, "SELECT shotID, flightID, lat, lon, path, reason FROM untagged ORDER BY shotID"),
              untagged);

    // The flight's side files, read by real parsers, agree with the tags read back from the images;
    // geo.txt lists every tagged image once, and the card carries a copy.
    std::string side = flightDir + "/flights/1";
    auto parsed = chain::parsedSideFiles(side);
    ASSERT_EQ(parsed.size(), 2u * kShots + 2) << vt::readFile(side + "/shots.geojson");
    EXPECT_EQ(parsed.back(), "props:1|e2e-survey|1");
    std::string geoTxt = vt::readFile(side + "/geo.txt");
    EXPECT_EQ(geoTxt.rfind("EPSG:4326\n", 0), 0u);
    for (int k = 0; k < kShots; ++k) {
        std::vector<std::string> f;
        std::istringstream in(parsed[k]);
        for (std::string field; std::getline(in, field, '|');) f.push_back(field);
        ASSERT_EQ(f.size(), 6u) << parsed[k];
        bool tagged = k != 5 && k != 8;
        EXPECT_EQ(f[0], imageName(k));
        EXPECT_EQ(f[5], tagged ? "True" : "False") << f[0];
        EXPECT_EQ(vt::countOf(geoTxt, "\n" + imageName(k) + " "), tagged ? 1u : 0u) << f[0];
        if (tagged)
            flight::expectTaggedWith(flightDir + "/images/" + f[0],
                                     {std::stod(f[2]), std::stod(f[1]), std::stod(f[3]), std::stod(f[4])});
    }
    for (const char* name : {"/shots.geojson", "/shots.csv", "/geo.txt"})
        EXPECT_EQ(vt::readFile(flightDir + "/images/vorn/flight-1" + name), vt::readFile(side + name)) << name;

    for (const char* shown : {"passText=10 of 10\n", "counts=10 shots · 8 tagged · 2 not tagged\n", "tagged=8\n",
                              "untagged=2\n", "geoStatus=200\n", "pageErrors=0\n", "file=shots.geojson",
                              "warning=flight 1: 8 of 10 images tagged, 2 kept for retry\n",
                              "file=shots.csv", "file=geo.txt"})
        EXPECT_EQ(vt::countOf(page, shown), 1u) << shown << "\n" << page;
    std::vector<std::string> reasons = flight::linesWith(page, "reason=");
    ASSERT_EQ(reasons.size(), 2u) << page;
    for (int i : {0, 1}) {
        EXPECT_EQ(reasons[i].rfind("reason=#" + std::to_string(i == 0 ? 6 : 9) + " " + imageName(i == 0 ? 5 : 8), 0), 0u);
        EXPECT_NE(reasons[i].find(": waiting for the next pass"), std::string::npos) << reasons[i];
    }
    EXPECT_EQ(vt::readFile(pageDir + "/geo.txt"), pageGeoTxt);
    EXPECT_EQ(movedReasons, "[(6, 'tagging failed'), (9, 'tagging failed')]\n");
    // Kept in the build directory: the README's picture of the page.
    const std::string screenshot = vt::readFile(pageDir + "/field-page.png");
    EXPECT_EQ(screenshot.substr(1, 3), "PNG");
    vt::writeFile(std::filesystem::path(VORN_DAEMON_PATH).parent_path() / "field-page.png", screenshot);
}

// The power is cut inside the writing of the first picture's tagged version (the daemon killed when
// its file passes the picture's size) in a flight started on a damaged geodata.db: it is set aside,
// the backup restored, never overwritten, the ground warned, the picture untouched. After the restart
// the next preflight removes what the cut left and finishes the first flight before the second's.
TEST(CameraLessFlight, PowerCutWhileAPictureIsWrittenAndADamagedDatabaseLoseNothing) {
    flight::Flight f;
    std::string dir = f.dir();
    prepareFlight(dir, "geodata.db.bak", 0);
    const std::string first = dir + "/triggered/" + imageName(0);
    chain::makeImage(first, "1600x1200", "gray +noise Random");
    const std::string picture = vt::readFile(first), backupRows = "SELECT * FROM origImage ORDER BY id";
    const auto backup = flight::query(dir + "/geodata.db.bak", backupRows);
    const std::string garbage(4096, '\x5a');
    vt::writeFile(dir + "/geodata.db", garbage);

    const std::string start = "wait log \"flight controller on\" 15\n";
    const std::string fly = "arm\nheartbeat active\nsurvey shots=1 every=0.5\nland\n";
    const off_t cut = static_cast<off_t>(picture.size()) + 64; // the tagged version is larger: EXIF added
    {
        vt::FileSizeLimit limit(cut); // for the daemon started now
        // The damaged database's warning waits for the ground: it goes out when the preflight comes.
        f.fly("wait log \"warning held until the ground is heard: geodata.db damaged\" 15\n" + start +
                  "preflight camtype=1 mission=first\nwait rx STATUSTEXT severity=4 30\n"
                      "wait log \"vorn-camera preflight_none 0 unknown files\" 30\n" + fly +
                  "wait log \"the power is cut before this line\" 120\n", {"--quiet"});
    }
    // The daemon ended under the simulator.
    ASSERT_EQ(f.finish(std::chrono::seconds(120)), 3) << f.diagnostics();
    ASSERT_EQ(f.log().find("finished"), std::string::npos) << "the pass ended before the power cut";
    ASSERT_EQ(vt::readFile(dir + "/images/vorn-tagging.tmp").size(), static_cast<size_t>(cut)) << "cut elsewhere";
    EXPECT_TRUE(vt::readFile(dir + "/images/" + imageName(0)) == picture);
    flight::expectWarning(f.out(), "geodata.db damaged: set aside, backup restored");
    EXPECT_EQ(flight::query(dir + "/geodata.db.bak", backupRows), backup);
    auto aside = chain::commandLines("ls " + shellQuote(dir) + "/geodata.db.damaged-*");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(vt::readFile(aside[0]) == garbage);
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT COUNT(*) FROM image")[0][0], std::to_string(kShots));

    // The second flight's prepared set; the first one's images stay on the card untagged.
    for (int k = 0; k < kShots; ++k) std::filesystem::remove(dir + "/triggered/" + imageName(k));
    prepareFlight(dir, "geodata.db", kShots);
    f.fly(start + "preflight camtype=1 mission=second\n"
                  "wait log \"vorn-camera preflight_none 10 images processed, 10 expected\" 60\n"
                  "wait log \"vorn-camera preflight_none 0 unknown files\" 30\n" + fly +
              "wait log \"vorn-camera postflight_none 10 images processed, 10 expected\" 60\n"
              "disarm\nwait log \"vorn-camera postflight_none 0 images, 0 files to process\" 30\nstop 6\n",
          {"--quiet"});
    ASSERT_EQ(f.finish(std::chrono::seconds(150)), 0) << f.diagnostics();
    flight::expectCleanEnd(f);

    EXPECT_FALSE(vt::fileExists(dir + "/images/vorn-tagging.tmp"));
    for (int k = 0; k < 2 * kShots; ++k) expectTaggedWithShot(dir + "/images/" + imageName(k), k, true);
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT flightID, COUNT(*), MIN(path), MAX(path) FROM oldfiles "
                                                 "GROUP BY flightID ORDER BY flightID"),
              (std::vector<std::vector<std::string>>{
                  {"1", "10", "./images/IMG_0001.jpg", "./images/IMG_0010.jpg"},
                  {"2", "10", "./images/IMG_0011.jpg", "./images/IMG_0020.jpg"}}));
    // The first flight, finished at the second's preflight, is filed under its own mission and number.
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT flightID, missionID FROM flights WHERE flightID IN "
                                                 "(SELECT flightID FROM oldfiles) ORDER BY flightID"),
              (std::vector<std::vector<std::string>>{{"1", "first"}, {"2", "second"}}));
    EXPECT_EQ(chain::parsedSideFiles(dir + "/flights/1").back(), "props:1|first|1");
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT (SELECT COUNT(*) FROM image), (SELECT COUNT(*) FROM "
                                                 "untagged)"),
              (std::vector<std::vector<std::string>>{{"0", "0"}}));
}

// SIGTERM in the middle of a pass of 60 images, its 30th read slowly (a named pipe the test feeds once the daemon
// is stopping): the pass finishes that image, commits the 30 it archived and the daemon exits 0 within 2 s; every
// picture is untouched or wholly tagged, and the next preflight tags the other 30. (The test puts the pictures
// on the card itself, all with one file time, once the preflight is done.)
TEST(CameraLessFlight, AStopDuringAPassFinishesTheImageInProgressAndTheNextPreflightTheRest) {
    constexpr int kLong = 60, kSlow = 29;
    flight::Flight f;
    const std::string dir = f.dir(), slow = dir + "/images/" + imageName(kSlow);
    prepareFlight(dir, "geodata.db", 0, kLong);
    std::vector<std::string> pictures;
    for (int k = 0; k < kLong; ++k) pictures.push_back(vt::readFile(dir + "/triggered/" + imageName(k)));
    auto putOnCard = [&] {
        const timespec now[2] = {{std::time(nullptr), 0}, {std::time(nullptr), 0}};
        for (int k = 0; k < kLong; ++k) {
            const std::string image = dir + "/images/" + imageName(k), from = dir + "/triggered/" + imageName(k);
            std::rename(from.c_str(), image.c_str());
            if (k == kSlow) std::remove(image.c_str()), mkfifo(image.c_str(), 0644);
            utimensat(AT_FDCWD, image.c_str(), now, 0);
        }
    };
    const std::string start = "wait log \"flight controller on\" 15\npreflight camtype=1 mission=long\n";
    f.fly(start + "wait log \"vorn-camera preflight_none 0 unknown files\" 30\n"
                  "wait log \"vorn-camera msgHandler received [version]\" 30\n" // the pictures are there
                  "arm\nheartbeat active\nsurvey shots=1 every=0.5\nland\n"
                  "wait log \"vorn-camera 30 of 60, ./images/IMG_0030.jpg\" 60\nstop 10\n", {"--quiet"});
    auto feed = [&](const std::string& line) {
        if (line.find("vorn-camera preflight_none 0 unknown files") != std::string::npos)
            putOnCard(), vt::writeFile(f.root("/var/run/vorn-camera.fifo"), "version\n");
        if (line.find("vorn-camera msgHandler exit") != std::string::npos) vt::writeFile(slow, pictures[kSlow]);
    };
    ASSERT_EQ(f.finish(std::chrono::seconds(120), f.work("daemon.log"), feed), 0) << f.diagnostics();
    const long took = flight::msAfterSigterm(f.out());
    ASSERT_GE(took, 0) << f.diagnostics();
    EXPECT_LT(took, 2000);
    for (int k = 0; k < kLong; ++k) {
        const std::string image = dir + "/images/" + imageName(k);
        if (k <= kSlow) expectTaggedWithShot(image, k, true);
        else EXPECT_TRUE(vt::readFile(image) == pictures[k]) << image;
    }
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT COUNT(*), (SELECT COUNT(*) FROM image) FROM oldfiles"),
              (std::vector<std::vector<std::string>>{{"30", "30"}}));

    // Then a flight of two shots whose camera wrote nothing: the ground hears it at the postflight.
    std::filesystem::remove_all(dir + "/triggered");
    prepareFlight(dir, "geodata.db", kLong, 2);
    std::filesystem::remove_all(dir + "/triggered");
    f.fly(start + "wait log \"vorn-camera preflight_none 30 images processed, 30 expected\" 60\n"
                  "wait log \"vorn-camera preflight_none 0 unknown files\" 30\narm\nheartbeat active\n"
                  "survey shots=1 every=0.5\nland\n"
                  "wait rx STATUSTEXT text=\"flight 2: 2 shots, no new image on the card\" 5\nstop 6\n", {"--quiet"});
    ASSERT_EQ(f.finish(std::chrono::seconds(90)), 0) << f.diagnostics();
    for (int k = kSlow + 1; k < kLong; ++k) expectTaggedWithShot(dir + "/images/" + imageName(k), k, true);
    // The rest is the same flight: its number, and its files list all of its shots.
    EXPECT_EQ(flight::query(dir + "/geodata.db", "SELECT flightID, COUNT(*) FROM oldfiles GROUP BY flightID"),
              (std::vector<std::vector<std::string>>{{"1", std::to_string(kLong)}}));
    EXPECT_EQ(chain::parsedSideFiles(dir + "/flights/1").size(), 2u * kLong + 2);
}
