// The local command path through the running handler: plain files and named pipes at the
// real path, one command per read, and what each command does.
#include <gtest/gtest.h>

#include <cerrno>

#include "msgHandlerRig.h"

using namespace std::chrono_literals;
using rig::HandlerRig;

namespace {

std::string cmdPath(const HandlerRig& h) {
    return h.path("/var/run/vorn-camera.fifo");
}

// Writes a command file the way a shell redirection does and waits until the handler has read
// it to its end and removed it.
void commandFile(HandlerRig& h, const std::string& text) {
    vt::writeFile(cmdPath(h), text);
    h.sync(); // wakes the handler, whose next pass opens the file
    ASSERT_TRUE(vt::waitUntil([&] { return !vt::fileExists(cmdPath(h)); })) << "command file not consumed";
}

// A named pipe at the command path, opened by the handler, with this test as its writer.
class FifoWriter {
public:
    explicit FifoWriter(HandlerRig& h) : h_(h) {
        opened_ = h.out.count("vorn-camera msgHandler fifo successfully opened\n") + 1;
        EXPECT_EQ(mkfifo(cmdPath(h).c_str(), 0600), 0);
        h.sync();
        EXPECT_TRUE(vt::waitUntil([&] { return h.out.count("vorn-camera msgHandler fifo successfully opened\n") == opened_; }));
        fd_ = open(cmdPath(h).c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_GE(fd_, 0);
    }
    ~FifoWriter() { closeWriter(); }
    void write(const std::string& text) { ASSERT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    // Writes one command and waits until the handler has logged it.
    void command(const std::string& text) {
        size_t before = h_.out.count("received [");
        write(text);
        ASSERT_TRUE(vt::waitUntil([&] { return h_.out.count("received [") > before; }));
    }
    void closeWriter() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    HandlerRig& h_;
    size_t opened_ = 0;
    int fd_ = -1;
};

// The next record on the (non-blocking) reader. Between records the feed has the FIFO closed,
// so an empty read (end of file, no writer yet) only means the record has not come yet.
SonyGeoRecord readGpsRecord(int reader) {
    SonyGeoRecord rec{};
    ssize_t n = 0;
    EXPECT_TRUE(vt::waitUntil([&] {
        n = read(reader, &rec, sizeof rec);
        return n > 0 || (n < 0 && errno != EAGAIN);
    }, 5s));
    EXPECT_EQ(n, static_cast<ssize_t>(sizeof rec));
    return rec;
}

} // namespace

TEST(CmdFifo, PlainFileIsReadActedOnAndDeleted) {
    HandlerRig h;
    commandFile(h, "postflight");
    EXPECT_EQ(h.nextCmd(), CAM_POSTFLIGHT);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler fifo successfully opened\n"));
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler received [postflight]\n"));
    h.sync();
    h.expectQuiet(); // read once only

    commandFile(h, "TRIGGER\n"); // case is ignored
    EXPECT_EQ(h.nextCmd(), CAM_TRIGGER);
    commandFile(h, "trigger now\n");
    commandFile(h, " trigger\n");
    commandFile(h, "mount\nunmount\n"); // one read, one command
    EXPECT_EQ(h.nextCmd(), CAM_MOUNT);
    commandFile(h, "unmount\r\nmount\n");
    EXPECT_EQ(h.nextCmd(), CAM_UNMOUNT);
    h.sync();
    h.expectQuiet();
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler received [trigger now]\n"));
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler received [mount]\n"));
    EXPECT_FALSE(h.out.has("received [unmount]\nvorn-camera msgHandler received [mount]"));

    // Text of 64 bytes or more without a line end is taken as its first 63 bytes.
    commandFile(h, std::string(70, 'x'));
    EXPECT_TRUE(h.out.has("received [" + std::string(63, 'x') + "]\n"));
}

TEST(CmdFifo, NamedPipeKeptOpenCarriesSeveralCommands) {
    HandlerRig h;
    {
        FifoWriter w(h);
        w.command("trigger\n");
        EXPECT_EQ(h.nextCmd(), CAM_TRIGGER);
        w.command("mount\n");
        EXPECT_EQ(h.nextCmd(), CAM_MOUNT);
        w.command("still");
        EXPECT_EQ(h.nextCmd(), CAM_MODE_STILL);
        EXPECT_TRUE(vt::fileExists(cmdPath(h)));
    }
    // The writer has gone: the end of the source closes it and removes the path.
    ASSERT_TRUE(vt::waitUntil([&] { return !vt::fileExists(cmdPath(h)); }));
    h.sync();
    h.expectQuiet();
}

TEST(CmdFifo, NamedPipeWithoutAWriterWaitsWithoutBeingReopened) {
    HandlerRig h;
    ASSERT_EQ(mkfifo(cmdPath(h).c_str(), 0600), 0);
    for (int i = 0; i < 5; ++i) h.sync(); // several passes; the handler keeps handling messages
    EXPECT_EQ(h.out.count("vorn-camera msgHandler fifo successfully opened\n"), 1u);
    EXPECT_TRUE(vt::fileExists(cmdPath(h)));

    // A shell writer that comes later is heard.
    std::string cmd = "echo zoomin > " + cmdPath(h);
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(h.nextCmd(), CAM_ZOOM_IN);
    ASSERT_TRUE(vt::waitUntil([&] { return !vt::fileExists(cmdPath(h)); }));
}

TEST(CmdFifo, SomethingUnreadableAtThePathIsReportedRarelyAndLeftAlone) {
    HandlerRig h;
    vt::makeDirs(cmdPath(h));
    for (int i = 0; i < 5; ++i) h.sync();
    EXPECT_EQ(h.out.count("vorn-camera msgHandler failed to open fifo\n"), 1u);
    EXPECT_TRUE(vt::fileExists(cmdPath(h)));
    h.expectQuiet();
}

TEST(CmdFifo, CameraCommandsCarryTheCameraTypeTheCommandsSet) {
    HandlerRig h;
    FifoWriter w(h);
    struct Case {
        const char* word;
        uint8_t cmd;
    } cases[] = {{"zoomstop", CAM_ZOOM_STOP}, {"zoomin", CAM_ZOOM_IN}, {"zoomout", CAM_ZOOM_OUT},
                 {"still", CAM_MODE_STILL},   {"movie", CAM_MODE_MOVIE}, {"preflight", CAM_PREFLIGHT},
                 {"postflight", CAM_POSTFLIGHT}, {"mount", CAM_MOUNT},   {"unmount", CAM_UNMOUNT},
                 {"Trigger", CAM_TRIGGER}};
    w.command("kernel\n");
    for (const auto& c : cases) {
        w.command(std::string(c.word) + "\n");
        auto got = h.nextCamera();
        ASSERT_TRUE(got) << c.word;
        EXPECT_EQ(got->cmd, c.cmd) << c.word;
        EXPECT_EQ(got->camType, CAMTYPE_KERNEL) << c.word;
    }
    {
        std::lock_guard<std::mutex> guard(h.ctx.camera.lock);
        EXPECT_EQ(h.ctx.camera.camType, CAMTYPE_KERNEL);
    }

    // "sony" makes the handler's Sony-only reactions live.
    w.command("sony\n");
    mavlink_message_t m{};
    mavlink_msg_digicam_configure_pack_chan(1, 1, h.channel(), &m, 100, 100, 10, 0, 0, 0, 0, 0, 0, 0, 0);
    h.send(m);
    auto still = h.nextCamera();
    ASSERT_TRUE(still);
    EXPECT_EQ(still->cmd, CAM_MODE_STILL);
    EXPECT_EQ(still->camType, CAMTYPE_SONY);

    w.command("land\n");
    auto land = h.nextCamera();
    ASSERT_TRUE(land);
    EXPECT_EQ(land->cmd, CAM_LANDING);
    EXPECT_EQ(land->camType, CAMTYPE_SENTERA);
    std::lock_guard<std::mutex> guard(h.ctx.camera.lock);
    EXPECT_EQ(h.ctx.camera.camType, CAMTYPE_SENTERA);
}

TEST(CmdFifo, TakeoffAfterPreflightKeepsTheRestOfTheOldMissionId) {
    HandlerRig h;
    // A flight number whose bytes would show if the mission id were read past its 32 bytes.
    uint8_t usb[96] = {0, 'A', 'A'};
    h.send(h.data96(COMPANION_COMPUTER_USB, usb, 3));
    const char* id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    h.send(h.preflight(99, id, CAMTYPE_SURVEY3));
    EXPECT_EQ(h.nextCmd(), CAM_PREFLIGHT);
    mavlink_message_t rec;
    ASSERT_TRUE(h.nextLog(&rec));

    FifoWriter w(h);
    w.command("takeoffwpreflight\n");
    EXPECT_EQ(h.nextCmd(), CAM_TAKEOFF);
    EXPECT_TRUE(h.out.has(std::string("vorn-camera msgHandler mission_id: ") + id + "\n"));

    w.command("takeoff\n");
    auto c = h.nextCamera();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cmd, CAM_TAKEOFF);
    EXPECT_EQ(c->camType, CAMTYPE_SENTERA);
    EXPECT_TRUE(h.out.has("vorn-camera msgHandler mission_id: Takeoff_Test\n"));
    std::lock_guard<std::mutex> guard(h.ctx.camera.lock);
    EXPECT_EQ(std::string(h.ctx.camera.missionID, 32), std::string("Takeoff_Test\0", 13) + (id + 13));
    EXPECT_EQ(h.ctx.camera.flightTime, 1554927439);
    EXPECT_EQ(h.ctx.camera.camType, CAMTYPE_SENTERA);
}

TEST(CmdFifo, LogVersionAndUserMessageCommandsGoToTheFlightController) {
    HandlerRig h;
    h.send(h.heartbeat(42, 1, 3, false)); // learnt flight controller ids
    FifoWriter w(h);
    w.command("startlog\n");
    mavlink_message_t m = h.nextFc();
    ASSERT_EQ(m.msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_seqno(&m), 2147483646u);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_system(&m), 42);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_component(&m), 1);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_status(&m), 1);
    EXPECT_TRUE(h.out.waitFor("vorn-camera msgHandler done writing REMOTE_LOG_BLOCK_STATUS START msg to outbound pipe\n"));

    w.command("stoplog\n");
    m = h.nextFc();
    ASSERT_EQ(m.msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS);
    EXPECT_EQ(mavlink_msg_remote_log_block_status_get_seqno(&m), 2147483645u);

    vt::writeFile(h.path("/root/vorn/version"), "312\n");
    w.command("version\n");
    m = h.nextFc();
    mavlink_data96_t d{};
    mavlink_msg_data96_decode(&m, &d);
    EXPECT_EQ(d.type, SOFTWARE_VERSION_INFO);
    EXPECT_EQ(d.data[0] | d.data[1] << 8, 312);

    w.command("usermsg\n");
    m = h.nextFc();
    ASSERT_EQ(m.msgid, MAVLINK_MSG_ID_DATA96);
    mavlink_msg_data96_decode(&m, &d);
    EXPECT_EQ(d.type, USER_MESSAGE);
    EXPECT_EQ(d.len, 8);
    EXPECT_EQ(d.data[0], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data + 1)), "abcdefg");
}

TEST(CmdFifo, GpsCommandsFeedTheSonyReader) {
    HandlerRig h;
    int reader = h.openGpsReader();
    ASSERT_GE(reader, 0);
    FifoWriter w(h);

    w.command("gps\n");
    SonyGeoRecord fix = readGpsRecord(reader);
    const int32_t expected[] = {1, 1, 0, 32, 50, 1168835, 100000, 0, 117, 7, 4075824, 100000, 1, 0, 154180000, 1000};
    EXPECT_EQ(std::memcmp(&fix, expected, sizeof expected), 0);
    for (int32_t r : fix.reserved) EXPECT_EQ(r, 0);
    EXPECT_EQ(fix.year, 2019);
    EXPECT_EQ(fix.month, 10);
    EXPECT_EQ(fix.day, 16);
    EXPECT_EQ(fix.hour, 20);
    EXPECT_EQ(fix.minute, 31);
    EXPECT_EQ(fix.msecOfMinute, 41453);

    // The current position, whatever the camera type.
    h.send(h.position(-335000000, 1510000000, 45000, 0));
    w.command("gps1\n");
    SonyGeoRecord cur = readGpsRecord(reader);
    EXPECT_EQ(cur.latRef, 1);
    EXPECT_EQ(cur.latDeg, 33);
    EXPECT_EQ(cur.latMin, 30);
    EXPECT_EQ(cur.lonRef, 1);
    EXPECT_EQ(cur.lonDeg, 151);
    EXPECT_EQ(cur.alt, 45000);
    EXPECT_EQ(cur.msecOfMinute, 20123);
    close(reader);
}
