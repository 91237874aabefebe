// The Sentera camera's HTTP client, driver and archiving, with the stand-in camera on 127.0.0.1.
#include <gtest/gtest.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include "core/clock.h"
#include "core/sandbox.h"
#include "sentera/cam_sentera.h"
#include "sentera/cam_sentera_archive.h"
#include "sentera/cam_sentera_utils.h"
#include "support/chainFixtures.h"
#include "support/fakeSentera.h"
#include "support/testSupport.h"

namespace {
using Strings = std::vector<std::string>;
const std::string control = "PUT /api/v1/session", state = "GET /api/v1/session", list = "GET /sdcard?path=/snapshots/";
vt::FakeSentera camera; // one camera and one sandbox for the program: the driver fixes its paths once
vt::TempDir root;
const std::string card = root.path() + "/media/usbdrive";
std::vector<long> sleeps; // the driver's waits, recorded instead of waited

struct Sentera : ::testing::Test { // an empty camera and card, and no wait, for every test
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        setenv("VORN_SENTERA_ADDR", camera.address().c_str(), 1), sandboxInit();
        std::filesystem::remove_all(root.path() + "/media"), vt::makeDirs(card);
        camera.clear(), sleeps.clear();
        setSleepHook([](long ms) { sleeps.push_back(ms); });
    }
};
TEST_F(Sentera, FetchTakesTheWholeBodyFollowsOneRedirectAndGivesUpOnASilentCamera) {
    std::string big = std::string(150000, 'x') + std::string(150000, 'y');
    camera.reply("GET /big", {big});
    camera.reply("GET /one", {"HTTP/1.0 302 -\r\nLocation: /nowhere\r\n\r\n"});
    camera.reply("GET /two", {"HTTP/1.0 302 -\r\nLocation: /one\r\n\r\n"});
    camera.reply("GET /silent", {});
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    const std::string url = "http://" + camera.address();
    FetchBuffer fetch;
    auto get = [&](const std::string& path) { return curl_fetch_url(curl.get(), (url + path).c_str(), &fetch); };
    EXPECT_EQ(get("/big"), CURLE_OK);
    EXPECT_EQ(std::string(fetch.data, fetch.size + 1), big + '\0');
    EXPECT_EQ(get("/one"), CURLE_OK); // the new reply replaces the old; an error page is a reply too
    EXPECT_EQ(std::string(fetch.data, fetch.size + 1), std::string("no such page") + '\0');
    EXPECT_EQ(get("/two"), CURLE_TOO_MANY_REDIRECTS);
    auto begin = std::chrono::steady_clock::now(); // a silent camera must not hold the camera thread for long
    EXPECT_EQ(get("/silent"), CURLE_OPERATION_TIMEDOUT);
    EXPECT_NEAR(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 5, 2); // seconds
}

// Only the state read back counts: both spellings of the camera's firmware versions, and no white space.
TEST_F(Sentera, SessionStartAndStopAreRetriedUntilTheCameraReportsThem) {
    const struct { const char* name; bool start; Strings states; int rc; size_t attempts; } rows[] = {
        {"started at once", true, {R"({"status":"Ready","sessions":[{"name":"M_1"}]})"}, 0, 1},
        {"started 4th", true, {R"({"status":"IDLE"})", R"({"status":"STARTING"})",
                               R"({"status":"Starting"})", R"({"status":"STARTED"})"}, 0, 4},
        {"never started", true, {R"({ "status" : "Ready" })"}, 1, 5},
        {"stopped 3rd", false, {R"({"status":"CLOSING"})", R"({"status":"Stopping"})", R"({"status":"IDLE"})"}, 0, 3},
        {"stopped at once", false, {R"({"status":"Idle","x":1})"}, 0, 1},
        {"never stopped", false, {R"({"status":"stopped"})"}, 1, 5},
    };
    // A hostile, full-length mission id: no terminator, what follows it is not part of it.
    struct { char id[32]; char after[8] = "XXXXXXX"; } mission;
    std::memcpy(mission.id, "M'7 \"x\"AAAAAAAAAAAAAAAAAAAAAAAAA", 32);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        camera.clear(), sleeps.clear();
        camera.reply(control, {"{}"});
        camera.reply(state, row.states);
        EXPECT_EQ(row.start ? startSession_sentera(mission.id) : stopSession_sentera(), row.rc);
        EXPECT_EQ(sleeps, std::vector<long>(row.attempts, row.start ? 8000 : 5000));
        auto requests = camera.requests();
        ASSERT_EQ(requests.size(), 2 * row.attempts);
        // The camera wants its time in milliseconds and the text "false", not a JSON boolean.
        std::string body = requests[0].body, time = row.start ? body.substr(body.find(R"("time": )") + 8, 13) : "";
        EXPECT_EQ(body, row.start ? R"({ "command": "start", "session": "M'7 \"x\")" + std::string(25, 'A') +
                                        R"(", "time": )" + time + R"(, "append": "false" })"
                                  : R"({ "command": "stop" })");
        EXPECT_NE(requests[0].headers.find("Content-Type: application/json"), std::string::npos);
    }
}

TEST_F(Sentera, SensorsFromTheCardsConfiguration) {
    const struct { const char* name; std::string text; Strings sensors; } rows[] = { // a name ends at a CR
        {"line feeds", "CamName: RGB\nCamName: NIR\r\nCamName: \r\rTIR\r\nCamName: ", {"/RGB\nCamName: NIR/", "/TIR/"}},
        {"no proper name", "Cam Name: RGB\r\nCamName:NIR\r\n", {}},
        {"a zero byte ends the text", std::string("CamName: RGB\r\n\0CamName: NIR\r\n", 29), {"/RGB/"}},
    };
    for (const auto& row : rows) {
        vt::writeFile(card + "/config.yml", row.text);
        EXPECT_EQ(findSensors(), row.sensors) << row.name;
    }
    vt::makeDirs(card + "/info/config.yml"); // this one wins, but cannot be read
    EXPECT_EQ(findSensors(), Strings{});
}

TEST(SenteraSessions, TheMissionsLastSessionByItsWholeName) {
    const std::string entry =
        "<div class=\"file_entry\"><a class=\"directory sd_entry\" href=\"sdcard?path=/snapshots//";
    const struct { const char* mission; std::vector<std::string> sessions; const char* found; } rows[] = {
        {"M7", {"M7_0001", "M7_0002", "M70_0001"}, "M7_0002"}, {"M7", {"M70_0001", "M7x"}, nullptr},
        {"M7", {"M7"}, "M7"}, {"M70", {"M7_0001"}, nullptr}};
    for (const auto& row : rows) {
        std::string listing;
        for (const std::string& s : row.sessions) listing += entry + s + "\">" + s + "</a></div>\n";
        const char* found = findSession(listing.data(), row.mission);
        EXPECT_EQ(found ? found : "(none)", std::string(row.found ? row.found : "(none)")) << row.mission;
    }
}

// A hostile mission id, full length without a terminator; the card lacks the second sensor's images.
TEST_F(Sentera, PostflightStopsTheSessionMountsTheShareAndArchivesTheFlightThatLanded) {
    const std::string mission = "O'Neil;DROP_TABLE_flights;--QQQQ", session = card + "/hidden/" + mission + "_2/";
    vt::TempDir work;
    chain::WorkDir cwd(work.path()); // the flight's side files go to the working directory
    chain::Db db = chain::openDb(work / "geodata.db");
    chain::createSchema(db.get());
    CameraContext cam;
    cam.db = db.get(), cam.camType = CAMTYPE_SENTERA, cam.flightTime = 1796000000123;
    std::memcpy(cam.missionID, mission.data(), sizeof cam.missionID);
    vt::makeDirs(session + "RGB");
    vt::writeFile(card + "/config.yml", "model: 6X\r\nCamName: RGB\r\nlens: 5\r\nCamName: Red Edge's\r\n");
    std::vector<Strings> rows;
    for (std::string sensor : {"RGB/", "Red Edge's/"})
        for (std::string n : {"1", "2", "3"}) {
            if (sensor == "RGB/") vt::writeFile(session + sensor + "IMG_0000" + n + ".jpg", n + n);
            rows.push_back({std::to_string(rows.size() + 1), card + "/snapshots/" + mission + "_2/" + sensor +
                            "IMG_0000" + n + ".jpg", sensor == "RGB/" ? "2" : "0", "1"});
        }
    auto entry = [](const std::string& n) {
        return "<div class=\"file_entry\"><a class=\"directory sd_entry\" href=\"sdcard?path=/snapshots//" + n + "\">";
    };
    camera.reply(list, {entry(mission + "_1") + entry(mission + "_2") + entry("M_3")}); // the last one counts
    camera.reply(list + mission + "_2/RGB/", {"IMG_00001.jpg IMG_00002.jpg IMG_00003.jpg"});
    camera.reply(control, {"{}"});
    camera.reply(state, {R"({"status":"Stopping"})", R"({"status":"Idle"})"});
    // The share counts as mounted only once its snapshots show, whatever mount says: here at the fifth command.
    vt::StubPath stubs;
    stubs.add("mount", "[ $(wc -l < " + stubs.dir() + "/calls.log) -lt 5 ] || mv \"$6/hidden\" \"$6/snapshots\"");
    setSleepHook([&](long ms) { sleeps.push_back(ms); cam.missionID[0] = 'M'; }); // the next mission comes meanwhile
    EXPECT_EQ(postflight_sentera(&cam), 0);
    EXPECT_EQ(sleeps, std::vector<long>(2 + 5, 5000));
    EXPECT_EQ(stubs.calls(), Strings(5, "mount -t cifs -o username=ostrel,password= //127.0.0.1/sdcard " + card));
    Strings calls;
    for (const vt::Request& r : camera.requests()) calls.push_back(r.method + " " + r.path);
    EXPECT_EQ(calls, (Strings{control, state, control, state, list, list + mission + "_2/RGB/"}));
    EXPECT_EQ(chain::query(db.get(), "SELECT * FROM oldfiles"), rows);
    // The side files list the images without positions: the camera tags its own.
    EXPECT_EQ(chain::parsedSideFiles(card + "/vorn/flight-1").at(4), "Red Edge's/IMG_00002.jpg|||||False");
    cam.missionID[0] = mission[0]; // archived again: the rows stay, the flight takes the next number
    EXPECT_EQ(storeSenteraImagesSamba(&cam), 0);
    EXPECT_EQ(chain::query(db.get(), "SELECT * FROM oldfiles"), rows);
    // Early failures leave the database and the camera alone: a count beyond an int, no share.
    camera.reply(list + mission + "_2/RGB/", {"IMG_4294967294.jpg"});
    EXPECT_EQ(storeSenteraImagesSamba(&cam), -1);
    std::filesystem::remove_all(card + "/snapshots"), camera.clear();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), -1);
    EXPECT_EQ(stubs.calls().size(), 10u);
    EXPECT_TRUE(camera.requests().empty());
    EXPECT_EQ(chain::query(db.get(), "SELECT flightID, missionID, camType, time FROM flights"),
              (std::vector<Strings>{{"1", mission, "5", "1796000000123"}, {"2", mission, "5", "1796000000123"}}));
}
} // namespace
