// The serial link of the real daemon, driven by the simulator over pseudo-terminals.
#include <gtest/gtest.h>

#include "e2e/fcsimRunner.h"
#include "support/testSupport.h"

namespace {

// A sandboxed daemon run: work directory, stub nmcli, and the simulator options that start
// the daemon there.
struct Flight {
    vt::TempDir work;
    vt::StubPath stubs;
    std::string scenario = work / "scenario.txt";

    Flight() {
        stubs.add("nmcli");
        vt::makeDirs(work / "root/vorn/dataflashlogs");
    }
    std::vector<std::string> args(const std::string& steps, const std::vector<std::string>& simOptions,
                                  const std::vector<std::string>& daemonArgs) {
        vt::writeFile(scenario, steps);
        std::vector<std::string> a = simOptions;
        for (const std::string& s : {std::string("--workdir"), work.path(), std::string("--env"),
                                     "VORN_ROOT=" + work.path(), std::string("--daemon-log"), work / "daemon.log",
                                     scenario, std::string("--"), std::string(VORN_DAEMON_PATH)})
            a.push_back(s);
        a.insert(a.end(), daemonArgs.begin(), daemonArgs.end());
        return a;
    }
    std::string daemonLog() const { return vt::readFile(work / "daemon.log"); }
};

} // namespace

TEST(SerialLink, LandStartPassesFromEitherPortAndOtherCommandsAreDropped) {
    Flight f;
    vt::FcsimRun sim(f.work.path(), f.args("wait log \"telemetry modem on\" 15\n"
                                           "command 183 p1=7 p2=2000 via=modem\n"
                                           "command 183 p1=7 p2=2000 via=fc\n"
                                           "land via=modem\n"
                                           "wait log \"got DO_LAND_START\" 10\n"
                                           "command 176 via=fc\n"
                                           "land via=fc\n"
                                           "wait log \"got DO_LAND_START\" 10\n",
                                           {"--modem"}, {"{fc}", "1500000", "--modem", "{modem}", "57600"}));
    ASSERT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    std::string log = f.daemonLog();
    // Each command that got through is logged by the message handler with its sender.
    EXPECT_EQ(vt::countOf(log, "vorn-camera msgHandler ID 76,"), 2u) << log;
    EXPECT_EQ(vt::countOf(log, "ID 76, sequence: 1 to component 190, system 255"), 1u) << log;
    EXPECT_EQ(vt::countOf(log, "to component 1, system 1\n"), 1u) << log;
    EXPECT_EQ(vt::countOf(log, "vorn-camera msgHandler got DO_LAND_START"), 2u);
}

TEST(SerialLink, WithoutTheModemOptionTheModemPortIsNeverOpened) {
    Flight f;
    std::string modemPath = f.work / "modem-line";
    vt::FcsimRun sim(f.work.path(), f.args("wait log \"flight controller on\" 15\n"
                                           "version\n"
                                           "wait rx DATA96 type=5 10\n"
                                           "version\n"
                                           "wait rx DATA96 type=5 10\n",
                                           {}, {"{fc}", "1500000", modemPath, "57600"}));
    ASSERT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    std::string log = f.daemonLog();
    EXPECT_EQ(vt::countOf(log, "telemetry modem"), 0u) << log;
    EXPECT_EQ(vt::countOf(log, modemPath), 0u) << log;
}

TEST(SerialLink, HungUpLineIsReopenedAndCarriesTrafficAgain) {
    Flight f;
    std::string link = f.work / "fc-line";
    vt::FcsimRun sim(f.work.path(), f.args("wait log \"flight controller on\" 15\n"
                                           "hangup 1\n"
                                           "wait log \"vorn-camera serialIO failed to open(" + link + ")\" 10\n"
                                           "wait log \"flight controller on\" 10\n"
                                           "version\n"
                                           "wait rx DATA96 type=5 10\n",
                                           {"--link", link}, {"{fc}", "1500000"}));
    ASSERT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    EXPECT_EQ(vt::countOf(f.daemonLog(), "vorn-camera serialIO flight controller on " + link + " opened at 1500000 baud\n"), 2u);
    EXPECT_NE(sim.out().find("RX DATA96 type=5 len=4 data=0000ffbe from=100/100\n"), std::string::npos);
}

TEST(SerialLink, UnsupportedBaudRateKeepsFailingAndThePortIsNeverUsed) {
    Flight f;
    vt::FcsimRun sim(f.work.path(), f.args("wait log \"Failed to setspeed, baud=2400, err=Invalid argument\" 15\n"
                                           "version\n"
                                           "wait log \"Failed to setspeed, baud=2400, err=Invalid argument\" 15\n",
                                           {}, {"{fc}", "2400"}));
    ASSERT_EQ(sim.wait(), 0) << sim.out() << sim.err();
    std::string log = f.daemonLog();
    EXPECT_EQ(vt::countOf(log, "opened at"), 0u) << log;
    EXPECT_EQ(vt::countOf(log, "msgHandler got DATA96"), 0u) << log;
    EXPECT_EQ(vt::countOf(sim.out(), "RX "), 0u);
}
