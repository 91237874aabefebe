// A Sentera flight through the real daemon: the Python stand-in camera answers on 127.0.0.1 and
// a stub CIFS mount shows its card. Take-off opens the mission's recording session, landing
// closes it, and the session's images (not an older session's) are archived with their sizes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "e2e/flightSupport.h"
#include "support/chainFixtures.h"
#include "support/fakeSentera.h"

namespace {

const std::string kMission = "e2e-sentera";
const std::string kSession = "e2e-sentera_0002"; // the mission's second session is the current one

std::string listingEntry(const std::string& session) {
    return "<div class=\"file_entry\"><a class=\"directory sd_entry\" href=\"sdcard?path=/snapshots//" + session +
           "\">" + session + "</a></div>\n";
}

} // namespace

TEST(SenteraFlight, TheMissionsSessionIsRecordedAndItsImagesArchived) {
    flight::Flight f;
    vt::FakeSentera camera;
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 60 * 200, 5);

    // The card as the share shows it: the sensors' configuration and three sessions.
    vt::makeDirs(f.card("/info"));
    vt::writeFile(f.card("/info/config.yml"), "Model: 6X\r\nCamName: RGB\r\nCamName: NIR\r\n");
    for (const std::string& session : {std::string("old-mission_0001"), std::string("e2e-sentera_0001"), kSession})
        for (const char* sensor : {"RGB", "NIR"}) {
            std::string dir = f.card("/snapshots/" + session + "/" + sensor);
            vt::makeDirs(dir);
            for (int k = 1; k <= 3; ++k)
                chain::makeImage(dir + flight::numbered("/IMG_%05d.jpg", k), std::to_string(40 + 8 * k) + "x32");
        }
    camera.reply("PUT /api/v1/session", {"{}"});
    camera.reply("GET /api/v1/session",
                 {"{\"status\":\"Ready\",\"sessions\":[{\"name\":\"" + kSession + "\"}]}", "{\"status\":\"Idle\"}"});
    camera.reply("GET /sdcard?path=/snapshots/",
                 {listingEntry("old-mission_0001") + listingEntry("e2e-sentera_0001") + listingEntry(kSession)});
    camera.reply("GET /sdcard?path=/snapshots/" + kSession + "/RGB/", {"IMG_00001.jpg IMG_00002.jpg IMG_00003.jpg"});

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 30\n"
             << "preflight camtype=5 mission=" << kMission << "\n"
             << flight::streamLog(f.work("flight.bin"))
             << "arm\nheartbeat active\n"
             << "wait log \"vorn-camera startSession_sentera successfully started session " << kMission << "\" 90\n"
             << "feedback\n" // the camera records on its own: no shot from us
             << "land\n"
             << "wait log \"vorn-camera postflight_sentera 6 image paths stored\" 120\n"
             << "disarm\n" // archived again: nothing new to store
             << "wait log \"vorn-camera postflight_sentera 0 image paths stored\" 120\n"
             << "stop 6\n";
    f.fly(scenario.str(), {}, {"{fc}", "1500000"}, {"VORN_SENTERA_ADDR=" + camera.address()});
    ASSERT_EQ(f.finish(std::chrono::seconds(240)), 0) << f.diagnostics();
    flight::expectCleanEnd(f);

    // Session opened at take-off, closed at landing and again at disarm, archived after each.
    std::vector<vt::Request> all = camera.requests();
    std::string requests;
    for (const vt::Request& r : all) requests += r.method + " " + r.path + "|";
    const std::string session = "PUT /api/v1/session|GET /api/v1/session|", listing = "GET /sdcard?path=/snapshots/";
    const std::string archiving = listing + "|" + listing + kSession + "/RGB/|";
    ASSERT_EQ(requests, session + session + archiving + session + archiving);
    EXPECT_NE(all[0].body.find("start"), std::string::npos) << all[0].body;
    EXPECT_NE(all[0].body.find(kMission), std::string::npos) << all[0].body;
    EXPECT_NE(all[2].body.find("stop"), std::string::npos) << all[2].body;

    // The share was mounted once; the second archiving found it still there.
    EXPECT_EQ(flight::linesWith(vt::readFile(f.stubs().dir() + "/calls.log"), "mount "),
              std::vector<std::string>{"mount -t cifs -o username=ostrel,password= //127.0.0.1/sdcard " +
                                       f.mountDir()});

    std::vector<std::vector<std::string>> archived;
    for (const char* sensor : {"RGB", "NIR"})
        for (int k = 1; k <= 3; ++k) {
            std::string path =
                f.mountDir() + "/snapshots/" + kSession + "/" + sensor + flight::numbered("/IMG_%05d.jpg", k);
            struct stat st {};
            ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
            archived.push_back({path, std::to_string(st.st_size), "1"});
        }
    std::string db = f.dir() + "/geodata.db";
    EXPECT_EQ(flight::query(db, "SELECT path, size, flightID FROM oldfiles ORDER BY id"), archived);
    EXPECT_EQ(flight::query(db, "SELECT missionID, camType FROM flights WHERE flightID = 1"),
              (std::vector<std::vector<std::string>>{{kMission, "5"}}));

    std::string out = f.out();
    EXPECT_TRUE(flight::servoCommands(out, 2000).empty()) << "a Sentera camera is not shot by servo";
    flight::expectDataflashLog(f, log);
}
