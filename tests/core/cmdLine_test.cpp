#include "core/cmdLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Args {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit Args(std::vector<std::string> w) : words(std::move(w)) {
        argv.push_back(const_cast<char*>("vorn-camera"));
        for (auto& s : words) argv.push_back(s.data());
    }
    int parse(AppContext* ctx) { return parseCommandLine(ctx, static_cast<int>(argv.size()), argv.data()); }
};

} // namespace

TEST(CommandLine, DefaultsWithoutArguments) {
    AppContext ctx;
    EXPECT_EQ(Args({}).parse(&ctx), 0);
    EXPECT_STREQ(ctx.fcPort, "/dev/ttymxc2");
    EXPECT_EQ(ctx.fcBaud, 1500000);
    EXPECT_STREQ(ctx.modemPort, "/dev/ttyS0");
    EXPECT_EQ(ctx.modemBaud, 57600);
    EXPECT_EQ(ctx.useModem, 0);
    EXPECT_EQ(ctx.wifiMode, 1);
    EXPECT_EQ(ctx.camera.triggerChannel, 7);
    EXPECT_EQ(ctx.fcSysId, 1);
    EXPECT_EQ(ctx.camera.cameraPipe[0], -1);
}

TEST(CommandLine, OptionBetweenPositionalsDoesNotShiftThem) {
    AppContext ctx;
    Args a({"/dev/ttyUSB0", "115200", "--modem", "/dev/ttyS1", "57600", "extra"});
    EXPECT_EQ(a.parse(&ctx), 0);
    EXPECT_STREQ(ctx.fcPort, "/dev/ttyUSB0");
    EXPECT_EQ(ctx.fcBaud, 115200);
    EXPECT_EQ(ctx.useModem, 1);
    EXPECT_STREQ(ctx.modemPort, "/dev/ttyS1");
    EXPECT_EQ(ctx.modemBaud, 57600);
}

TEST(CommandLine, TriggerConsumesTheNextArgumentWhateverItIs) {
    AppContext ctx;
    Args({"--trigger", "--modem"}).parse(&ctx);
    EXPECT_EQ(ctx.camera.triggerChannel, 0);
    EXPECT_EQ(ctx.useModem, 0);

    AppContext ctx2;
    Args args2({"--wifiCF", "--trigger", "9", "--unknown", "/dev/x"});
    args2.parse(&ctx2);
    EXPECT_EQ(ctx2.camera.triggerChannel, 9);
    EXPECT_EQ(ctx2.wifiMode, 2);
    EXPECT_STREQ(ctx2.fcPort, "/dev/x");

    AppContext ctx3;
    Args({"--trigger"}).parse(&ctx3);
    EXPECT_EQ(ctx3.camera.triggerChannel, 7);
}

TEST(CommandLine, NonNumericBaudBecomesZeroAndCaseMatters) {
    AppContext ctx;
    Args args({"/dev/ttyUSB0", "fast", "--MODEM"});
    args.parse(&ctx);
    EXPECT_EQ(ctx.fcBaud, 0);
    EXPECT_EQ(ctx.useModem, 0);
}

TEST(CommandLine, VersionIsReported) {
    AppContext ctx;
    EXPECT_EQ(Args({"/dev/ttyUSB0", "--version"}).parse(&ctx), 1);
}
