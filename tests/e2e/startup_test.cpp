// The real daemon binary: start-up, the database and its backup, and stopping on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "e2e/flightSupport.h"

namespace {

std::map<std::string, std::string> sandboxEnv(const vt::TempDir& root, const vt::StubPath& stubs) {
    return {{"VORN_ROOT", root.path()}, {"PATH", stubs.dir() + ":/usr/bin:/bin"}};
}

} // namespace

// --version prints its line and runs nothing, not even the WiFi radio command. Without its serial
// port the daemon runs on. A directory where the database belongs is set aside and a new database
// taken; the next start backs the database up.
TEST(Startup, RunsWithoutItsPortSetsADamagedDatabaseAsideAndStopsOnSigterm) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::Process version(work.path(), "daemon", vt::daemonArgv({"--version"}), sandboxEnv(work, stubs));
    EXPECT_EQ(version.wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(version.output(), "vorn-camera 0.38\n");
    EXPECT_TRUE(stubs.calls().empty());
    ASSERT_EQ(mkdir((work / "geodata.db").c_str(), 0755), 0);
    {
        vt::Process d(work.path(), "daemon", vt::daemonArgv({work / "no-such-tty", "115200"}), sandboxEnv(work, stubs));
        ASSERT_TRUE(d.waitForOutput("vorn-camera geodata.db is damaged: kept as geodata.db.damaged-"));
        EXPECT_TRUE(d.waitForOutput(", no usable backup, starting a new one\n"));
        ASSERT_TRUE(d.waitForOutput("vorn-camera cameraThread try to create table 'untagged'"));
        EXPECT_TRUE(d.waitForOutput("vorn-camera 0.38 started...\n"));
        EXPECT_TRUE(d.running());
        // Every descriptor the daemon opened is closed on exec: no command it runs inherits one.
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(d.pid()) + "/fdinfo")) {
            std::string info = vt::readFile(e.path()), fd = e.path().filename();
            if (info.find("flags:") == std::string::npos) continue; // closed meanwhile
            unsigned long flags = std::stoul(info.substr(info.find("flags:") + 6), nullptr, 8);
            EXPECT_TRUE(std::stoi(fd) <= 2 || (flags & O_CLOEXEC) != 0)
                << fd << ": " << info;
        }
        EXPECT_EQ(d.stop(), 0) << d.errors();
    }
    EXPECT_FALSE(vt::fileExists(work / "geodata.db.bak"));
    vt::Process again(work.path(), "daemon", vt::daemonArgv({work / "no-such-tty"}), sandboxEnv(work, stubs));
    ASSERT_TRUE(again.waitForOutput("started..."));
    EXPECT_TRUE(vt::fileExists(work / "geodata.db.bak"));
    EXPECT_EQ(again.output().find("damaged"), std::string::npos);
    EXPECT_EQ(again.stop(), 0);
}

TEST(Startup, AThreadThatCannotStartIsNamedAndTheStartedOnesStopBeforeANonZeroExit) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the daemon as a user of its own";
    vt::TempDir work;
    vt::StubPath stubs;
    ASSERT_EQ(chmod(work.path().c_str(), 0777), 0);
    // As nobody, allowed three tasks: the daemon's threads run out before all five have started
    // (the USB library may hold one of them).
    vt::Process d(work.path(), "daemon", vt::daemonArgv({work / "no-such-tty"}), sandboxEnv(work, stubs), [] {
        rlimit three{3, 3};
        if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &three) != 0) _exit(125);
    });
    EXPECT_EQ(d.wait(std::chrono::seconds(5)), 1) << d.output();
    // In start order: each thread before the one that failed ran (and was stopped and joined
    // before the exit), none after it was started.
    const std::pair<std::string, std::string> threads[] = {
        {"wifiThread", "vorn-camera wifiThread started..."},
        {"cameraThread", "vorn-camera cameraThread started..."},
        {"msgHandlerThread", "vorn-camera msgHandler started..."},
        {"serialIOThread", "vorn-camera serialIO started..."},
        {"logHandlerThread", "vorn-camera logHandlerThread started..."},
        {"webServerThread", "vorn-camera webServer listening on "},
    };
    std::string out = d.output();
    bool failed = false;
    for (const auto& [name, startedLine] : threads) {
        bool failedHere = out.find("vorn-camera failed to start " + name + ": ") != std::string::npos;
        failed = failed || failedHere;
        EXPECT_EQ(out.find(startedLine) != std::string::npos, !failed) << name << "\n" << out;
    }
    EXPECT_TRUE(failed) << out;
}

// Interrupted in the middle of a log stream at full speed, the daemon ends within two seconds (the
// message handler may then be waiting for room in logPipe), and every block it acknowledged is in
// the file.
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
    const long took = flight::msAfterSigterm(out);
    ASSERT_GE(took, 0) << f.diagnostics();
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
