// The serial thread and the message handler (companion protocol, command path) on real pipes and ptys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <thread>

#include "core/geoData.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "link/flightState.h"
#include "link/msgHandler.h"
#include "link/serialIO.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

using Bytes = std::vector<uint8_t>;
using Msg = mavlink_message_t;

namespace {

mavlink_channel_t g_chan{};
std::atomic<int64_t> g_now{0};

bool readable(int fd, int ms = 5000) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}
template <typename T>
T next(int fd) { // the next frame on a pipe, which must come
    T r{};
    EXPECT_TRUE(readable(fd) && pipeRead(fd, &r, sizeof r)) << "nothing came";
    return r;
}
Bytes wire(const std::vector<Msg>& msgs, const Bytes& noise = {}) { // as the line carries them, noise after each
    Bytes out;
    for (const Msg& m : msgs) {
        uint8_t buf[MAVLINK_MAX_PACKET_LEN];
        out.insert(out.end(), buf, buf + mavlink_msg_to_send_buffer(buf, &m));
        out.insert(out.end(), noise.begin(), noise.end());
    }
    return out;
}
void put(int fd, const Bytes& b) { ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
// Writes more than a line holds: within the deadline, so that a thread left writing to a line
// nobody reads any more (a check that failed) ends, and the failure is told instead of a hang.
void putWithin(int fd, const Bytes& b, std::chrono::seconds deadline) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto end = std::chrono::steady_clock::now() + deadline;
    size_t done = 0;
    while (done < b.size() && std::chrono::steady_clock::now() < end) {
        const ssize_t n = write(fd, b.data() + done, b.size() - done);
        pollfd p{fd, POLLOUT, 0};
        if (n > 0) done += static_cast<size_t>(n);
        else poll(&p, 1, 100);
    }
    EXPECT_EQ(done, b.size()) << "the line was not read";
}
Bytes readBytes(int fd, size_t n) {
    Bytes out(n);
    size_t got = 0;
    for (ssize_t k; got < n && readable(fd) && (k = read(fd, &out[got], n - got)) > 0;) got += k;
    return Bytes(out.begin(), out.begin() + got);
}

template <typename F, typename... A>
Msg pack(F packChan, uint8_t sysid, uint8_t compid, A... fields) { // on the test's channel: a sequence number each
    Msg m{};
    return packChan(sysid, compid, &g_chan, &m, fields...), m;
}
Msg heartbeat(uint8_t sysid, uint8_t compid, uint8_t status = 3, bool armed = false) {
    return pack(mavlink_msg_heartbeat_pack_chan, sysid, compid, 1, 3, armed ? 128 | 64 : 64, 0, status);
}
Msg command(uint16_t command, uint8_t sysid = 1, uint8_t compid = 1) {
    return pack(mavlink_msg_command_long_pack_chan, sysid, compid, 1, 1, command, 0, 7.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f);
}
Msg data96(uint8_t type, Bytes data) {
    uint8_t len = static_cast<uint8_t>(data.size());
    return data.resize(96), pack(mavlink_msg_data96_pack_chan, 255, 190, type, len, data.data());
}
Msg feedback(uint64_t usec, int32_t lat, int32_t lon, float alt, float r, float p, float y) {
    return pack(mavlink_msg_camera_feedback_pack_chan, 1, 1, usec, 0, 0, 3, lat, lon, alt, 0.f, r, p, y, 0.f, 0, 0);
}

// A pseudo-terminal as the kernel makes it: not raw, the serial thread must make it so.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string path = (grantpt(master), unlockpt(master), ptsname(master));
    ~Pty() { close(master); }
};

// A link thread on real pipes, the flight controller's line behind a symlink a test can swap, a sandbox, our clock.
struct Link {
    vt::StdoutCapture log;
    vt::TempDir root;
    AppContext ctx;
    std::unique_ptr<Pty> fcLine = std::make_unique<Pty>();
    Pty modemLine;
    std::string fcLink = root / "fc", cmdPath = root / "var/run/vorn-camera.fifo";
    std::vector<int*> pipes{ctx.msgPipe, ctx.fcPipe, ctx.logPipe, ctx.camera.cameraPipe, ctx.wifiPipe, ctx.stopPipe};
    std::thread thread;

    explicit Link(void (*body)(AppContext*), int useModem = 0) {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        vt::makeDirs(root / "var/run");
        vt::writeFile(cmdPath, "trigger\n"); // left from an earlier run: removed at start, never acted on
        g_now = 1700000000123;
        setHandlerClock([] { return g_now.load(); });
        for (int* p : pipes) EXPECT_EQ(pipe(p), 0);
        symlink(fcLine->path.c_str(), fcLink.c_str());
        ctx.fcPort = fcLink.c_str(), ctx.modemPort = modemLine.path.c_str(), ctx.useModem = useModem;
        thread = std::thread(body, &ctx);
        if (body != serialIOThread) return;
        EXPECT_TRUE(log.waitFor("vorn-camera serialIO flight controller on " + fcLink + " opened at 1500000 baud\n"));
        EXPECT_TRUE(!useModem || log.waitFor("telemetry modem on " + modemLine.path + " opened at 57600 baud\n"));
    }
    void expectHanded(const std::vector<Msg>& sent) { // next on msgPipe, by id and sequence
        for (const Msg& s : sent) {
            Msg m{};
            ASSERT_TRUE(readable(ctx.msgPipe[0]) && msgRead(ctx.msgPipe[0], &m)) << "none handed on";
            ASSERT_TRUE(m.msgid == s.msgid && m.seq == s.seq) << "handed on instead: " << m.msgid << " " << +m.seq;
        }
    }
    ~Link() {
        ctx.quit = 1;
        EXPECT_EQ(write(ctx.stopPipe[1], "x", 1), 1);
        thread.join();
        for (int* p : pipes) close(p[0]), close(p[1]);
    }
};

struct Handler : Link {
    Handler() : Link(msgHandlerThread) {
        sync();
        EXPECT_EQ(next<Msg>(ctx.fcPipe[0]).sysid, OWN_SYSID); // its own heartbeat, after the first pass
    }
    void send(const std::vector<Msg>& msgs) { for (const Msg& m : msgs) EXPECT_EQ(msgWrite(ctx.msgPipe[1], &m), 1); }
    void sync() { // returns once all sent before is handled and that pass finished
        size_t seen = log.count("got REMOTE_LOG_BLOCK_STATUS\n");
        Msg status = pack(mavlink_msg_remote_log_block_status_pack_chan, 1, 1, 100, 100, 7u, 1);
        send({status, status});
        ASSERT_TRUE(vt::waitUntil([&] { return log.count("got REMOTE_LOG_BLOCK_STATUS\n") == seen + 2; }));
    }
    void expectQuiet() { // once all sent is handled, nothing waits on any output pipe
        sync();
        for (int fd : {ctx.camera.cameraPipe[0], ctx.wifiPipe[0], ctx.fcPipe[0], ctx.logPipe[0]})
            EXPECT_FALSE(readable(fd, 0)) << "output on " << fd;
    }
    CameraCommand camera() { return next<CameraCommand>(ctx.camera.cameraPipe[0]); }
    int wifi() { return next<WifiRequest>(ctx.wifiPipe[0]).mode; }
    std::vector<int64_t> geo() { // time, lat, lon, pitch, roll, yaw, alt, heading
        GeoData g;
        copyGeoData(&ctx.camera, &g);
        return {g.time, g.lat, g.lon, g.pitch, g.roll, g.yaw, g.alt, g.heading};
    }
};

} // namespace

// Runs before any handler: the filter tables hold their contents from program start, so early frames pass.
TEST(SerialIO, BridgesRawBytesThroughNoiseAndHandsOnOnlyWhatTheFilterPasses) {
    Link s(serialIOThread, 1);
    // From the flight controller, with noise (a cooked line's special characters) after each frame: every byte
    // reaches the modem; handed on only what passes: not the damaged frame, not id 183, no id above 255.
    Msg land = command(189), hb = heartbeat(1, 1), damaged = heartbeat(1, 1), high{};
    mavlink_finalize_message(&high, 1, 1, &g_chan, 300, "\x01\x02\x03", 3, 0);
    damaged.checksum ^= 0x5555;
    Bytes stream = wire({land, command(183), damaged, high, hb}, {0xFD, 0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0xFE, 4});
    put(s.fcLine->master, stream);
    EXPECT_EQ(readBytes(s.modemLine.master, stream.size()), stream);
    s.expectHanded({land, hb});
}

// A log stream must not close the circle: log thread waits on fcPipe, handler on log thread, serial on msgPipe.
TEST(SerialIO, AFullMsgPipeLetsFcPipeDrainNoWholeFrameIsLostOrMiscountedAndAClosedLineIsReopened) {
    Link s(serialIOThread);
    std::vector<Msg> beats(4000);
    for (Msg& b : beats) b = heartbeat(1, 1);
    Msg damaged = heartbeat(1, 1), out = heartbeat(100, 100);
    damaged.checksum ^= 1;
    std::thread feeder([&] {
        putWithin(s.fcLine->master, wire(beats, wire({command(183), damaged}, {0x55, 0xFD, 9})), std::chrono::seconds(60));
    });
    int queued = 0; // the handler does not read: msgPipe fills up
    EXPECT_TRUE(vt::waitUntil([&] { return ioctl(s.ctx.msgPipe[0], FIONREAD, &queued) == 0 && queued > 65000; }));
    EXPECT_EQ(msgWrite(s.ctx.fcPipe[1], &out), 1);
    EXPECT_EQ(readBytes(s.fcLine->master, wire({out}).size()), wire({out})) << "fcPipe waited for msgPipe";
    s.expectHanded(beats); // the handler reads again: all, in order
    feeder.join();
    ASSERT_FALSE(HasFailure()) << "what follows needs the line read to its end";
    // Each heartbeat came with a command not handed on: a progress line every 1000 whole frames.
    EXPECT_TRUE(s.log.waitFor("vorn-camera serialIO 8000 fc msgs received, 4000 handled\n"));
    EXPECT_EQ(s.log.count("fc msgs received, "), 8u);

    auto old = std::exchange(s.fcLine, std::make_unique<Pty>()); // the line hangs up, its path leads nowhere
    ASSERT_EQ(symlink((s.fcLink + ".none").c_str(), (s.fcLink + ".new").c_str()), 0);
    ASSERT_EQ(rename((s.fcLink + ".new").c_str(), s.fcLink.c_str()), 0);
    old.reset();
    std::thread sender([&] { for (int i = 0; i < 10000; ++i) msgWrite(s.ctx.fcPipe[1], &out); }); // 3 pipes full
    EXPECT_TRUE(s.log.waitFor("outbound messages dropped\n", std::chrono::seconds(20))) << "a sender blocked";
    sender.join(); // then it leads on to a new line
    ASSERT_EQ(symlink(s.fcLine->path.c_str(), (s.fcLink + ".new").c_str()), 0);
    ASSERT_EQ(rename((s.fcLink + ".new").c_str(), s.fcLink.c_str()), 0);
    ASSERT_TRUE(vt::waitUntil([&] { return s.log.count("flight controller on " + s.fcLink + " opened") == 2; }));
    Msg land = command(189);
    put(s.fcLine->master, wire({land}));
    s.expectHanded({land});
}

// A flight as the handler follows it, then the command path: only the flight controller's heartbeat drives
// take-off, WiFi and the disarm; feedback is held off for a second; hostile command texts do nothing.
TEST(MsgHandler, FollowsTheFlightControllerHoldsOffFeedbackSetsTheClockOnceAndTakesLocalCommands) {
    Handler h;
    // A ground station's heartbeat, a landing text not at INFO, zoom and mode without a Sony camera: nothing.
    h.send({heartbeat(7, 190, MAV_STATE_ACTIVE, true), data96(CAMERA_MODE, {10}),
            pack(mavlink_msg_statustext_pack_chan, 1, 1, 4, "Executing command ID #189", 0, 0),
            pack(mavlink_msg_rc_channels_raw_pack_chan, 1, 1, 0u, 0, 0, 0, 0, 0, 0, 1951, 0, 0, 255),
            pack(mavlink_msg_digicam_configure_pack_chan, 1, 1, 1, 1, 10, 0, 0, 0, 0, 0, 0, 0, 0.f)});
    h.expectQuiet();
    h.send({heartbeat(7, 1, MAV_STATE_ACTIVE, true), heartbeat(7, 1, MAV_STATE_ACTIVE, true),
            data96(COMPANION_COMPUTER_USB, {2, 0x01, 0x02})}); // the card of flight 513
    EXPECT_EQ(h.camera().cmd, CAM_TAKEOFF);
    EXPECT_EQ(h.wifi(), WIFI_OFF);
    h.expectQuiet(); // one take-off, no attaching the card in flight
    EXPECT_EQ(h.ctx.camera.flightID, 513);
    h.send({heartbeat(7, 1, 3, true), data96(COMPANION_COMPUTER_USB, {2, 0xFE, 0xFF}),
            data96(COMPANION_COMPUTER_USB, {1, 0xFE, 0xFF}), data96(COMPANION_COMPUTER_USB, {3, 0xFE, 0xFF}),
            pack(mavlink_msg_statustext_pack_chan, 1, 1, 6, "Executing command ID #189", 0, 0), command(189),
            heartbeat(7, 1, MAV_STATE_ACTIVE, true), heartbeat(7, 1, 3, false), heartbeat(7, 1, 3, false)});
    for (int mode : {WIFI_ACCESS_POINT, WIFI_OFF, WIFI_ACCESS_POINT}) EXPECT_EQ(h.wifi(), mode);
    for (int c : {CAM_MOUNT, CAM_UNMOUNT, CAM_POSTFLIGHT, CAM_POSTFLIGHT, CAM_POSTFLIGHT}) EXPECT_EQ(h.camera().cmd, c);
    EXPECT_EQ(next<Msg>(h.ctx.fcPipe[0]).msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS); // the log stream stopped
    h.expectQuiet(); // one postflight
    EXPECT_EQ(h.ctx.camera.flightID, -2);
    h.send({heartbeat(7, 1, 3, true), heartbeat(7, 1, 3, false)}); // an aborted flight: armed, never active
    EXPECT_EQ(h.camera().cmd, CAM_POSTFLIGHT);
    EXPECT_EQ(next<Msg>(h.ctx.fcPipe[0]).msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS);
    Bytes unknownCamera(41);
    unknownCamera[40] = 9;
    h.send({data96(COMPANION_COMPUTER_PREFLIGHT, unknownCamera)});
    h.expectQuiet(); // refused: no preflight, no new log
    EXPECT_TRUE(h.log.has("warning (not sent to the ground): camera type 9 unknown: preflight refused\n"));

    const std::string wifi = std::string(1, WIFI_CLIENT) + std::string(32, 'S') + "it's \"x\""; // quotes too
    h.send({data96(COMPANION_COMPUTER_WIFI, Bytes(wifi.begin(), wifi.end()))});
    WifiRequest r = next<WifiRequest>(h.ctx.wifiPipe[0]);
    EXPECT_EQ(std::to_string(r.mode) + r.ssid + " " + r.password, "2" + std::string(32, 'S') + " it's \"x\"");

    h.send({pack(mavlink_msg_global_position_int_pack_chan, 1, 1, 0u, 1, 2, 3, 0, 0, 0, 0, 4500),
            feedback(1571257859123456, 327531234, -117, 123.4567f, .5f, -1.239f, 359.5f)});
    EXPECT_EQ(h.camera().cmd, CAM_TRIGGER);
    EXPECT_EQ(h.geo(), (std::vector<int64_t>{1571257859123456, 327531234, -117, -123, 50, 35950, 123456, 4500}));
    for (int ms : {600, 400}) { // up to a second after the trigger, whatever came between: held off
        g_now += ms;
        h.send({feedback(2, 1, 1, 1, 1, 1, 1), // and a position whose zero heading the sender cut off
                pack(mavlink_msg_global_position_int_pack_chan, 1, 1, 0u, 1, 2, 3, 0, 0, 0, 0, 0)});
    }
    h.expectQuiet();
    g_now += 1;
    h.send({feedback(3, 5, 6, -7.9f, NAN, -1e30f, INFINITY)}); // what no int32 holds saturates
    EXPECT_EQ(h.camera().cmd, CAM_TRIGGER);
    EXPECT_EQ(h.geo(), (std::vector<int64_t>{3, 5, 6, INT32_MIN, 0, INT32_MAX, -7900, 0}));

    h.send({pack(mavlink_msg_system_time_pack_chan, 1, 1, 0ull, 0u), // no GPS time yet
            pack(mavlink_msg_system_time_pack_chan, 1, 1, 1571257859123456ull, 0u)});
    h.expectQuiet(); // the clock set once, no more SYSTEM_TIME from the flight controller
    EXPECT_EQ(h.log.count("would set "), 1u);
    EXPECT_TRUE(h.log.has("would set 1571257859.123456\n") && msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] == 0);

    const std::string pwned = h.root / "pwned";
    const int kernel = CAMTYPE_KERNEL, sentera = CAMTYPE_SENTERA;
    const std::tuple<std::string, int, int> rows[] = {{"KERNEL\n", 0, 0}, {"ZoomStop", CAM_ZOOM_STOP, kernel},
        {"zoomIN\n", CAM_ZOOM_IN, kernel}, {"Still", CAM_MODE_STILL, kernel}, {"zoomout\r\n", CAM_ZOOM_OUT, kernel},
        {"MOVIE", CAM_MODE_MOVIE, kernel}, {"PreFlight", CAM_PREFLIGHT, kernel}, {"postflight", CAM_POSTFLIGHT, kernel},
        {"Trigger", CAM_TRIGGER, kernel}, {"Mount\nunmount\n", CAM_MOUNT, kernel}, {"UNMOUNT", CAM_UNMOUNT, kernel},
        {" trigger", 0, 0}, {"trigger now", 0, 0}, {"$(touch " + pwned + ")", 0, 0}, {"'; trigger #", 0, 0},
        {std::string(70, 'x'), 0, 0}, {"Land", CAM_LANDING, sentera}, {"takeoff", CAM_TAKEOFF, sentera}};
    for (const auto& [text, cmd, camType] : rows) {
        vt::writeFile(h.cmdPath, text);
        h.sync();
        ASSERT_TRUE(vt::waitUntil([&] { return !vt::fileExists(h.cmdPath); })) << text;
        CameraCommand c = cmd ? h.camera() : CameraCommand{};
        EXPECT_EQ(std::make_pair(int(c.cmd), c.camType), std::make_pair(cmd, camType)) << text;
        h.expectQuiet();
    }
    EXPECT_TRUE(h.log.has("received [" + std::string(63, 'x') + "]\n"));
    EXPECT_FALSE(vt::fileExists(pwned));

    ASSERT_EQ(mkfifo(h.cmdPath.c_str(), 0600), 0);
    h.expectQuiet(); // opened, and waiting for a writer
    ASSERT_EQ(system(("timeout 5 sh -c 'echo ZoomIn > " + h.cmdPath + "'").c_str()), 0); // a shell writer
    EXPECT_EQ(h.camera().cmd, CAM_ZOOM_IN);
}
