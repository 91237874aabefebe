// The dataflash log download through the real daemon, stopped mid-stream: the simulator plays the
// flight controller and streams a log file as REMOTE_LOG_DATA_BLOCKs at full speed. Interrupted,
// the daemon ends within two seconds (the message handler may then be waiting for room in
// logPipe), and every block it acknowledged is in the file.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "e2e/flightSupport.h"

TEST(LogDownload, SigtermMidStreamEndsTheDaemonAtOnceKeepingWhatItAcknowledged) {
    flight::Flight f;
    const unsigned long blocks = 20000, start = 2147483646;
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), blocks * 200, 3);
    f.fly("wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\nlogstream " + f.work("flight.bin") + " rate=0\n",
          {"--quiet"});
    ASSERT_TRUE(f.sim().waitForOutput("RX REMOTE_LOG_BLOCK_STATUS seqno=2000 ", std::chrono::seconds(30)))
        << f.diagnostics();
    f.sim().signal(SIGTERM);
    EXPECT_EQ(f.finish(std::chrono::seconds(60)), 130);
    std::string out = f.out();
    long took = -1;
    size_t at = out.find("fcsim: daemon exited with status 0, ");
    ASSERT_NE(at, std::string::npos) << f.diagnostics();
    ASSERT_EQ(sscanf(out.c_str() + at, "fcsim: daemon exited with status 0, %ld ms after SIGTERM", &took), 1);
    EXPECT_LT(took, 2000);

    std::set<unsigned long> acked;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        unsigned long seqno = 0;
        int status = -1;
        if (sscanf(line.c_str(), "RX REMOTE_LOG_BLOCK_STATUS seqno=%lu status=%d", &seqno, &status) == 2 &&
            status == 1 && seqno != start)
            acked.insert(seqno);
    }
    ASSERT_LT(acked.size(), blocks) << "the stream ended before the stop";
    std::string stored = vt::readFile(f.root("/root/vorn/dataflashlogs/log1.bin"));
    for (unsigned long seqno : acked) {
        ASSERT_GE(stored.size(), (seqno + 1) * 200) << "block " << seqno;
        ASSERT_TRUE(stored.compare(seqno * 200, 200, log, seqno * 200, 200) == 0) << "block " << seqno;
    }
}
