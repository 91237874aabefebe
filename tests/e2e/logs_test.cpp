// The dataflash log download through the real daemon: the simulator plays the flight controller
// and streams log files as REMOTE_LOG_DATA_BLOCKs, resending what is not acknowledged, as a
// flight controller does. Every acknowledged block must be in the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <tuple>

#include "e2e/flightSupport.h"

namespace {

constexpr uint32_t kStart = 2147483646;

// The daemon's acknowledgements per block number in the simulator's output (the start request
// not counted).
std::map<uint32_t, int> acknowledgements(const std::string& output) {
    std::map<uint32_t, int> acks;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        unsigned long seqno = 0;
        int status = -1;
        if (sscanf(line.c_str(), "RX REMOTE_LOG_BLOCK_STATUS seqno=%lu status=%d", &seqno, &status) == 2 &&
            status == 1 && seqno != kStart)
            ++acks[static_cast<uint32_t>(seqno)];
    }
    return acks;
}

std::string logFile(const flight::Flight& f, int n) {
    return vt::readFile(f.root("/root/vorn/dataflashlogs/log" + std::to_string(n) + ".bin"));
}

} // namespace

// Five megabytes shuffled with duplicates arrive identical, every send acknowledged; the
// preflight's request then starts the next file, which a reversed stream fills.
TEST(LogDownload, ShuffledLogWithDuplicatesArrivesIdenticalAndThePreflightStartsTheNextFile) {
    flight::Flight f;
    const uint32_t blocks = 25000;
    std::string first = flight::makeDataflashLog(f.work("first.bin"), blocks * 200, 8);
    std::string second = flight::makeDataflashLog(f.work("second.bin"), 300 * 200, 2);
    f.fly("wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\n"
          "logstream " + f.work("first.bin") + " rate=0 order=shuffle dup=300 timeout=90\n"
          "preflight camtype=1 mission=m1\n"
          "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\n"
          "logstream " + f.work("second.bin") + " rate=0 order=reverse dup=5\n",
          {"--quiet"});
    ASSERT_EQ(f.finish(std::chrono::seconds(180)), 0) << f.diagnostics();
    std::string out = f.out();
    EXPECT_TRUE(logFile(f, 1) == first) << "the stored log differs from the streamed one";
    EXPECT_TRUE(logFile(f, 2) == second) << "the second log differs from the streamed one";

    // Every block acknowledged once for each time it was sent. Resending is the simulator's answer
    // to a slow acknowledgement on a loaded machine, not a fault.
    int sent = 0;
    for (const auto& [file, count, dups] :
         {std::tuple{f.work("first.bin"), blocks, 300}, {f.work("second.bin"), 300u, 5}}) {
        size_t resent = 0;
        std::string summary = "fcsim: logstream " + file + ": " + std::to_string(count) + " blocks, %zu resent";
        size_t at = out.find("fcsim: logstream " + file + ": ");
        ASSERT_NE(at, std::string::npos) << f.diagnostics();
        ASSERT_EQ(sscanf(out.c_str() + at, summary.c_str(), &resent), 1) << out.substr(at, 200);
        sent += static_cast<int>(count + dups + resent);
    }
    auto acks = acknowledgements(out);
    ASSERT_EQ(acks.size(), blocks);
    EXPECT_EQ(acks.rbegin()->first, blocks - 1);
    int total = 0;
    for (auto& [seqno, n] : acks) total += n;
    EXPECT_EQ(total, sent);
}

// Interrupted mid-stream, the daemon ends within two seconds; every block it acknowledged is in
// the file. At full speed the message handler may be waiting for room in logPipe then.
TEST(LogDownload, SigtermMidStreamEndsTheDaemonAtOnceKeepingWhatItAcknowledged) {
    flight::Flight f;
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 20000 * 200, 3);
    f.fly("wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\nlogstream " + f.work("flight.bin") + " rate=0\n",
          {"--quiet"});
    ASSERT_TRUE(f.waitForOut("RX REMOTE_LOG_BLOCK_STATUS seqno=2000 ", std::chrono::seconds(30))) << f.diagnostics();
    f.interrupt();
    EXPECT_EQ(f.finish(std::chrono::seconds(60)), 130);
    std::string out = f.out();
    long took = -1;
    size_t at = out.find("fcsim: daemon exited with status 0, ");
    ASSERT_NE(at, std::string::npos) << f.diagnostics();
    ASSERT_EQ(sscanf(out.c_str() + at, "fcsim: daemon exited with status 0, %ld ms after SIGTERM", &took), 1);
    EXPECT_LT(took, 2000);

    auto acks = acknowledgements(out);
    ASSERT_LT(acks.size(), 20000u) << "the stream ended before the stop";
    std::string stored = logFile(f, 1);
    for (const auto& [seqno, n] : acks) {
        ASSERT_GE(stored.size(), (seqno + 1) * 200u) << "block " << seqno;
        ASSERT_TRUE(stored.compare(seqno * 200, 200, log, seqno * 200, 200) == 0) << "block " << seqno;
    }
}
