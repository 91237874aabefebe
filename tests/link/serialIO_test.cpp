// The serial link thread on real pseudo-terminals and pipes: routing and filtering between the
// flight controller, the modem and the message handler, fcPipe, reopening, port configuration
// and whole-buffer writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/pipes.h"
#include "link/serialIO.h"
#include "link/serialPort.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A pty pair in raw mode; the test keeps the master (and, unless dropped, a slave descriptor).
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios tty{};
        tcgetattr(slave, &tty);
        cfmakeraw(&tty);
        tcsetattr(slave, TCSANOW, &tty);
    }
    ~Pty() { hangUp(); }
    void dropSlave() {
        if (slave >= 0) close(slave);
        slave = -1;
    }
    void hangUp() {
        dropSlave();
        if (master >= 0) close(master);
        master = -1;
    }
};

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

// Reads exactly n bytes within a few seconds.
Bytes readBytes(int fd, size_t n) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        if (!readable(fd, 50)) continue;
        uint8_t buf[512];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes wire(const mavlink_message_t& msg) {
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    uint16_t n = mavlink_msg_to_send_buffer(buf, &msg);
    return Bytes(buf, buf + n);
}

void writeBytes(int fd, const Bytes& b) {
    ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

mavlink_channel_t g_chan{};

mavlink_message_t commandLong(uint16_t command, uint8_t sysid = 1, uint8_t compid = 1) {
    mavlink_message_t m{};
    mavlink_msg_command_long_pack_chan(sysid, compid, &g_chan, &m, 100, 100, command, 0, 7, 2000, 0, 0, 0, 0, 0);
    return m;
}

mavlink_message_t heartbeat(uint8_t sysid = 1, uint8_t compid = 1) {
    mavlink_message_t m{};
    mavlink_msg_heartbeat_pack_chan(sysid, compid, &g_chan, &m, 1, 3, 81, 0, 3);
    return m;
}

mavlink_message_t systemTime(uint64_t usec) {
    mavlink_message_t m{};
    mavlink_msg_system_time_pack_chan(1, 1, &g_chan, &m, usec, 1234);
    return m;
}

mavlink_message_t statusText(const char* text) {
    mavlink_message_t m{};
    mavlink_msg_statustext_pack_chan(1, 1, &g_chan, &m, 6, text, 0, 0);
    return m;
}

// A frame with a message id above 255 (the codec packs any id given a CRC extra).
mavlink_message_t highId() {
    mavlink_message_t m{};
    uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    mavlink_finalize_message(&m, 1, 1, &g_chan, 300, payload, sizeof payload, 0);
    return m;
}

// The serial link thread on a test context: real pipes, the flight controller on a pty
// reached through a symlink (so a test can swap the line), optionally a modem pty.
struct Rig {
    vt::TempDir dir;
    AppContext ctx;
    std::unique_ptr<Pty> fc = std::make_unique<Pty>();
    Pty modem;
    std::string fcLink = dir / "fc";
    std::thread thread;

    explicit Rig(bool useModem, int fcBaud = 1500000) {
        signal(SIGPIPE, SIG_IGN);
        initMsgFilters();
        setSleepQuitFlag(&ctx.quit);
        pipe(ctx.msgPipe);
        pipe(ctx.fcPipe);
        symlink(fc->path.c_str(), fcLink.c_str());
        ctx.fcPort = fcLink.c_str();
        ctx.fcBaud = fcBaud;
        ctx.modemPort = modem.path.c_str();
        ctx.modemBaud = 57600;
        ctx.useModem = useModem ? 1 : 0;
    }
    void start() { thread = std::thread(serialIOThread, &ctx); }
    ~Rig() {
        ctx.quit = 1;
        if (thread.joinable()) thread.join();
        setSleepQuitFlag(nullptr);
        for (int fd : {ctx.msgPipe[0], ctx.msgPipe[1], ctx.fcPipe[0], ctx.fcPipe[1]}) close(fd);
    }
    // The next message handed to the message handler (msgid 0xFFFFFF when none came).
    mavlink_message_t handed() {
        mavlink_message_t m{};
        m.msgid = 0xFFFFFF;
        if (readable(ctx.msgPipe[0], 5000)) msgRead(ctx.msgPipe[0], &m);
        return m;
    }
    void expectHandedNext(const mavlink_message_t& sent) {
        mavlink_message_t got = handed();
        ASSERT_EQ(got.msgid, sent.msgid);
        EXPECT_EQ(got.seq, sent.seq);
        EXPECT_EQ(got.len, sent.len);
        EXPECT_EQ(0, memcmp(got.payload, sent.payload, sent.len));
    }
};

} // namespace

TEST(SerialFilter, TablesPassOnlyTheHandledMessagesAndLandStartOfAllCommands) {
    initMsgFilters();
    const std::vector<int> fcPass = {0, 2, 33, 35, 76, 154, 172, 180, 184, 185, 253};
    for (int id = 0; id < 256; ++id) {
        bool inFc = std::find(fcPass.begin(), fcPass.end(), id) != fcPass.end();
        EXPECT_EQ(msgFilter[id] != 0, inFc) << "msgFilter id " << id;
        EXPECT_EQ(msgModemFilter[id] != 0, id == 76 || id == 172 || id == 253) << "msgModemFilter id " << id;
    }
    mavlink_message_t land = commandLong(189), servo = commandLong(183);
    EXPECT_EQ(filterMsg(&land), 0);
    EXPECT_EQ(filterModemMsg(&land), 0);
    EXPECT_EQ(filterMsg(&servo), 1);
    EXPECT_EQ(filterModemMsg(&servo), 1);
    // Even with its flag cleared, DO_LAND_START passes; with it set, other commands do not.
    msgFilter[76] = 0;
    EXPECT_EQ(filterMsg(&land), 0);
    msgModemFilter[76] = 1;
    EXPECT_EQ(filterModemMsg(&servo), 1);

    mavlink_message_t hb = heartbeat(), high = highId(), time = systemTime(5);
    EXPECT_EQ(filterMsg(&hb), 0);
    EXPECT_EQ(filterModemMsg(&hb), 1);
    EXPECT_EQ(filterMsg(&high), 1);
    EXPECT_EQ(filterModemMsg(&high), 1);
    EXPECT_EQ(filterMsg(&time), 0);
    msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] = 0;
    EXPECT_EQ(filterMsg(&time), 1);
    initMsgFilters();
    EXPECT_EQ(filterMsg(&time), 0);
}

TEST(SerialIO, BridgesBothWaysAndHandsOnOnlyWhatTheFiltersPass) {
    vt::StdoutCapture log;
    Rig rig(true);
    rig.start();
    ASSERT_TRUE(log.waitFor("vorn-camera serialIO flight controller on " + rig.fcLink + " opened at 1500000 baud\n"));
    ASSERT_TRUE(log.waitFor("vorn-camera serialIO telemetry modem on " + rig.modem.path + " opened at 57600 baud\n"));

    // From the flight controller: every byte reaches the modem; DO_LAND_START is handed on,
    // another command is not (the heartbeat after it is the next message handed on).
    mavlink_message_t land = commandLong(189), servo = commandLong(183), hb = heartbeat();
    Bytes stream = wire(land);
    for (const auto* m : {&servo, &hb}) {
        Bytes w = wire(*m);
        stream.insert(stream.end(), w.begin(), w.end());
    }
    writeBytes(rig.fc->master, stream);
    EXPECT_EQ(readBytes(rig.modem.master, stream.size()), stream);
    rig.expectHandedNext(land);
    rig.expectHandedNext(hb);

    // From the modem: a heartbeat and an id above 255 reach the flight controller but are not
    // handed on; DO_LAND_START and a STATUSTEXT are.
    mavlink_message_t mhb = heartbeat(255, 190), high = highId(), mland = commandLong(189, 255, 190),
                      text = statusText("hello");
    Bytes fromModem;
    for (const auto* m : {&mhb, &high, &mland, &text}) {
        Bytes w = wire(*m);
        fromModem.insert(fromModem.end(), w.begin(), w.end());
    }
    writeBytes(rig.modem.master, fromModem);
    EXPECT_EQ(readBytes(rig.fc->master, fromModem.size()), fromModem);
    rig.expectHandedNext(mland);
    rig.expectHandedNext(text);

    // An id above 255 from the flight controller is bridged, never handed on.
    Bytes highWire = wire(high), hbWire = wire(hb);
    writeBytes(rig.fc->master, highWire);
    writeBytes(rig.fc->master, hbWire);
    EXPECT_EQ(readBytes(rig.modem.master, highWire.size() + hbWire.size()),
              [&] { Bytes b = highWire; b.insert(b.end(), hbWire.begin(), hbWire.end()); return b; }());
    rig.expectHandedNext(hb);

    // SYSTEM_TIME passes until the message handler clears its entry.
    mavlink_message_t t1 = systemTime(1700000000000000);
    writeBytes(rig.fc->master, wire(t1));
    rig.expectHandedNext(t1);
    msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] = 0;
    mavlink_message_t t2 = systemTime(1700000001000000), hb2 = heartbeat();
    writeBytes(rig.fc->master, wire(t2));
    writeBytes(rig.fc->master, wire(hb2));
    rig.expectHandedNext(hb2);
}

TEST(SerialIO, FcPipeGoesToTheFlightControllerOnlyAndTheModemIsNeverOpenedWithoutUseModem) {
    vt::StdoutCapture log;
    Rig rig(false);
    rig.modem.dropSlave(); // while nobody holds the modem's slave, its master reports a hang-up
    rig.start();
    ASSERT_TRUE(log.waitFor("flight controller on"));

    mavlink_message_t out = commandLong(183, 100, 100);
    ASSERT_EQ(msgWrite(rig.ctx.fcPipe[1], &out), 1);
    Bytes expected = wire(out);
    EXPECT_EQ(readBytes(rig.fc->master, expected.size()), expected);

    mavlink_message_t land = commandLong(189);
    writeBytes(rig.fc->master, wire(land));
    rig.expectHandedNext(land);

    pollfd p{rig.modem.master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << "the modem line was opened";
    EXPECT_EQ(log.count("telemetry modem"), 0u);
    EXPECT_EQ(log.count(rig.modem.path), 0u);
}

TEST(SerialIO, PeerClosingTheLineClosesThePortWhichIsReopenedAndCarriesTrafficAgain) {
    vt::StdoutCapture log;
    Rig rig(false);
    rig.start();
    ASSERT_TRUE(log.waitFor("flight controller on"));
    mavlink_message_t first = commandLong(189);
    writeBytes(rig.fc->master, wire(first));
    rig.expectHandedNext(first);

    // The line goes away: the thread reads end-of-file, closes, and fails to reopen while the
    // path leads nowhere.
    unlink(rig.fcLink.c_str());
    rig.fc->hangUp();
    ASSERT_TRUE(log.waitFor("vorn-camera serialIO failed to open(" + rig.fcLink + "), err=No such file or directory\n"));

    rig.fc = std::make_unique<Pty>();
    symlink(rig.fc->path.c_str(), rig.fcLink.c_str());
    ASSERT_TRUE(vt::waitUntil([&] { return log.count("flight controller on " + rig.fcLink + " opened") >= 2; },
                              std::chrono::seconds(10)));
    mavlink_message_t again = commandLong(189);
    writeBytes(rig.fc->master, wire(again));
    rig.expectHandedNext(again);
    mavlink_message_t out = heartbeat(100, 100);
    ASSERT_EQ(msgWrite(rig.ctx.fcPipe[1], &out), 1);
    EXPECT_EQ(readBytes(rig.fc->master, wire(out).size()), wire(out));
}

TEST(SerialIO, UnsupportedBaudRateRepeatsTheSetspeedFailureAndNeverUsesThePort) {
    vt::StdoutCapture log;
    Rig rig(false, 2400);
    Bytes pending = wire(commandLong(189));
    writeBytes(rig.fc->master, pending);
    rig.start();
    const char* failure = "vorn-camera serialPortConfig: Failed to setspeed, baud=2400, err=Invalid argument\n"
                          "vorn-camera serialPortConfig returning 22\n";
    ASSERT_TRUE(vt::waitUntil([&] { return log.count(failure) >= 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(log.count("opened at"), 0u);
    // Nobody read the bytes waiting on the line.
    int queued = 0;
    ASSERT_EQ(ioctl(rig.fc->slave, FIONREAD, &queued), 0);
    EXPECT_EQ(queued, static_cast<int>(pending.size()));
    EXPECT_FALSE(readable(rig.ctx.msgPipe[0], 0));
}

TEST(SerialPort, ConfigureSetsRawModeAndReportsEachFailure) {
    vt::StdoutCapture log;
    Pty pty;
    termios tty{};
    tcgetattr(pty.slave, &tty);
    tty.c_lflag |= ICANON | ECHO | ISIG;
    tty.c_iflag |= ICRNL | IXON;
    tty.c_oflag |= OPOST;
    tcsetattr(pty.slave, TCSANOW, &tty);

    EXPECT_EQ(serialPortConfig(pty.slave, 115200), 0);
    tcgetattr(pty.slave, &tty);
    EXPECT_EQ(tty.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tty.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tty.c_oflag & OPOST, 0u);
    EXPECT_EQ(tty.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetispeed(&tty), static_cast<speed_t>(B115200));
    EXPECT_EQ(tty.c_cc[VMIN], 1);
    EXPECT_EQ(tty.c_cc[VTIME], 2);

    EXPECT_EQ(serialPortConfig(pty.slave, 4800), EINVAL);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(serialPortConfig(fds[0], 57600), ENOTTY);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(log.text(),
              "vorn-camera serialPortConfig returning 0\n"
              "vorn-camera serialPortConfig: Failed to setspeed, baud=4800, err=Invalid argument\n"
              "vorn-camera serialPortConfig returning 22\n"
              "vorn-camera serialPortConfig: Failed to getattr, err=Inappropriate ioctl for device\n"
              "vorn-camera serialPortConfig returning 25\n");
}

TEST(SerialPort, SendBufContinuesAfterPartialWritesAndGivesUpAfterTheSecondFailure) {
    vt::StdoutCapture log;
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    int capacity = fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_GE(capacity, 4096);
    Bytes data(static_cast<size_t>(capacity) + 1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);

    // The pipe takes a partial write, then refuses; during the 1 s wait the reader empties it
    // and the rest follows.
    Bytes got;
    std::vector<long> waits;
    setSleepHook([&](long ms) {
        waits.push_back(ms);
        uint8_t buf[8192];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    });
    sendBuf(fds[1], data.size(), data.data(), "modem");
    uint8_t buf[8192];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(got, data);
    EXPECT_EQ(waits, std::vector<long>{1000});
    EXPECT_EQ(log.count("failed"), 0u);

    // Nobody reads: one wait, a second refusal, the rest is abandoned.
    waits.clear();
    setSleepHook([&](long ms) { waits.push_back(ms); });
    sendBuf(fds[1], data.size(), data.data(), "fc");
    EXPECT_EQ(waits, std::vector<long>{1000});
    EXPECT_EQ(log.text(), "vorn-camera sendBuf to fc failed\n");

    // A line that is gone (EIO after hang-up) fails the same way.
    Pty pty;
    int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    pty.hangUp();
    sendBuf(fd, 3, "abc", "modem");
    EXPECT_EQ(log.count("vorn-camera sendBuf to modem failed\n"), 1u);
    setSleepHook({});
    close(fd);
    close(fds[0]);
    close(fds[1]);
}

TEST(SerialIO, CountsMessagesPerPortAndReportsEveryThousandth) {
    vt::StdoutCapture log;
    Rig rig(true);
    std::atomic<bool> stop{false};
    // Whatever is bridged is read away, so the thread never waits on a full line.
    std::thread drain([&] {
        uint8_t buf[4096];
        while (!stop) {
            for (int fd : {rig.fc->master, rig.modem.master})
                if (readable(fd, 5)) (void)!read(fd, buf, sizeof buf);
        }
    });
    rig.start();
    ASSERT_TRUE(log.waitFor("telemetry modem on"));
    ASSERT_TRUE(log.waitFor("flight controller on"));

    // 1000 from the flight controller, every other one not handed on (DIGICAM_CONTROL), every
    // other one handed on (a heartbeat); the thousandth is reported before it is handed on.
    Bytes fcStream;
    for (int i = 0; i < 500; ++i) {
        Bytes hb = wire(heartbeat());
        mavlink_message_t control{};
        uint8_t payload[13] = {1};
        mavlink_finalize_message(&control, 1, 1, &g_chan, MAVLINK_MSG_ID_DIGICAM_CONTROL, payload, sizeof payload,
                                 MAVLINK_MSG_ID_DIGICAM_CONTROL_CRC);
        Bytes c = wire(control);
        fcStream.insert(fcStream.end(), c.begin(), c.end());
        fcStream.insert(fcStream.end(), hb.begin(), hb.end());
    }
    writeBytes(rig.fc->master, fcStream);
    // 1000 heartbeats from the modem: none handed on.
    Bytes modemStream;
    for (int i = 0; i < 1000; ++i) {
        Bytes hb = wire(heartbeat(255, 190));
        modemStream.insert(modemStream.end(), hb.begin(), hb.end());
    }
    writeBytes(rig.modem.master, modemStream);
    EXPECT_TRUE(log.waitFor("vorn-camera serialIO 1000 fc msgs received, 499 handled\n"));
    EXPECT_TRUE(log.waitFor("vorn-camera serialIO 1000 modem msgs received, 0 handled\n"));
    stop = true;
    drain.join();
    int handed = 0;
    while (readable(rig.ctx.msgPipe[0], 0) && rig.handed().msgid == MAVLINK_MSG_ID_HEARTBEAT) ++handed;
    EXPECT_EQ(handed, 500);
}

TEST(SerialIO, PipeFailuresAreLoggedAndTheThreadCarriesOn) {
    vt::StdoutCapture log;
    Rig rig(false);
    rig.start();
    ASSERT_TRUE(log.waitFor("flight controller on"));

    // A frame on fcPipe too long for a message record is refused, the next one goes out.
    std::vector<uint8_t> tooLong(300, 0xEE);
    ASSERT_EQ(pipeWrite(rig.ctx.fcPipe[1], static_cast<uint16_t>(tooLong.size()), tooLong.data()), 1);
    mavlink_message_t out = heartbeat(100, 100);
    ASSERT_EQ(msgWrite(rig.ctx.fcPipe[1], &out), 1);
    EXPECT_EQ(readBytes(rig.fc->master, wire(out).size()), wire(out));
    EXPECT_EQ(log.count("vorn-camera serialIO failed to read from the fcPipe\n"), 1u);

    // The message handler gone: handing on fails with a line, bridging and fcPipe go on.
    close(rig.ctx.msgPipe[0]);
    rig.ctx.msgPipe[0] = -1;
    writeBytes(rig.fc->master, wire(commandLong(189)));
    EXPECT_TRUE(log.waitFor("vorn-camera serialIO failed to write to the msgPipe\n"));
    ASSERT_EQ(msgWrite(rig.ctx.fcPipe[1], &out), 1);
    EXPECT_EQ(readBytes(rig.fc->master, wire(out).size()).size(), wire(out).size());
}

TEST(SerialIO, FullMsgPipeStillLetsFcPipeDrainAndLosesNoMessage) {
    vt::StdoutCapture log;
    Rig rig(false);
    rig.start();
    ASSERT_TRUE(log.waitFor("flight controller on"));

    // The message handler stops reading: the flight controller sends until msgPipe is full
    // and the serial thread has to wait with more in hand.
    const int sent = 4000;
    std::vector<mavlink_message_t> beats;
    Bytes stream;
    for (int i = 0; i < sent; ++i) {
        beats.push_back(heartbeat());
        Bytes b = wire(beats.back());
        stream.insert(stream.end(), b.begin(), b.end());
    }
    std::thread feeder([&] { writeBytes(rig.fc->master, stream); });
    auto queued = [&] {
        int n = 0;
        ioctl(rig.ctx.msgPipe[0], FIONREAD, &n);
        return n;
    };
    ASSERT_TRUE(vt::waitUntil([&] { return queued() > 65536 - 300; }, std::chrono::seconds(10)));

    // Meanwhile the other threads queue far more than fcPipe holds: every record still reaches
    // the flight controller (the log thread's acknowledgements must never wait on msgPipe).
    const int acks = 6000;
    mavlink_message_t ack{};
    mavlink_msg_remote_log_block_status_pack_chan(1, 1, &g_chan, &ack, 1, 1, 7, 1);
    std::thread writer([&] {
        for (int i = 0; i < acks; ++i) EXPECT_EQ(msgWrite(rig.ctx.fcPipe[1], &ack), 1);
    });
    Bytes one = wire(ack);
    Bytes got = readBytes(rig.fc->master, one.size() * acks);

    // The handler reads again: every heartbeat arrives, in order.
    size_t inOrder = 0;
    while (inOrder < beats.size()) {
        mavlink_message_t m = rig.handed();
        if (m.msgid != MAVLINK_MSG_ID_HEARTBEAT || m.seq != beats[inOrder].seq) break;
        ++inOrder;
    }
    feeder.join();
    readBytes(rig.fc->master, one.size() * acks - got.size()); // lets a stuck writer finish
    writer.join();
    EXPECT_EQ(got.size(), one.size() * acks) << "fcPipe was not drained while msgPipe was full";
    EXPECT_EQ(inOrder, beats.size());
    EXPECT_EQ(log.count("failed to write to the msgPipe"), 0u);
}
