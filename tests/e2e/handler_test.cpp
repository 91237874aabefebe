// The message handler in the real daemon: the simulator plays the flight controller and the
// ground station; a local program writes to the command path.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "e2e/flightSupport.h"

TEST(HandlerFlight, FlightEventsGroundRequestsAndLocalCommandsThroughTheDaemon) {
    flight::Flight f;
    vt::writeFile(f.root("/root/vorn/version"), "57\n");

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 15\n"
             // The handler's own heartbeat, then the ground asks for the version.
             << "wait rx HEARTBEAT type=1 autopilot=0 base_mode=220 status=4 15\n"
             << "version\n"
             << "wait rx DATA96 type=5 len=4 data=3900ffbe 10\n"
             << "wait log \"vorn-camera GPS Time post change\" 10\n"
             // A flight controller's telemetry: every frame counts as received, even of messages
             // the daemon does not read (ATTITUDE, GPS_RAW_INT beside each position).
             << "position on 100\n"
             << "wait log \"vorn-camera serialIO 1000 fc msgs received\" 30\n"
             << "position off\n"
             << "arm\nheartbeat active\n"
             << "wait log \"TURNING OFF WIFI\" 10\n"
             << "land text\n"
             << "wait log \"vorn-camera msgHandler text msg for DO_LAND_START\" 10\n"
             << "heartbeat armed\n"
             << "wait log \"TURNING ON WIFI\" 10\n"
             << "disarm\n"
             << "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483645 status=1 target=7/1 10\n"
             << "wait log \"vorn-camera msgHandler starting postflight due to vehicle disarm\" 10\n"
             // The test writes "usermsg" to the command path meanwhile.
             << "wait rx DATA96 type=8 len=8 data=0061626364656667 30\n"
             // An idle daemon ends within the stop's deadline.
             << "stop 2\n";
    f.fly(scenario.str(), {"--quiet", "--sysid", "7"});
    // The local command comes once the flight is over (the simulator's waits look forward only).
    ASSERT_TRUE(vt::waitUntil([&] { return f.log().find("due to vehicle disarm") != std::string::npos; },
                              std::chrono::seconds(90)))
        << f.diagnostics();
    vt::writeFile(f.root("/var/run/vorn-camera.fifo"), "usermsg\n");

    ASSERT_EQ(f.finish(std::chrono::seconds(120)), 0) << f.diagnostics();
    std::string log = f.log();
    EXPECT_NE(log.find("vorn-camera found vornCC_Version: 57\n"), std::string::npos);
    EXPECT_NE(log.find("vorn-camera msgHandler received [usermsg]\n"), std::string::npos);
    EXPECT_FALSE(vt::fileExists(f.root("/var/run/vorn-camera.fifo")));
    // SYSTEM_TIME came every second, the clock was set once.
    EXPECT_EQ(vt::countOf(log, "vorn-camera GPS Time post change"), 1u);
    EXPECT_EQ(vt::countOf(log, "vorn-camera msgHandler starting postflight due to vehicle disarm"), 1u);
    EXPECT_NE(log.find("vorn-camera msgHandler exit\n"), std::string::npos);
    // Only the positions (and a few heartbeats) of the first 1000 frames were handed on.
    long handled = -1;
    size_t at = log.find("vorn-camera serialIO 1000 fc msgs received, ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(sscanf(log.c_str() + at, "vorn-camera serialIO 1000 fc msgs received, %ld handled", &handled), 1);
    EXPECT_GT(handled, 300);
    EXPECT_LT(handled, 400);
}
