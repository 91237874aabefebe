#include "wifi/wifiNM.h"

#include <gtest/gtest.h>

#include <cstring>

#include "wifi/wifiTestSupport.h"

namespace {

std::vector<std::string> splitCopy(std::string text) {
    std::vector<char*> tokens;
    int n = split(text.data(), ' ', tokens);
    EXPECT_EQ(n, static_cast<int>(tokens.size()));
    return {tokens.begin(), tokens.end()};
}

const char header[] = "DEVICE         TYPE      STATE         CONNECTION\n";

} // namespace

TEST(Split, RunsOfDelimitersSeparateTokensInPlace) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitCopy("  wlan0   wifi connected  halvex-hotspot\n"),
              (V{"wlan0", "wifi", "connected", "halvex-hotspot\n"}));
    EXPECT_EQ(splitCopy("a b   "), (V{"a", "b"}));
    EXPECT_EQ(splitCopy("a b  \n"), (V{"a", "b", "\n"}));
    EXPECT_EQ(splitCopy(""), (V{""}));
    EXPECT_EQ(splitCopy("   "), (V{""}));
}

TEST(GetWifiStatusNM, FourColumnWifiLineGivesStateAndName) {
    WifiStubs s;
    s.setStatus(std::string(header) +
                "wlan0          wifi      connected     halvex-hotspot\n"
                "p2p-dev-wlan0  wifi-p2p  disconnected  --\n"
                "lo             loopback  unmanaged     --\n");
    char name[128] = "unset";
    EXPECT_EQ(getWifiStatusNM(name, sizeof name), 1);
    EXPECT_STREQ(name, "halvex-hotspot\n");
    EXPECT_EQ(s.stubs.calls(), std::vector<std::string>{"nmcli device status"});

    char small[8];
    EXPECT_EQ(getWifiStatusNM(small, sizeof small), 1);
    EXPECT_STREQ(small, "halvex-");
}

TEST(GetWifiStatusNM, DisconnectedOrFiveColumnLinesAreNotConnected) {
    WifiStubs s;
    s.setStatus(std::string(header) + "wlan0  wifi  disconnected  --\n");
    char name[128] = "unset";
    EXPECT_EQ(getWifiStatusNM(name, sizeof name), 0);
    EXPECT_STREQ(name, "--\n");

    s.setStatus(std::string(header) + "wlan0  wifi  connected  Field Office\n");
    std::strcpy(name, "unset");
    EXPECT_EQ(getWifiStatusNM(name, sizeof name), 0);
    EXPECT_STREQ(name, "unset");
}
