// A camera-less flight with the telemetry modem bridged from start to stop: every ground request
// (preflight, version, the landing command) arrives through the modem and is passed on to the
// flight controller, the flight controller's traffic reaches the modem, and the daemon's own
// replies and reports go out through the flight controller only.
#include <gtest/gtest.h>

#include <sstream>

#include "archive/chainFixtures.h"
#include "e2e/flightSupport.h"

namespace {

constexpr int kShots = 3;

chain::Shot shot(int k) {
    return {1700000000000 + k * 1500, -353632621 + k * 4491, 1491652374 + k * 17, 9000 + k * 250, 704000 + k * 125};
}

} // namespace

TEST(ModemFlight, GroundRequestsThroughTheModemRepliesThroughTheFlightController) {
    flight::Flight f;
    vt::writeFile(f.root("/root/vorn/version"), "57\n");
    vt::makeDirs(f.dir() + "/images");
    vt::makeDirs(f.dir() + "/triggered");
    {
        chain::Db db = chain::openDb(f.dir() + "/geodata.db");
        chain::createOrigImage(db.get());
        for (int k = 0; k < kShots; ++k) {
            chain::addShot(db.get(), shot(k), "origImage");
            chain::makeImage(f.dir() + "/triggered/IMG_000" + std::to_string(k + 1) + ".jpg");
        }
    }
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 60, 6);

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 30\n"
             << "wait log \"telemetry modem on\" 30\n"
             << "preflight camtype=1 mission=e2e-modem\n"
             << flight::streamLog(f.work("flight.bin"))
             << "version\n"
             << "wait rx DATA96 type=5 30\n"
             << "arm\nheartbeat active\n"
             << "survey shots=" << kShots << " every=1.2\n"
             << "land via=modem\n"
             << "wait rx DATA96 type=4 count=" << kShots + 1 << " 60\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_none 0 images, 0 files to process\" 30\n"
             << "stop 6\n";
    f.fly(scenario.str(), {"--modem", "--verbose"}, {"--modem", "{fc}", "1500000", "{modem}", "57600"});
    ASSERT_EQ(f.finish(std::chrono::seconds(150)), 0) << f.diagnostics();
    flight::expectCleanEnd(f);
    std::string out = f.out();

    // The version reply reached the flight controller's line; nothing of the daemon's own went
    // to the modem, and with a modem the daemon sends no heartbeat of its own.
    EXPECT_EQ(flight::linesWith(out, "RX DATA96 type=5 len=4 data=3900ffbe ").size(), 1u);
    EXPECT_TRUE(flight::linesWith(out, "RX modem ").empty()) << flight::linesWith(out, "RX modem ").front();
    EXPECT_TRUE(flight::linesWith(out, "RX HEARTBEAT ").empty());

    // The bridge: the ground's requests came out at the flight controller, the flight
    // controller's messages at the modem.
    // (The simulator names the messages it decodes; others show as "MSG id=N": 2 SYSTEM_TIME, 33
    // GLOBAL_POSITION_INT, 180 CAMERA_FEEDBACK, 184 REMOTE_LOG_DATA_BLOCK.)
    for (const char* echo : {"ECHO fc DATA96 type=3 ", "ECHO fc DATA96 type=5 ", "ECHO fc COMMAND_LONG cmd=189 ",
                             "ECHO modem HEARTBEAT ", "ECHO modem MSG id=2 ", "ECHO modem MSG id=33 "})
        EXPECT_FALSE(flight::linesWith(out, echo).empty()) << echo;
    EXPECT_EQ(flight::linesWith(out, "ECHO modem MSG id=180 ").size(), static_cast<size_t>(kShots));
    EXPECT_GE(flight::linesWith(out, "ECHO modem MSG id=184 ").size(), log.size() / 200);

    // The preflight and the landing from the ground were acted on: the flight is tagged and
    // archived under the mission, its progress reported to the ground.
    for (int k = 0; k < kShots; ++k) {
        chain::Shot s = shot(k);
        flight::expectTaggedWith(f.dir() + "/images/IMG_000" + std::to_string(k + 1) + ".jpg",
                                 {s.lat / 1e7, s.lon / 1e7, s.alt / 1000.0, s.yaw / 100.0});
    }
    std::string db = f.dir() + "/geodata.db";
    EXPECT_EQ(flight::query(db, "SELECT COUNT(*), MIN(flightID), MAX(flightID) FROM oldfiles"),
              (std::vector<std::vector<std::string>>{{std::to_string(kShots), "1", "1"}}));
    EXPECT_EQ(flight::query(db, "SELECT missionID, camType FROM flights WHERE flightID = 1"),
              (std::vector<std::vector<std::string>>{{"e2e-modem", "1"}}));
    flight::expectProgress(out, kShots);
    flight::expectDataflashLog(f, log);
}
