#include "logs/logHandler.h"

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/pipes.h"
#include "logTestSupport.h"
#include "mavlink/mavlink.h"

using logtest::LogDirTest;
using logtest::StdoutCapture;

namespace {

constexpr uint32_t kStart = 2147483646;

std::string blockData(uint32_t seqno, char salt = 'a') {
    std::string data(200, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(salt + (seqno * 31 + i) % 23);
    return data;
}

// The log thread on real pipes, with the flight controller at system 7, component 3.
class LogThreadTest : public LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        ASSERT_EQ(pipe(ctx.logPipe), 0);
        ASSERT_EQ(pipe(ctx.fcPipe), 0);
        ctx.fcSysId = 256 + 7;  // only the low 8 bits go on the wire
        ctx.fcCompId = 3;
    }
    void TearDown() override {
        stop();
        for (int32_t* fds : {ctx.logPipe, ctx.fcPipe})
            for (int i = 0; i < 2; ++i) close(fds[i]);
        LogDirTest::TearDown();
    }
    void start() { thread = std::thread(logHandlerThread, &ctx); }
    // Sets the stop flag and wakes the thread with a record it ignores.
    void stop() {
        if (!thread.joinable()) return;
        ctx.quit = 1;
        mavlink_message_t wake{};
        pipeWrite(ctx.logPipe[1], sizeof wake, &wake);
        thread.join();
    }

    void sendRecord(const mavlink_message_t& msg) { ASSERT_EQ(pipeWrite(ctx.logPipe[1], sizeof msg, &msg), 1); }
    void sendBlock(uint32_t seqno, const std::string& data) {
        mavlink_message_t msg{};
        mavlink_msg_remote_log_data_block_pack_chan(1, 1, &fcChannel, &msg, 100, 100, seqno,
                                                    reinterpret_cast<const uint8_t*>(data.data()));
        sendRecord(msg);
    }
    void sendPreflight() {
        mavlink_message_t msg{};
        uint8_t data[96] = {};
        mavlink_msg_data96_pack_chan(255, 190, &fcChannel, &msg, 3, 41, data);
        sendRecord(msg);
    }

    // The next REMOTE_LOG_BLOCK_STATUS from the thread: its seqno, or -1 when none came in time.
    int64_t nextStatus(int timeoutMs = 10000) {
        pollfd p{ctx.fcPipe[0], POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return -1;
        mavlink_message_t msg{};
        if (!msgRead(ctx.fcPipe[0], &msg)) return -1;
        EXPECT_EQ(msg.msgid, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS);
        EXPECT_EQ(msg.sysid, 100);
        EXPECT_EQ(msg.compid, 100);
        EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_system(&msg), 7);
        EXPECT_EQ(mavlink_msg_remote_log_block_status_get_target_component(&msg), 3);
        EXPECT_EQ(mavlink_msg_remote_log_block_status_get_status(&msg), MAV_REMOTE_LOG_DATA_BLOCK_ACK);
        return mavlink_msg_remote_log_block_status_get_seqno(&msg);
    }
    bool fcPipeEmpty() {
        pollfd p{ctx.fcPipe[0], POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    std::string logFile(int n) const { return vt::readFile(dir + "log" + std::to_string(n) + ".bin"); }

    AppContext ctx;
    std::thread thread;
    mavlink_channel_t fcChannel{};
};

TEST_F(LogThreadTest, StartCreatesTheFirstLogAndRequestsTheStream) {
    makeLogDir();
    StdoutCapture out;
    start();
    EXPECT_EQ(nextStatus(), kStart);
    EXPECT_EQ(sizeOf("log1.bin"), 0);
    EXPECT_TRUE(out.has("vorn-camera logHandlerThread started...\n"));
    EXPECT_TRUE(out.has("vorn-camera removeOldLogs found 0 Bytes of log files\n"));
    EXPECT_TRUE(out.has("vorn-camera logHandlerThread created log file " + dir + "log1.bin\n"));
    stop();
    EXPECT_TRUE(out.has("vorn-camera logHandlerThread exit\n"));
}

TEST_F(LogThreadTest, StartTrimsOldLogsAndRemovesEmptyOnes) {
    makeLogDir();
    makeFile("log1.bin", 700000000, 1600000000);
    makeFile("log2.bin", 500000000, 1700000000);
    makeFile("log3.bin", 0, 1800000000);
    start();
    EXPECT_EQ(nextStatus(), kStart);
    EXPECT_FALSE(exists("log1.bin"));
    EXPECT_TRUE(exists("log2.bin"));
    EXPECT_EQ(sizeOf("log3.bin"), 0);  // the empty log3 was removed and its number reused
}

TEST_F(LogThreadTest, BlocksOutOfOrderAreStoredInPlaceBeforeTheirAcknowledgement) {
    start();
    ASSERT_EQ(nextStatus(), kStart);
    std::string expected(600, '\0');
    for (uint32_t seqno : {0u, 2u, 1u}) {
        std::string data = blockData(seqno);
        expected.replace(seqno * 200, 200, data);
        sendBlock(seqno, data);
        ASSERT_EQ(nextStatus(), seqno);
        // Acknowledged means stored.
        EXPECT_EQ(logFile(1).substr(seqno * 200, 200), data);
    }
    EXPECT_EQ(logFile(1), expected);
}

TEST_F(LogThreadTest, BurstOfBlocksIsAcknowledgedInArrivalOrder) {
    start();
    ASSERT_EQ(nextStatus(), kStart);
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < 150; ++i) order.push_back((i * 37) % 150);
    for (uint32_t seqno : order) sendBlock(seqno, blockData(seqno));
    std::string expected;
    for (uint32_t seqno = 0; seqno < 150; ++seqno) expected += blockData(seqno);
    for (uint32_t seqno : order) ASSERT_EQ(nextStatus(), seqno);
    EXPECT_EQ(logFile(1), expected);
}

TEST_F(LogThreadTest, FirstBlockFiveLeavesZerosBefore) {
    start();
    ASSERT_EQ(nextStatus(), kStart);
    sendBlock(5, blockData(5));
    ASSERT_EQ(nextStatus(), 5);
    EXPECT_EQ(logFile(1), std::string(1000, '\0') + blockData(5));
}

TEST_F(LogThreadTest, RepeatedBlockIsWrittenAgainAndAcknowledgedAgain) {
    start();
    ASSERT_EQ(nextStatus(), kStart);
    sendBlock(3, blockData(3, 'a'));
    sendBlock(3, blockData(3, 'A'));
    EXPECT_EQ(nextStatus(), 3);
    EXPECT_EQ(nextStatus(), 3);
    EXPECT_EQ(logFile(1), std::string(600, '\0') + blockData(3, 'A'));
}

TEST_F(LogThreadTest, BlockBeyondThe32BitOffsetIsNotAcknowledged) {
    StdoutCapture out;
    start();
    ASSERT_EQ(nextStatus(), kStart);
    sendBlock(10737419, blockData(1));
    sendBlock(10737418, blockData(2));  // the last block that fits
    EXPECT_EQ(nextStatus(), 10737418);
    EXPECT_TRUE(out.has("vorn-camera logHandlerThread Error: log file could not seek to 2147483800: "));
    EXPECT_EQ(sizeOf("log1.bin"), 2147483800);
}

TEST_F(LogThreadTest, PreflightStartsTheNextLogAndRequestsTheStreamAgain) {
    StdoutCapture out;
    start();
    ASSERT_EQ(nextStatus(), kStart);
    // No block yet: the empty log1 is removed and its number given to the new file.
    sendPreflight();
    ASSERT_EQ(nextStatus(), kStart);
    EXPECT_EQ(out.count("vorn-camera logHandlerThread created log file " + dir + "log1.bin\n"), 2u);

    sendBlock(0, blockData(0));
    ASSERT_EQ(nextStatus(), 0);
    sendPreflight();
    ASSERT_EQ(nextStatus(), kStart);
    EXPECT_TRUE(out.has("vorn-camera logHandlerThread created log file " + dir + "log2.bin\n"));
    sendBlock(1, blockData(1));
    ASSERT_EQ(nextStatus(), 1);
    EXPECT_EQ(logFile(1), blockData(0));
    EXPECT_EQ(logFile(2), std::string(200, '\0') + blockData(1));
}

TEST_F(LogThreadTest, WithoutALogFileBlocksAreDroppedUnacknowledged) {
    vt::makeDirs(root.path() + "/root/vorn");
    vt::writeFile(root.path() + "/root/vorn/dataflashlogs", "not a directory");
    StdoutCapture out;
    start();
    ASSERT_EQ(nextStatus(), kStart);  // requested all the same
    EXPECT_EQ(out.count("vorn-camera getLogFilePath Error : Failed to open log directory - Not a directory\n"), 11u);
    EXPECT_FALSE(out.has("created log file"));
    sendBlock(0, blockData(0));
    ASSERT_TRUE(out.waitFor("vorn-camera logHandlerThread Error oppening log file (null): No such file or directory\n"));
    stop();
    EXPECT_TRUE(fcPipeEmpty());
}

TEST_F(LogThreadTest, OtherMessagesAreIgnored) {
    start();
    ASSERT_EQ(nextStatus(), kStart);
    mavlink_message_t msg{};
    mavlink_msg_heartbeat_pack_chan(1, 1, &fcChannel, &msg, 2, 3, 81, 0, 4);
    sendRecord(msg);
    sendBlock(0, blockData(0));
    EXPECT_EQ(nextStatus(), 0);
    EXPECT_EQ(logFile(1), blockData(0));
}

TEST_F(LogThreadTest, FailedStartRequestIsReported) {
    close(ctx.fcPipe[0]);  // nobody reads fcPipe: writes fail with EPIPE
    ctx.fcPipe[0] = -1;
    signal(SIGPIPE, SIG_IGN);
    StdoutCapture out;
    start();
    EXPECT_TRUE(out.waitFor("vorn-camera logHandlerThread did not succeed in requesting log start\n"));
    EXPECT_TRUE(out.has("vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS START msg to outbound pipe\n"));
    sendBlock(0, blockData(0));
    // Stored, but the acknowledgement fails twice: once reported, then tried once more.
    ASSERT_TRUE(out.waitFor("vorn-camera logHandlerThread failed to send ACK\n"));
    stop();
    EXPECT_EQ(out.count("vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS ACK msg to outbound pipe\n"), 2u);
    EXPECT_EQ(logFile(1), blockData(0));
}

} // namespace
