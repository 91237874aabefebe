// The companion protocol: DATA96 requests of the ground station through the handler's real
// pipes, the version reply from the version file, and user messages.
#include "link/companion.h"
#include "core/userMessage.h"

#include <gtest/gtest.h>

#include "msgHandlerRig.h"

using namespace std::chrono_literals;
using rig::HandlerRig;

namespace {

struct Reply {
    mavlink_message_t msg{};
    mavlink_data96_t d{};
};

Reply nextData96(HandlerRig& h) {
    Reply r;
    r.msg = h.nextFc();
    EXPECT_EQ(r.msg.msgid, MAVLINK_MSG_ID_DATA96);
    mavlink_msg_data96_decode(&r.msg, &r.d);
    return r;
}

Reply versionReply(HandlerRig& h) {
    uint8_t none[96] = {};
    h.send(h.data96(SOFTWARE_VERSION_INFO, none, 0));
    return nextData96(h);
}

void expectVersionData(const Reply& r, uint8_t lo, uint8_t hi) {
    EXPECT_EQ(r.msg.sysid, 100);
    EXPECT_EQ(r.msg.compid, 100);
    EXPECT_EQ(r.d.type, SOFTWARE_VERSION_INFO);
    EXPECT_EQ(r.d.len, 4);
    EXPECT_EQ(r.d.data[0], lo);
    EXPECT_EQ(r.d.data[1], hi);
    EXPECT_EQ(r.d.data[2], 0xFF);
    EXPECT_EQ(r.d.data[3], 0xBE);
    for (int i = 4; i < 96; ++i) ASSERT_EQ(r.d.data[i], 0) << "data byte " << i;
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
};

mavlink_data96_t readUserMessage(int fd) {
    mavlink_message_t m{};
    EXPECT_EQ(msgRead(fd, &m), 1);
    EXPECT_EQ(m.msgid, MAVLINK_MSG_ID_DATA96);
    EXPECT_EQ(m.sysid, 100);
    mavlink_data96_t d{};
    mavlink_msg_data96_decode(&m, &d);
    EXPECT_EQ(d.type, USER_MESSAGE);
    return d;
}

} // namespace

TEST(Companion, VersionReplyFollowsTheVersionFile) {
    HandlerRig h;
    std::string file = h.path("/root/vorn/version");

    expectVersionData(versionReply(h), 0, 0); // no file
    // The line follows the write the test has just read.
    EXPECT_TRUE(h.out.waitFor("vorn-camera DID NOT FIND version file\n"
                              "vorn-camera msgHandler done writing SOFTWARE_VERSION_INFO msg to outbound pipe\n"));

    vt::writeFile(file, "57\n");
    expectVersionData(versionReply(h), 57, 0);
    EXPECT_TRUE(h.out.has("vorn-camera found vornCC_Version: 57\n"));

    vt::writeFile(file, "70000");
    expectVersionData(versionReply(h), 4464 & 0xFF, 4464 >> 8);
    EXPECT_TRUE(h.out.has("vorn-camera found vornCC_Version: 4464\n"));

    vt::writeFile(file, "beta\n");
    expectVersionData(versionReply(h), 0, 0);
    EXPECT_TRUE(h.out.has("vorn-camera found vornCC_Version: 0\n"));

    // The handler's own sequence numbers run on across its replies.
    Reply a = versionReply(h);
    Reply b = versionReply(h);
    EXPECT_EQ(static_cast<uint8_t>(a.msg.seq + 1), b.msg.seq);
}

TEST(Companion, WifiRequestIsPassedOnWithTerminatedTexts) {
    HandlerRig h;
    uint8_t d[96] = {};
    d[0] = WIFI_CLIENT;
    std::memset(d + 1, 'S', 32);              // a full 32-character network name
    std::memcpy(d + 33, "secret-phrase", 13);
    d[65] = 'x'; // the unused bytes stay out of the request
    d[66] = 'y';
    h.send(h.data96(COMPANION_COMPUTER_WIFI, d, 67));
    auto r = h.nextWifi();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->mode, WIFI_CLIENT);
    EXPECT_EQ(std::string(r->ssid), std::string(32, 'S'));
    EXPECT_EQ(std::string(r->password), "secret-phrase");
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler read MAVLINK_MSG_ID_DATA96\n"
                               "vorn-camera msgHandler got DATA96 type 1\n"
                               "vorn-camera msgHandler got COMPANION_COMPUTER_WIFI\n"));
    // The handler's own idea of the WiFi is unchanged: an active heartbeat still turns it off.
    h.send(h.heartbeat(1, 1, MAV_STATE_ACTIVE, false));
    EXPECT_EQ(h.nextCmd(), CAM_TAKEOFF);
    EXPECT_EQ(h.nextWifi()->mode, WIFI_OFF);
}

TEST(Companion, UsbRequestStoresTheFlightAndMountsOnlyOnTheGround) {
    HandlerRig h;
    uint8_t d[96] = {};
    d[0] = 2;
    d[1] = 0x01; // flight 513
    d[2] = 0x02;
    h.send(h.heartbeat(1, 1, MAV_STATE_ACTIVE, true));
    EXPECT_EQ(h.nextCmd(), CAM_TAKEOFF);
    EXPECT_EQ(h.nextWifi()->mode, WIFI_OFF);
    h.send(h.data96(COMPANION_COMPUTER_USB, d, 3));
    h.sync();
    h.expectQuiet(); // no attaching in flight
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler COMPANION_COMPUTER_USB\n"
                               "vorn-camera msgHandler got COMPANION_COMPUTER_USB flightID: 513\n"));
    {
        std::lock_guard<std::mutex> guard(h.ctx.camera.lock);
        EXPECT_EQ(h.ctx.camera.flightID, 513);
    }

    h.send(h.heartbeat(1, 1, 3, true));
    EXPECT_EQ(h.nextWifi()->mode, WIFI_ACCESS_POINT);
    d[1] = 0xFE; // -2 as int16, printed as unsigned
    d[2] = 0xFF;
    h.send(h.data96(COMPANION_COMPUTER_USB, d, 3));
    EXPECT_EQ(h.nextCmd(), CAM_MOUNT);
    EXPECT_TRUE(h.out.has("flightID: 65534\n"));
    d[0] = 1;
    h.send(h.data96(COMPANION_COMPUTER_USB, d, 3));
    EXPECT_EQ(h.nextCmd(), CAM_UNMOUNT);
    d[0] = 3;
    h.send(h.data96(COMPANION_COMPUTER_USB, d, 3));
    h.sync();
    h.expectQuiet();
}

TEST(Companion, PreflightStoresTheFlightAndForwardsTheWholeRecord) {
    HandlerRig h;
    const char* id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"; // 32 characters: no terminating zero
    mavlink_message_t sent = h.preflight(1554927439123LL, id, CAMTYPE_KERNEL);
    h.send(sent);
    auto c = h.nextCamera();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cmd, CAM_PREFLIGHT);
    EXPECT_EQ(c->camType, CAMTYPE_KERNEL);

    mavlink_message_t logged;
    std::memset(&logged, 0x77, sizeof logged);
    ASSERT_TRUE(h.nextLog(&logged));
    mavlink_message_t expected{};
    std::memcpy(&expected, &sent, 12 + sent.len); // what crossed msgPipe, zero-filled after
    EXPECT_EQ(std::memcmp(&logged, &expected, sizeof expected), 0);

    {
        std::lock_guard<std::mutex> guard(h.ctx.camera.lock);
        EXPECT_EQ(h.ctx.camera.flightTime, 1554927439123LL);
        EXPECT_EQ(std::memcmp(h.ctx.camera.missionID, id, 32), 0);
        EXPECT_EQ(h.ctx.camera.camType, CAMTYPE_KERNEL);
    }
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler COMPANION_COMPUTER_PREFLIGHT\n"
                               "vorn-camera msgHandler do preflight processing, camType=3\n"));
}

TEST(Companion, CameraModeActsOnlyForASonyCameraAndOtherTypesAreOnlyLogged) {
    HandlerRig h;
    uint8_t d[96] = {10};
    h.send(h.data96(CAMERA_MODE, d, 1));
    h.sync();
    h.expectQuiet();
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got CAMERA_MODE\n"));
    EXPECT_FALSE(h.out.has("ModeStill"));

    h.send(h.preflight(1, "m", CAMTYPE_SONY));
    EXPECT_EQ(h.nextCmd(), CAM_PREFLIGHT);
    mavlink_message_t rec;
    ASSERT_TRUE(h.nextLog(&rec));
    h.send(h.data96(CAMERA_MODE, d, 1));
    EXPECT_EQ(h.nextCmd(), CAM_MODE_STILL);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got CAMERA_MODE: ModeStill\n"));
    d[0] = 11;
    h.send(h.data96(CAMERA_MODE, d, 1));
    EXPECT_EQ(h.nextCmd(), CAM_MODE_MOVIE);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got CAMERA_MODE: ModeMovie\n"));

    for (uint8_t type : std::initializer_list<uint8_t>{0, PROCESSING_PROGRESS, 7, USER_MESSAGE, 255}) h.send(h.data96(type, d, 6));
    h.sync();
    h.expectQuiet();
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got DATA96 type 4\n"));
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler got DATA96 type 255\n"));
}

TEST(Companion, UserMessageIsCutTo95Characters) {
    Pipe p;
    rig::StdoutCapture out;
    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>('a' + i % 26);
    send_user_message(p.fd[1], 3, "%s", text.c_str());
    mavlink_data96_t d = readUserMessage(p.fd[0]);
    EXPECT_EQ(d.len, 96);
    EXPECT_EQ(d.data[0], 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data + 1), 95), text.substr(0, 95));
    EXPECT_TRUE(out.has("vorn-camera userMessage done writing USER_MESSAGE msg to outbound pipe\n"));

    send_user_message(p.fd[1], 0, "image %d of %d", 7, 12);
    d = readUserMessage(p.fd[0]);
    EXPECT_EQ(d.len, 1 + 13);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data + 1)), "image 7 of 12");
    for (int i = 14; i < 96; ++i) ASSERT_EQ(d.data[i], 0);

    // A format of its own that is null: the first argument is the text.
    send_user_message(p.fd[1], 1, nullptr, "plain %d text");
    d = readUserMessage(p.fd[0]);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data + 1)), "plain %d text");

    signal(SIGPIPE, SIG_IGN); // as in the daemon
    close(p.fd[0]);
    p.fd[0] = -1;
    send_user_message(p.fd[1], 0, "%s", "nobody reads");
    EXPECT_TRUE(out.has("vorn-camera userMessage failed to write USER_MESSAGE msg to outbound pipe\n"));
}
