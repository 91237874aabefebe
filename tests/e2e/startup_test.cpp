// The real daemon binary: start-up, the database and its backup, and stopping on SIGTERM.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/testSupport.h"

namespace {

std::map<std::string, std::string> sandboxEnv(const vt::TempDir& root, const vt::StubPath& stubs) {
    return {{"VORN_ROOT", root.path()}, {"PATH", stubs.dir() + ":/usr/bin:/bin"}};
}

} // namespace

TEST(Startup, VersionPrintsItsLineAndExitsZero) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::Daemon d(work.path(), {"--version"}, sandboxEnv(work, stubs));
    ASSERT_TRUE(vt::waitUntil([&] { return !d.running(); }));
    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(d.output(), "vorn-camera 0.38\n");
    // The WiFi radio command runs before the version is printed.
    ASSERT_EQ(stubs.calls().size(), 1u);
    EXPECT_EQ(stubs.calls()[0], "nmcli radio wifi on");
}

TEST(Startup, RunsWithoutItsSerialPortCreatesTheDatabaseAndStopsOnSigterm) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    {
        vt::Daemon d(work.path(), {work / "no-such-tty", "115200"}, sandboxEnv(work, stubs));
        ASSERT_TRUE(d.waitForOutput("vorn-camera 0.38 started...\n"));
        ASSERT_TRUE(vt::waitUntil([&] { return vt::fileExists(work / "geodata.db"); }));
        EXPECT_TRUE(d.running());
        EXPECT_EQ(d.stop(), 0);
    }
    EXPECT_FALSE(vt::fileExists(work / "geodata.db.bak"));
    vt::Daemon again(work.path(), {work / "no-such-tty"}, sandboxEnv(work, stubs));
    ASSERT_TRUE(again.waitForOutput("started..."));
    EXPECT_TRUE(vt::fileExists(work / "geodata.db.bak"));
    EXPECT_EQ(again.stop(), 0);
}

TEST(Startup, UnopenableDatabaseIsLoggedAndTheDaemonKeepsRunning) {
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    ASSERT_EQ(mkdir((work / "geodata.db").c_str(), 0755), 0);
    vt::Daemon d(work.path(), {work / "no-such-tty"}, sandboxEnv(work, stubs));
    ASSERT_TRUE(d.waitForOutput("vorn-camera failed to open sqlite3 db geodata.db\n"));
    EXPECT_TRUE(d.waitForOutput("vorn-camera cameraThread started..."));
    EXPECT_TRUE(d.running());
    EXPECT_EQ(d.stop(), 0);
}
