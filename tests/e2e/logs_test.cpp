// The dataflash log download through the real daemon: the simulator plays the flight controller
// on a pseudo-terminal and streams log files as REMOTE_LOG_DATA_BLOCKs, resending what is not
// acknowledged, as a flight controller does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>

#include "e2e/fcsimRunner.h"
#include "support/testSupport.h"

namespace {

constexpr uint32_t kStart = 2147483646;

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(n, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    return data;
}

// Runs the simulator with the daemon behind it; its standard output goes to outPath. Returns
// its exit status, or -1 when it did not end within the deadline.
int runFcsim(const vt::TempDir& work, const std::string& scenario, const std::string& outPath,
             const vt::StubPath& stubs) {
    std::vector<std::string> args = {VORN_FCSIM_PATH, "--quiet", "--workdir", work.path(),
                                     "--env", "VORN_ROOT=" + work.path(), "--env", "PATH=" + stubs.dir() + ":/usr/bin:/bin",
                                     "--daemon-log", work / "daemon.log", scenario, "--", VORN_DAEMON_PATH, "{fc}", "1500000"};
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    bool ended = vt::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(180));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Counts the daemon's acknowledgements per block number in the simulator's output.
std::map<uint32_t, int> acknowledgements(const std::string& output) {
    std::map<uint32_t, int> acks;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        unsigned long seqno = 0;
        int status = -1;
        if (sscanf(line.c_str(), "RX REMOTE_LOG_BLOCK_STATUS seqno=%lu status=%d", &seqno, &status) == 2 && status == 1)
            ++acks[static_cast<uint32_t>(seqno)];
    }
    return acks;
}

class LogDownload : public ::testing::Test {
protected:
    void SetUp() override { stubs.add("nmcli"); }
    std::string logFile(int n) const { return vt::readFile(work / ("root/vorn/dataflashlogs/log" + std::to_string(n) + ".bin")); }

    vt::TempDir work;
    vt::StubPath stubs;
};

TEST_F(LogDownload, FiveMegabyteLogOutOfOrderWithDuplicatesArrivesIdentical) {
    const uint32_t blocks = 25000;
    std::string log = randomBytes(blocks * 200, 8);
    vt::writeFile(work / "flight.bin", log);
    vt::writeFile(work / "scenario.txt",
                  "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\n"
                  "logstream " + work / "flight.bin" + " rate=0 order=shuffle dup=300 timeout=90\n");

    ASSERT_EQ(runFcsim(work, work / "scenario.txt", work / "fcsim.out", stubs), 0)
        << vt::readFile(work / "fcsim.out").substr(0, 4000) << vt::readFile(work / "daemon.log");
    std::string out = vt::readFile(work / "fcsim.out");
    // Resending is the simulator's answer to a slow acknowledgement on a loaded machine, not a fault.
    size_t resent = 0;
    size_t summary = out.find("fcsim: logstream " + work / "flight.bin" + ": 25000 blocks, ");
    ASSERT_NE(summary, std::string::npos);
    ASSERT_EQ(sscanf(out.c_str() + out.find(": 25000 blocks, ", summary), ": 25000 blocks, %zu resent, all acknowledged", &resent), 1);

    std::string stored = logFile(1);
    ASSERT_EQ(stored.size(), log.size());
    EXPECT_TRUE(stored == log) << "the stored log differs from the streamed one";

    // Every block acknowledged: once for each time it was sent.
    auto acks = acknowledgements(out);
    EXPECT_EQ(acks[kStart], 1);
    acks.erase(kStart);
    ASSERT_EQ(acks.size(), blocks);
    EXPECT_EQ(acks.begin()->first, 0u);
    EXPECT_EQ(acks.rbegin()->first, blocks - 1);
    int total = 0;
    for (auto& [seqno, n] : acks) total += n;
    EXPECT_EQ(total, static_cast<int>(blocks + 300 + resent));
}

TEST_F(LogDownload, PreflightRequestStartsTheNextLogFile) {
    std::string first = randomBytes(200 * 500, 1);
    std::string second = randomBytes(200 * 300, 2);
    vt::writeFile(work / "first.bin", first);
    vt::writeFile(work / "second.bin", second);
    vt::writeFile(work / "scenario.txt",
                  "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\n"
                  "logstream " + work / "first.bin" + " rate=0 order=reverse dup=5\n"
                  "preflight camtype=1 mission=m1\n"
                  "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30\n"
                  "logstream " + work / "second.bin" + " rate=0 order=shuffle\n");

    ASSERT_EQ(runFcsim(work, work / "scenario.txt", work / "fcsim.out", stubs), 0)
        << vt::readFile(work / "fcsim.out").substr(0, 4000) << vt::readFile(work / "daemon.log");
    EXPECT_TRUE(logFile(1) == first);
    EXPECT_TRUE(logFile(2) == second);
    std::string daemonLog = vt::readFile(work / "daemon.log");
    EXPECT_NE(daemonLog.find("vorn-camera logHandlerThread created log file " + work.path() +
                             "/root/vorn/dataflashlogs/log2.bin\n"),
              std::string::npos);
}

TEST_F(LogDownload, SigtermInTheMiddleOfAStreamEndsTheDaemonAtOnceKeepingWhatItAcknowledged) {
    const uint32_t blocks = 20000;
    std::string log = randomBytes(blocks * 200, 3);
    vt::writeFile(work / "flight.bin", log);
    vt::FcsimRun sim(work.path(), {"--quiet", "--workdir", work.path(), "--env", "VORN_ROOT=" + work.path(), "--env",
                                   "PATH=" + stubs.dir() + ":/usr/bin:/bin", "-e",
                                   "wait rx REMOTE_LOG_BLOCK_STATUS seqno=2147483646 30", "-e",
                                   "logstream " + work / "flight.bin" + " rate=0", "--", VORN_DAEMON_PATH, "{fc}",
                                   "1500000"});
    ASSERT_TRUE(sim.waitForOutput("RX REMOTE_LOG_BLOCK_STATUS seqno=2000 ", std::chrono::seconds(30))) << sim.out();
    // Interrupted, the simulator stops the daemon mid-stream and says how long it took. At full
    // speed the message handler may be waiting for room in logPipe when the log thread stops.
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.wait(), 130);
    std::string out = sim.out();
    long took = -1;
    size_t at = out.find("fcsim: daemon exited with status 0, ");
    ASSERT_NE(at, std::string::npos) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
    ASSERT_EQ(sscanf(out.c_str() + at, "fcsim: daemon exited with status 0, %ld ms after SIGTERM", &took), 1);
    EXPECT_LT(took, 2000);

    // Every acknowledged block is in the file.
    auto acks = acknowledgements(out);
    acks.erase(kStart);
    ASSERT_LT(acks.size(), blocks) << "the stream ended before the stop";
    std::string stored = logFile(1);
    for (const auto& [seqno, n] : acks) {
        ASSERT_GE(stored.size(), (seqno + 1) * 200u) << "block " << seqno;
        ASSERT_TRUE(stored.compare(seqno * 200, 200, log, seqno * 200, 200) == 0) << "block " << seqno;
    }
}

} // namespace
