// The dataflash log directory and the log thread, on real directories and pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <filesystem>
#include <thread>
#include "core/pipes.h"
#include "core/sandbox.h"
#include "logs/logHandler.h"
#include "logs/logStore.h"
#include "mavlink/mavlink.h"
#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace {
namespace fs = std::filesystem;
constexpr int64_t M = 1000000, kGiB = 1073741824, kStart = MAV_REMOTE_LOG_DATA_BLOCK_START;
struct File { std::string name; int64_t size; time_t sec = 1700000000; long nsec = 0; }; // size -1: a directory
std::string blockData(uint32_t seqno, char fill = 'a') { return std::string(200, static_cast<char>(fill + seqno % 9)); }
// A fresh VORN_ROOT for every test, dir its log directory; the log thread on real pipes, the flight controller 7/3.
struct Logs : ::testing::Test {
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1), sandboxInit();
        ASSERT_EQ(pipe(ctx.logPipe) | pipe(ctx.fcPipe), 0);
        ctx.fcSysId = 256 + 7, ctx.fcCompId = 3; // only the low 8 bits of the system go on the wire
    }
    void TearDown() override {
        if (thread.joinable()) stop();
        for (int fd : {ctx.logPipe[0], ctx.logPipe[1], ctx.fcPipe[0], ctx.fcPipe[1]}) close(fd);
    }
    // A fresh log directory holding sparse files (or directories) of these sizes and times.
    void make(const std::vector<File>& files) {
        fs::remove_all(root / "root"), vt::makeDirs(dir);
        for (const File& f : files) {
            if (f.size < 0) vt::makeDirs(dir + f.name);
            else { vt::writeFile(dir + f.name, ""); fs::resize_file(dir + f.name, f.size); }
            timespec times[2] = {{f.sec, f.nsec}, {f.sec, f.nsec}};
            ASSERT_EQ(utimensat(AT_FDCWD, (dir + f.name).c_str(), times, 0), 0);
        }
    }
    void stop() { ctx.quit = 1; send(mavlink_message_t{}); thread.join(); } // woken by a record it ignores
    void send(const mavlink_message_t& msg) { ASSERT_EQ(pipeWrite(ctx.logPipe[1], sizeof msg, &msg), 1); }
    void block(uint32_t seqno, char fill = 'a') {
        mavlink_msg_remote_log_data_block_pack_chan(1, 1, &chan, &msg, 100, 100, seqno,
                                                    reinterpret_cast<const uint8_t*>(blockData(seqno, fill).data()));
        send(msg);
    }
    void preflight() { uint8_t d[96] = {}; mavlink_msg_data96_pack_chan(255, 190, &chan, &msg, 3, 41, d); send(msg); }
    int64_t status(int timeoutMs = 10000) { // the seqno of the next block status to the flight controller, or -1
        pollfd p{ctx.fcPipe[0], POLLIN, 0};
        mavlink_message_t m{};
        if (poll(&p, 1, timeoutMs) != 1 || !msgRead(ctx.fcPipe[0], &m)) return -1;
        EXPECT_EQ(std::vector<int64_t>({m.msgid, m.sysid, m.compid, mavlink_msg_remote_log_block_status_get_status(&m),
                                        mavlink_msg_remote_log_block_status_get_target_system(&m),
                                        mavlink_msg_remote_log_block_status_get_target_component(&m)}),
                  std::vector<int64_t>({MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS, 100, 100, 1, 7, 3}));
        return mavlink_msg_remote_log_block_status_get_seqno(&m);
    }
    vt::TempDir root;
    const std::string dir = root / "root/vorn/dataflashlogs/";
    vt::StdoutCapture out;
    AppContext ctx;
    std::thread thread;
    mavlink_channel_t chan{};
    mavlink_message_t msg{};
};

TEST_F(Logs, NewLogFileTakesTheNumberAfterTheHighest) {
    const struct { const char* name; std::vector<File> files; const char* next; } rows[] = {
        {"gaps are not filled", {{"log1.bin", 1}, {"log10.bin", 1}, {"log2.bin", 1}}, "log11.bin"},
        {"digits after the first log", {{"mylog7.bin", 1}, {"log6a.bin", 1}}, "log8.bin"},
        {"negative numbers never raise it", {{"log-3.bin", 1}}, "log1.bin"},
        {"foreign entries", {{"log4.bin", 1}, {"log0.bin", 1}, {"logx.bin", 1}, {"log99999999999.bin", 1}}, "log5.bin"},
    };
    for (const auto& row : rows) {
        make(row.files);
        EXPECT_EQ(getLogFilePath(), dir + row.next) << row.name;
    }
    fs::remove_all(root / "root"); // a missing directory is made, parents too
    EXPECT_EQ(getLogFilePath(), dir + "log1.bin");
    make({{"log1.bin", kGiB / 2, 2}, {"log2.bin", kGiB / 2 + 1, 1}, {"log3.bin", 1, 3}}); // two bytes over the limit
    removeOldLogs(static_cast<int32_t>(kGiB));
    EXPECT_EQ(chain::commandLines("LC_ALL=C ls " + dir), (std::vector<std::string>{"log1.bin", "log3.bin"}));
}

// Started, the thread trims the directory to 1 GiB, oldest log file first to the nanosecond; the crew's files,
// log0.bin and subdirectories neither count nor go, and the sum does not wrap (on 32-bit targets either).
TEST_F(Logs, ThreadTrimsAtStartAcknowledgesOnlyBlocksSyncedInPlaceAndDropsTheQueueAtStop) {
    make({{"log0.bin", 0, 1}, {"old", -1, 1}, {"notes", 700 * M, 1}, {"log9.bin", -1}, {"log1.bin", 0, 2},
          {"log3.bin", 4500 * M, 3, 100}, {"log4.bin", 300 * M, 3, 200}, {"log5.bin", kGiB - 300 * M}});
    thread = std::thread(logHandlerThread, &ctx);
    ASSERT_EQ(status(), kStart);
    EXPECT_TRUE(out.has("removeOldLogs found 5573741824 Bytes of log files\n"));
    preflight(); // before any block: the empty log gives its number to the next
    ASSERT_EQ(status(), kStart);
    EXPECT_EQ(chain::commandLines("LC_ALL=C ls " + dir),
              (std::vector<std::string>{"log0.bin", "log4.bin", "log5.bin", "log6.bin", "log9.bin", "notes", "old"}));
    std::string expected(1200, '\0'); // blocks out of order, one twice with new content
    for (auto [seqno, fill] : std::vector<std::pair<int, char>>{{5, 'a'}, {0, 'a'}, {2, 'a'}, {2, 'b'}, {1, 'a'}}) {
        send(mavlink_message_t{}); // other messages are ignored
        block(seqno, fill);
        ASSERT_EQ(status(), seqno);
        expected.replace(seqno * 200, 200, blockData(seqno, fill));
        EXPECT_EQ(vt::readFile(dir + "log6.bin"), expected) << seqno;
    }
    // Places beyond the 32-bit file offset cannot be stored: warned once, a log line for the first and every
    // thousandth, no acknowledgement.
    for (uint32_t seqno = 10737419; seqno < 10737419 + 2500; ++seqno) block(seqno);
    block(10737418);
    EXPECT_EQ(status(), 10737418);
    EXPECT_EQ(out.count("(not sent to the ground): flight log not kept: Value too large for defined data type"), 1u);
    EXPECT_EQ(out.count("logHandlerThread Error: log file could not seek to 2147483800: Value too large"), 1u);
    EXPECT_EQ(out.count(" blocks not stored, the last: Error: log file could not seek"), 2u);
    EXPECT_EQ(fs::file_size(dir + "log6.bin"), 2147483800u);
    preflight(); // the stream is requested again, into the next log
    ASSERT_EQ(status(), kStart);
    block(1);
    ASSERT_EQ(status(), 1);
    EXPECT_EQ(vt::readFile(dir + "log7.bin"), std::string(200, '\0') + blockData(1));
    fs::remove(dir + "log7.bin"); // /dev/null takes a block but cannot be synced: it is never acknowledged
    fs::create_symlink("/dev/null", dir + "log7.bin");
    block(2);
    ASSERT_TRUE(out.waitFor("logHandlerThread Error syncing log file " + dir + "log7.bin"));
    stop();
    // Stopping, it drops what is still queued so that the message handler goes on; the flight controller resends.
    for (uint32_t seqno = 0; seqno < 100; ++seqno) block(seqno);
    logHandlerThread(&ctx); // stopping already, it ends at once
    pollfd p{ctx.logPipe[0], POLLIN, 0}; // nothing is left queued
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_EQ(status(), kStart);
    EXPECT_EQ(status(0), -1);
}
} // namespace
