// The simulator's own contract: scenario checking, wait time-outs, decoded output, and the
// remote log stream played like a flight controller (here against the test as the companion).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "e2e/fcsimRunner.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

// Opens the simulator's flight-controller line once its link exists, raw.
int openLine(const std::string& link) {
    int fd = -1;
    vt::waitUntil([&] { return (fd = open(link.c_str(), O_RDWR | O_NOCTTY)) >= 0; });
    if (fd < 0) return -1;
    termios tty{};
    tcgetattr(fd, &tty);
    cfmakeraw(&tty);
    tcsetattr(fd, TCSANOW, &tty);
    return fd;
}

// Reads messages from the line for up to `ms`, handing each to `onMsg`.
template <class F>
void readMessages(int fd, mavlink_parser_t* parser, int ms, F onMsg) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        uint8_t buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        mavlink_message_t msg{};
        for (ssize_t i = 0; i < n; ++i)
            if (mavlink_parse_char(parser, buf[i], &msg) == 1) onMsg(msg);
    }
}

void sendAck(int fd, mavlink_channel_t* chan, uint32_t seq) {
    mavlink_message_t m{};
    mavlink_msg_remote_log_block_status_pack_chan(100, 100, chan, &m, 1, 1, seq, 1);
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    uint16_t n = mavlink_msg_to_send_buffer(buf, &m);
    ASSERT_EQ(write(fd, buf, n), n);
}

} // namespace

TEST(Fcsim, ScenarioErrorsAreReportedWithTheirLineBeforeAnythingStarts) {
    vt::TempDir work;
    vt::writeFile(work / "bad.txt", "heartbeat armed\nfly high\npreflight camtype=1 colour=red\nwait log \"unterminated\n");
    vt::FcsimRun sim(work.path(), {work / "bad.txt", "--", "/bin/true"});
    EXPECT_EQ(sim.wait(), 1);
    std::string err = sim.err();
    EXPECT_NE(err.find(work / "bad.txt:2: unknown step \"fly\""), std::string::npos) << err;
    EXPECT_NE(err.find("bad.txt:3: preflight: unknown option colour"), std::string::npos) << err;
    EXPECT_NE(err.find("bad.txt:4: unterminated quote"), std::string::npos) << err;
    EXPECT_EQ(sim.out().find("daemon started"), std::string::npos);
}

TEST(Fcsim, TimedOutWaitStopsTheDaemonAndExitsTwo) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::FcsimRun sim(work.path(), {"--workdir", work.path(), "--env", "VORN_ROOT=" + work.path(), "-e",
                                   "wait log \"flight controller on\" 15", "-e", "wait log \"never printed\" 1",
                                   "-e", "say not reached", "--", VORN_DAEMON_PATH, "{fc}", "1500000"});
    EXPECT_EQ(sim.wait(), 2);
    EXPECT_NE(sim.err().find("fcsim: -e 2: wait: timed out after 1 s waiting for log \"never printed\""),
              std::string::npos)
        << sim.err();
    std::string out = sim.out();
    EXPECT_EQ(out.find("not reached"), std::string::npos);
    EXPECT_NE(out.find("fcsim: daemon exited with status 0"), std::string::npos) << out;
    // The daemon's own lines were echoed, including its stop.
    EXPECT_NE(out.find("LOG vorn-camera serialIO exit\n"), std::string::npos) << out;
}

TEST(Fcsim, AKilledSimulatorTakesItsDaemonWithIt) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::FcsimRun sim(work.path(), {"--workdir", work.path(), "--env", "VORN_ROOT=" + work.path(), "-e",
                                   "wait log \"flight controller on\" 15", "-e", "sleep 60", "--",
                                   VORN_DAEMON_PATH, "{fc}", "1500000"});
    ASSERT_TRUE(sim.waitForOutput("LOG vorn-camera serialIO flight controller on")) << sim.out();
    std::string out = sim.out();
    auto at = out.find("fcsim: daemon started, pid ");
    ASSERT_NE(at, std::string::npos) << out;
    pid_t daemon = std::stoi(out.substr(at + std::strlen("fcsim: daemon started, pid ")));
    kill(sim.pid(), SIGKILL);
    // Once it has stopped on its SIGTERM the orphan is gone, or a zombie where nobody reaps it.
    auto ended = [&] {
        std::string stat = vt::readFile("/proc/" + std::to_string(daemon) + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    EXPECT_TRUE(vt::waitUntil(ended, std::chrono::seconds(15)));
}

TEST(Fcsim, WaitRxMatchesDecodedFieldsAndCountsEachMessageOnce) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::FcsimRun sim(work.path(), {"--workdir", work.path(), "--env", "VORN_ROOT=" + work.path(), "-e",
                                   "wait log \"flight controller on\" 15", "-e", "version", "-e", "version", "-e", "wait rx DATA96 type=5 data=0000ffbe count=2 10",
                                   "-e", "wait rx DATA96 type=5 1", "--", VORN_DAEMON_PATH, "{fc}", "1500000"});
    // Two replies satisfy the first wait; the second wait needs a third reply that never comes.
    EXPECT_EQ(sim.wait(), 2) << sim.out() << sim.err();
    EXPECT_EQ(vt::countOf(sim.out(), "RX DATA96 type=5 len=4 data=0000ffbe from=100/100\n"), 2u) << sim.out() << sim.err();
    EXPECT_NE(sim.err().find("-e 5: wait: timed out after 1 s waiting for rx DATA96 (0 of 1 seen)"), std::string::npos)
        << sim.err();
}

TEST(Fcsim, LogStreamResendsBlocksUntilTheyAreAcknowledged) {
    vt::TempDir work;
    std::string file = work / "flight.bin";
    std::string data;
    for (int i = 0; i < 1234; ++i) data += static_cast<char>(i * 31 + 7);
    vt::writeFile(file, data); // 6 full blocks and 34 bytes
    std::string link = work / "fc";
    vt::FcsimRun sim(work.path(), {"--link", link, "-e", "systime off", "-e", "heartbeat off", "-e",
                                   "logstream " + file + " order=reverse dup=2 rate=0 timeout=20"});
    int fd = openLine(link);
    ASSERT_GE(fd, 0);
    mavlink_parser_t parser{};
    mavlink_channel_t chan{};
    std::vector<uint32_t> arrivals;
    std::map<uint32_t, std::string> blocks;
    // Acknowledge everything except block 2 on its first arrival.
    readMessages(fd, &parser, 4000, [&](const mavlink_message_t& m) {
        if (m.msgid != MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK) return;
        mavlink_remote_log_data_block_t b;
        mavlink_msg_remote_log_data_block_decode(&m, &b);
        arrivals.push_back(b.seqno);
        blocks[b.seqno] = std::string(reinterpret_cast<char*>(b.data), 200);
        bool firstOfTwo = b.seqno == 2 && std::count(arrivals.begin(), arrivals.end(), 2u) == 1;
        if (!firstOfTwo) sendAck(fd, &chan, b.seqno);
    });
    EXPECT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    close(fd);

    ASSERT_GE(arrivals.size(), 7u + 2u + 1u);
    EXPECT_EQ(arrivals.front(), 6u); // reverse order
    EXPECT_EQ(arrivals.back(), 2u);  // the one resend
    EXPECT_EQ(arrivals.size(), 10u); // 7 blocks, 2 duplicates, 1 resend
    std::string joined;
    for (const auto& [seq, bytes] : blocks) joined += bytes;
    EXPECT_EQ(joined.substr(0, data.size()), data);
    EXPECT_EQ(joined.substr(data.size()), std::string(7 * 200 - data.size(), '\0')); // last block zero-padded
    EXPECT_NE(sim.out().find("fcsim: logstream " + file + ": 7 blocks, 1 resent, all acknowledged"), std::string::npos)
        << sim.out();
}

TEST(Fcsim, DrivesADaemonStartedByHandThroughItsLinkAndLogFile) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    std::string link = work / "fc";
    // The daemon comes first and keeps retrying its port until the simulator offers it.
    vt::Daemon daemon(work.path(), {link, "115200"}, {{"VORN_ROOT", work.path()}});
    ASSERT_TRUE(daemon.waitForOutput("vorn-camera serialIO failed to open(" + link + ")"));
    vt::FcsimRun sim(work.path(), {"--link", link, "--watch", work / "daemon.out", "-e",
                                   "wait log \"flight controller on " + link + " opened at 115200 baud\" 15", "-e",
                                   "version", "-e", "wait rx DATA96 type=5 10"});
    EXPECT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    EXPECT_EQ(sim.out().rfind("fcsim: flight controller port /dev/pts/", 0), 0u) << sim.out();
    EXPECT_NE(sim.out().find("LOG vorn-camera msgHandler got DATA96 type 5\n"), std::string::npos) << sim.out();
    EXPECT_EQ(daemon.stop(), 0);
}
