// The message handler thread driven through its real pipes: flight state from heartbeats,
// positions, camera feedback, Sony zoom and mode, landing signals, the clock and its own
// heartbeat.
#include <gtest/gtest.h>

#include <cmath>

#include "link/serialIO.h"
#include "msgHandlerRig.h"

using namespace std::chrono_literals;
using rig::HandlerRig;

namespace {

void expectWifi(HandlerRig& h, uint8_t mode) {
    auto r = h.nextWifi();
    ASSERT_TRUE(r) << "no WiFi request";
    EXPECT_EQ(r->mode, mode);
    EXPECT_EQ(r->ssid[0], '\0');
    EXPECT_EQ(r->password[0], '\0');
}

mavlink_message_t feedback(HandlerRig& h, uint64_t timeUsec, int32_t lat, int32_t lng, float altMsl, float roll,
                           float pitch, float yaw) {
    mavlink_message_t m{};
    mavlink_msg_camera_feedback_pack_chan(1, 1, h.channel(), &m, timeUsec, 0, 0, 3, lat, lng, altMsl, 12.0f, roll,
                                          pitch, yaw, 0, 0, 0);
    return m;
}

mavlink_message_t statusText(HandlerRig& h, uint8_t severity, const char* text) {
    mavlink_message_t m{};
    mavlink_msg_statustext_pack_chan(1, 1, h.channel(), &m, severity, text, 0, 0);
    return m;
}

mavlink_message_t rcChan6(HandlerRig& h, uint16_t value) {
    mavlink_message_t m{};
    mavlink_msg_rc_channels_raw_pack_chan(1, 1, h.channel(), &m, 10, 0, 1500, 1500, 1000, 1500, 1500, value, 1000, 1000,
                                          255);
    return m;
}

mavlink_message_t digicam(HandlerRig& h, uint8_t mode) {
    mavlink_message_t m{};
    mavlink_msg_digicam_configure_pack_chan(1, 1, h.channel(), &m, 100, 100, mode, 0, 0, 0, 0, 0, 0, 0, 0);
    return m;
}

// The handler's camera type as the ground station sets it, with the preflight's own traffic
// taken off the pipes.
void setCamType(HandlerRig& h, uint8_t camType) {
    h.send(h.preflight(1, "m", camType));
    ASSERT_EQ(h.nextCmd(), CAM_PREFLIGHT);
    mavlink_message_t rec;
    ASSERT_TRUE(h.nextLog(&rec));
}

} // namespace

TEST(MsgHandler, HeartbeatsDriveTakeoffWifiAndTheDisarmPostflight) {
    HandlerRig h;
    // A ground station's heartbeat changes nothing, not even the flight controller's ids.
    h.send(h.heartbeat(7, 190, MAV_STATE_ACTIVE, true));
    h.sync();
    h.expectQuiet();
    EXPECT_EQ(h.ctx.fcSysId, 1);

    // Armed but not yet active: the ids are learnt, the armed state recorded, nothing sent.
    h.send(h.heartbeat(7, 1, 3, true));
    h.sync();
    h.expectQuiet();
    EXPECT_EQ(h.ctx.fcSysId, 7);
    EXPECT_EQ(h.ctx.fcCompId, 1);

    // Active: take-off for the camera and WiFi off, once.
    h.send(h.heartbeat(7, 1, MAV_STATE_ACTIVE, true));
    EXPECT_EQ(h.nextCmd(), CAM_TAKEOFF);
    expectWifi(h, WIFI_OFF);
    EXPECT_TRUE(h.out.has("TURNING OFF WIFI\n"));
    h.send(h.heartbeat(7, 1, MAV_STATE_ACTIVE, true));
    h.sync();
    h.expectQuiet();

    // No longer active: the access point again; active again: WiFi off but no second take-off.
    h.send(h.heartbeat(7, 1, 3, true));
    expectWifi(h, WIFI_ACCESS_POINT);
    EXPECT_TRUE(h.out.has("TURNING ON WIFI\n"));
    h.send(h.heartbeat(7, 1, MAV_STATE_ACTIVE, true));
    expectWifi(h, WIFI_OFF);
    h.sync();
    h.expectQuiet();

    // Disarm: log stream stop to the learnt ids, postflight, and the access point.
    h.send(h.heartbeat(7, 1, 3, false));
    expectWifi(h, WIFI_ACCESS_POINT);
    mavlink_message_t stop = h.nextFc();
    ASSERT_EQ(stop.msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS);
    EXPECT_EQ(stop.sysid, 100);
    EXPECT_EQ(stop.compid, 100);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_system(&stop), 7);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_component(&stop), 1);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_seqno(&stop), 2147483645u);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_status(&stop), 1);
    EXPECT_EQ(h.nextCmd(), CAM_POSTFLIGHT);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler done writing REMOTE_LOG_BLOCK_STATUS STOP msg to outbound pipe\n"
                               "vorn-camera msgHandler starting postflight due to vehicle disarm\n"));

    // A second disarmed heartbeat is no second disarm.
    h.send(h.heartbeat(7, 1, 3, false));
    h.sync();
    h.expectQuiet();
}

TEST(MsgHandler, DisarmWithoutAnArmedHeartbeatBeforeItDoesNothing) {
    HandlerRig h;
    h.send(h.heartbeat(1, 1, 3, false));
    h.send(h.heartbeat(1, 1, 3, false));
    h.sync();
    h.expectQuiet();
}

TEST(MsgHandler, FailedWifiWriteIsRetriedOnTheNextHeartbeat) {
    HandlerRig h;
    // Fill wifiPipe so that the handler's next write fails instead of blocking.
    int wfd = h.ctx.wifiPipe[1];
    ASSERT_EQ(fcntl(wfd, F_SETFL, fcntl(wfd, F_GETFL) | O_NONBLOCK), 0);
    WifiRequest filler{};
    filler.mode = 99;
    int fillers = 0;
    while (pipeWrite(wfd, sizeof filler, &filler) == 1) ++fillers;

    h.send(h.heartbeat(1, 1, MAV_STATE_ACTIVE, false));
    EXPECT_EQ(h.nextCmd(), CAM_TAKEOFF);
    h.sync();
    EXPECT_TRUE(h.out.has("TURNING OFF WIFI\nvorn-camera msgHandler failed to write to wifiPipe\n"));

    for (int i = 0; i < fillers; ++i) ASSERT_EQ(h.nextWifi()->mode, 99);
    h.send(h.heartbeat(1, 1, MAV_STATE_ACTIVE, false));
    expectWifi(h, WIFI_OFF);
    EXPECT_EQ(h.out.count("TURNING OFF WIFI\n"), 2u);
    h.sync();
    h.expectQuiet(); // and no second take-off
}

TEST(MsgHandler, CameraFeedbackTriggersAtMostOncePerSecondWithScaledAttitude) {
    HandlerRig h;
    h.send(h.position(10, 20, 30, 4500));
    h.send(feedback(h, 1571257859123456ULL, 327531234, -1170000000, 123.4567f, 0.5f, -1.239f, 359.5f));
    EXPECT_EQ(h.nextCmd(), CAM_TRIGGER);
    GeoData g = h.geo();
    EXPECT_EQ(g.time, 1571257859123456LL); // the message's microseconds
    EXPECT_EQ(g.lat, 327531234);
    EXPECT_EQ(g.lon, -1170000000);
    EXPECT_EQ(g.alt, 123456);  // truncated, not rounded
    EXPECT_EQ(g.roll, 50);
    EXPECT_EQ(g.pitch, -123);  // toward zero, not down
    EXPECT_EQ(g.yaw, 35950);
    EXPECT_EQ(g.heading, 4500); // left as the last position set it
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler used CAMERA_FEEDBACK.  sysid=1, compid=1, lat=327531234, "
                               "lon=-1170000000\n"));

    // 600 ms later: looked at, not used.
    rig::g_now += 600;
    h.send(feedback(h, 2, 1, 1, 1.0f, 1.0f, 1.0f, 1.0f));
    h.sync();
    h.expectQuiet();
    EXPECT_EQ(h.out.count("vorn-camera msgHandler got  CAMERA_FEEDBACK\n"), 2u);
    EXPECT_EQ(h.out.count("used CAMERA_FEEDBACK"), 1u);
    EXPECT_EQ(h.geo().lat, 327531234);

    // The hold-off counts from the last trigger, not from the last message.
    rig::g_now += 401;
    h.send(feedback(h, 3, 5, 6, -7.9f, 0, 0, 0));
    EXPECT_EQ(h.nextCmd(), CAM_TRIGGER);
    EXPECT_EQ(h.geo().alt, -7900);
}

TEST(MsgHandler, OutOfRangeFeedbackValuesSaturate) {
    HandlerRig h;
    h.send(feedback(h, 1, 0, 0, 3.0e9f, NAN, -1.0e30f, INFINITY));
    EXPECT_EQ(h.nextCmd(), CAM_TRIGGER);
    GeoData g = h.geo();
    EXPECT_EQ(g.alt, INT32_MAX);
    EXPECT_EQ(g.roll, 0);
    EXPECT_EQ(g.pitch, INT32_MIN);
    EXPECT_EQ(g.yaw, INT32_MAX);
}

TEST(MsgHandler, TrimmedPositionStoresHeadingZero) {
    HandlerRig h;
    h.send(h.position(327531234, -1170000000, 152000, 27000));
    h.sync();
    EXPECT_EQ(h.geo().heading, 27000);
    EXPECT_EQ(h.geo().time, rig::g_now.load());

    rig::g_now += 200;
    mavlink_message_t m = h.position(327531235, -1170000001, 152001, 0);
    ASSERT_LT(m.len, MAVLINK_MSG_ID_GLOBAL_POSITION_INT_LEN); // the sender cut the zero heading
    h.send(m);
    h.sync();
    GeoData g = h.geo();
    EXPECT_EQ(g.heading, 0);
    EXPECT_EQ(g.lat, 327531235);
    EXPECT_EQ(g.lon, -1170000001);
    EXPECT_EQ(g.alt, 152001);
    EXPECT_EQ(g.time, rig::g_now.load());
    h.expectQuiet(); // not a Sony camera: no feed
    EXPECT_FALSE(h.out.has("send_sony_gps_message"));
}

TEST(MsgHandler, PositionFeedsTheSonyReaderOnlyForASonyCamera) {
    HandlerRig h;
    int reader = h.openGpsReader();
    ASSERT_GE(reader, 0);

    setCamType(h, CAMTYPE_SONY);
    h.send(h.position(327531234, -1170000000, -2500, 900));
    SonyGeoRecord rec{};
    ASSERT_TRUE(rig::readable(reader, 5s));
    ASSERT_EQ(read(reader, &rec, sizeof rec), static_cast<ssize_t>(sizeof rec));
    // Header, 32° 45' 11.24423" north, 117° 0' 0" west, 2.5 m below sea level.
    const int32_t expected[] = {1, 1, 0, 32, 45, 1124423, 100000, 0, 117, 0, 0, 100000, 1, 1, -2500, 1000};
    EXPECT_EQ(std::memcmp(&rec, expected, sizeof expected), 0);
    EXPECT_EQ(rec.msecOfMinute, 20123); // 1700000000.123 s is 20.123 s past its minute
    close(reader);

    // The reader has gone: the record is dropped at once and the handler carries on.
    h.send(h.position(1, 2, 3, 4));
    h.sync();
    EXPECT_TRUE(h.out.has("send_sony_gps_message error opening gps_fifo: No such device or address\n"));
    EXPECT_EQ(h.geo().lat, 1);
}

TEST(MsgHandler, RcChannel6AndDigicamActOnlyForASonyCamera) {
    HandlerRig h;
    setCamType(h, CAMTYPE_SURVEY3);
    h.send(rcChan6(h, 1500));
    h.send(digicam(h, 10));
    h.sync();
    h.expectQuiet();

    setCamType(h, CAMTYPE_SONY);
    h.send(rcChan6(h, 1500));
    auto c = h.nextCamera();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cmd, CAM_ZOOM_STOP);
    EXPECT_EQ(c->camType, CAMTYPE_SONY);
    h.send(rcChan6(h, 1500)); // unchanged: nothing
    h.send(rcChan6(h, 1951));
    EXPECT_EQ(h.nextCmd(), CAM_ZOOM_IN);
    h.send(rcChan6(h, 1049));
    EXPECT_EQ(h.nextCmd(), CAM_ZOOM_OUT);
    h.send(rcChan6(h, 1200));
    h.send(rcChan6(h, 1200));
    h.send(rcChan6(h, 1549));
    EXPECT_EQ(h.nextCmd(), CAM_ZOOM_STOP);
    h.sync();
    EXPECT_EQ(h.out.count("vorn-camera msgHandler undefined RC value\n"), 1u);

    h.send(digicam(h, 10));
    EXPECT_EQ(h.nextCmd(), CAM_MODE_STILL);
    h.send(digicam(h, 11));
    EXPECT_EQ(h.nextCmd(), CAM_MODE_MOVIE);
    h.send(digicam(h, 12));
    h.sync();
    h.expectQuiet();
}

TEST(MsgHandler, LandingSignalsStartPostflight) {
    HandlerRig h;
    h.send(statusText(h, 6, "Executing command ID #189"));
    EXPECT_EQ(h.nextCmd(), CAM_POSTFLIGHT);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler sysid=1, compid=1, severity=6, text=Executing command ID #189\n"
                               "vorn-camera msgHandler text msg for DO_LAND_START\n"));

    // Other severities, other texts and the nine-character "Armed Auto" prefix do nothing.
    h.send(statusText(h, 4, "Executing command ID #189"));
    h.send(statusText(h, 6, "Executing command ID #18"));
    h.send(statusText(h, 6, "Armed AutXpilot"));
    // A full 50-character text has no terminating zero on the wire.
    h.send(statusText(h, 6, "01234567890123456789012345678901234567890123456789"));
    h.sync();
    h.expectQuiet();
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got Armed Auto\n"));
    EXPECT_TRUE(h.out.has("text=01234567890123456789012345678901234567890123456789\n"));

    mavlink_message_t land{};
    mavlink_msg_command_long_pack_chan(1, 1, h.channel(), &land, 100, 100, MAV_CMD_DO_LAND_START, 0, 0, 0, 0, 0, 0, 0, 0);
    h.send(land);
    EXPECT_EQ(h.nextCmd(), CAM_POSTFLIGHT);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler ID 76, sequence: " + std::to_string(land.seq) +
                               " to component 1, system 1\nvorn-camera msgHandler got DO_LAND_START\n"));
}

TEST(MsgHandler, SystemTimeSetsTheClockOnceAndOnlyWhenKnown) {
    HandlerRig h;
    ASSERT_EQ(msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME], 1);
    mavlink_message_t m{};
    mavlink_msg_system_time_pack_chan(1, 1, h.channel(), &m, 0, 1234);
    h.send(m);
    h.sync();
    EXPECT_EQ(msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME], 1);
    EXPECT_FALSE(h.out.has("GPS Time"));
    EXPECT_FALSE(h.out.has("time_change"));

    mavlink_msg_system_time_pack_chan(1, 1, h.channel(), &m, 1571257859123456ULL, 1234);
    h.send(m);
    h.sync();
    EXPECT_EQ(msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME], 0);
    std::string out = h.out.text();
    size_t pre = out.find("vorn-camera GPS Time pre change: 1571257859123456\n");
    size_t set = out.find("would set 1571257859.123456");
    size_t post = out.find("vorn-camera GPS Time post change: 1571257859123456\n");
    ASSERT_NE(pre, std::string::npos);
    ASSERT_NE(set, std::string::npos);
    ASSERT_NE(post, std::string::npos);
    EXPECT_LT(pre, set);
    EXPECT_LT(set, post);
}

TEST(MsgHandler, OwnHeartbeatEverySixtySecondsWithoutAModem) {
    HandlerRig h; // the rig has already taken the first one
    rig::g_now += 60000;
    h.sync();
    h.expectQuiet(); // exactly 60 s is not yet due
    rig::g_now += 1;
    h.sync();
    mavlink_message_t hb = h.nextFc();
    ASSERT_EQ(hb.msgid, MAVLINK_MSG_ID_HEARTBEAT);
    EXPECT_EQ(hb.sysid, 100);
    EXPECT_EQ(hb.compid, 100);
    EXPECT_EQ(hb.seq, 1); // the handler's own sequence
    EXPECT_EQ(mavlink_msg_heartbeat_get_type(&hb), 1);
    EXPECT_EQ(mavlink_msg_heartbeat_get_autopilot(&hb), 0);
    EXPECT_EQ(mavlink_msg_heartbeat_get_base_mode(&hb), 220);
    EXPECT_EQ(mavlink_msg_heartbeat_get_custom_mode(&hb), 0u);
    EXPECT_EQ(mavlink_msg_heartbeat_get_system_status(&hb), 4);
    h.sync();
    h.expectQuiet();
}

TEST(MsgHandler, NoOwnHeartbeatWithAModem) {
    HandlerRig h(1);
    rig::g_now += 3600000;
    h.sync();
    h.expectQuiet();
}

TEST(MsgHandler, ThreadStartResetsTheSharedStateAndRemovesTheCommandPath) {
    vt::TempDir root;
    setenv("VORN_ROOT", root.path().c_str(), 1);
    sandboxInit();
    vt::makeDirs(root / "var/run");
    vt::writeFile(root / "var/run/vorn-camera.fifo", "trigger\n"); // left from an earlier run
    AppContext ctx;
    ctx.camera.camType = CAMTYPE_KERNEL;
    std::memset(&ctx.camera.sonyGeo, 0x33, sizeof ctx.camera.sonyGeo);
    msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] = 0;
    ctx.quit = 1; // start-up only, no pass
    {
        rig::StdoutCapture out;
        std::thread(msgHandlerThread, &ctx).join();
        EXPECT_EQ(out.text(), "vorn-camera msgHandler started...\nvorn-camera msgHandler exit\n");
    }
    EXPECT_EQ(ctx.camera.camType, 0);
    EXPECT_EQ(ctx.camera.sonyGeo.header1, 1);
    EXPECT_EQ(ctx.camera.sonyGeo.header2, 1);
    EXPECT_EQ(ctx.camera.sonyGeo.latDeg, 0);
    EXPECT_EQ(msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME], 1);
    EXPECT_EQ(msgFilter[MAVLINK_MSG_ID_DATA96], 1);
    EXPECT_FALSE(vt::fileExists(root / "var/run/vorn-camera.fifo"));
    unsetenv("VORN_ROOT");
    sandboxInit();
}
