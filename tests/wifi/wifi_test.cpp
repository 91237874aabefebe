// WiFi switching with stub nmcli (noting its arguments, for "connection up" after the calling shell's command
// line; answering "device status" from status.txt) and systemctl, files below a sandbox root, waits recorded.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <thread>

#include "core/clock.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "core/stop.h"
#include "support/testSupport.h"
#include "wifi/wifiConf.h"
#include "wifi/wifiNM.h"
#include "wifi/wifiThread.h"

namespace {

std::string frame(uint8_t mode, const std::string& ssid = "", const std::string& password = "") {
    WifiRequest req{mode, {}, {}}; // texts longer than their fields are cut without a NUL
    ssid.copy(req.ssid, sizeof req.ssid), password.copy(req.password, sizeof req.password);
    return std::string(reinterpret_cast<const char*>(&req), sizeof req);
}

class Wifi : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1), sandboxInit();
        for (const char* d : {"etc/hostapd", "etc/wpa_supplicant"}) vt::makeDirs(root / d);
        vt::writeFile(hostapd, "ssid=halvex\nwpa_passphrase=groundcrew\n");
        vt::writeFile(wpa, "network={\n\tssid=\"office\"\n\tpsk=\"officepw\"\n}\n");
        const std::string& d = stubs.dir();
        stubs.add("nmcli", "{ [ \"$2\" != up ] || tr '\\0' '|' < /proc/$PPID/cmdline; for a in \"$@\"; do "
                           "printf '[%s]' \"$a\"; done; echo; } >> \"" + d + "/args\"\n"
                           "[ \"$1 $2\" != \"device status\" ] || cat \"" + d + "/status.txt\"");
        stubs.add("systemctl");
        setSleepHook([this](long ms) { sleeps.push_back(ms); });
        ASSERT_EQ(pipe(ctx.wifiPipe) + pipe(ctx.stopPipe), 0);
    }
    void TearDown() override {
        for (int fd : {ctx.wifiPipe[0], ctx.wifiPipe[1], ctx.stopPipe[0], ctx.stopPipe[1]}) close(fd);
        setSleepHook({}), unsetenv("VORN_ROOT"), sandboxInit();
    }
    void run(int32_t wifiMode, const std::vector<std::string>& frames) {
        ctx.wifiMode = wifiMode;
        std::thread thread(wifiThread, &ctx);
        for (const auto& f : frames) EXPECT_EQ(pipeWrite(ctx.wifiPipe[1], f.size(), f.data()), 1);
        EXPECT_TRUE(vt::waitUntil([&] { int n = 0; return ioctl(ctx.wifiPipe[0], FIONREAD, &n) == 0 && n == 0; }));
        requestStop(&ctx), thread.join();
    }

    vt::TempDir root;
    vt::StubPath stubs;
    AppContext ctx;
    std::vector<long> sleeps;
    std::string hostapd = root / "etc/hostapd/hostapd.conf", wpa = root / "etc/wpa_supplicant/wpa_supplicant.conf";
};

// Ground texts reach nmcli as single arguments, whatever they hold; a short frame reuses no text of
// the one before, and a client needs both; unknown modes are skipped; a connected device gets 5 s.
TEST_F(Wifi, NetworkManagerGetsEveryTextAsOneArgument) {
    const std::string ssid = "a'b\"c $(touch x)", pass = "'`touch x`\"; touch x #";
    vt::writeFile(stubs.dir() + "/status.txt", "wlan0  wifi  connected  halvex-hotspot\n");
    run(1, {frame(WIFI_ACCESS_POINT, ssid, pass), frame(WIFI_CLIENT, ssid, pass), frame(WIFI_CLIENT, "x").substr(0, 34),
            frame(9, ssid, pass), frame(WIFI_ACCESS_POINT, std::string(33, 'S')), frame(WIFI_OFF)});
    const std::string on = "[radio][wifi][on]\n[device][status]\n", modify = "[connection][modify][halvex-hotspot]",
                      up = "sh|-c|nmcli connection up 'halvex-hotspot'|[connection][up][halvex-hotspot]\n";
    EXPECT_EQ(vt::readFile(stubs.dir() + "/args"),
              on + modify + "[802-11-wireless.ssid][" + ssid + "]\n" + modify +
                  "[802-11-wireless-security.key-mgmt][wpa-psk][802-11-wireless-security.psk][" + pass + "]\n" + up +
                  on + "[dev][wifi][con][" + ssid + "][password][" + pass + "]\n" + on + on + modify +
                  "[802-11-wireless.ssid][" + std::string(32, 'S') + "]\n" + up + "[radio][wifi][off]\n");
    EXPECT_EQ(sleeps, (std::vector<long>{5000, 4000, 4000, 5000, 5000, 5000, 4000}));
}

// Through the files each mode rewrites its own (empty texts leave it alone) and switches the services.
TEST_F(Wifi, FileBackEndRewritesItsOwnFileAndSwitchesTheServices) {
    run(2, {frame(WIFI_ACCESS_POINT, "Field AP", "a'b\"c$(x)"), frame(WIFI_CLIENT, "\"depot\""),
            frame(WIFI_ACCESS_POINT), frame(WIFI_OFF)});
    EXPECT_EQ(vt::readFile(hostapd), "ssid=Field AP\nwpa_passphrase=a'b\"c$(x)\n");
    EXPECT_EQ(vt::readFile(wpa), "network={\n\tssid=\"depot\"\n\tpsk=\"officepw\"\n}\n");
    const std::string on = "nmcli radio wifi on", ap = "systemctl start hostapd", noAp = "systemctl stop hostapd";
    const std::string sta = "systemctl start wpa_supplicant", noSta = "systemctl stop wpa_supplicant";
    EXPECT_EQ(stubs.calls(), (std::vector<std::string>{on, noSta, ap, on, noAp, sta, on, noSta, ap, noSta, noAp}));
    EXPECT_EQ(sleeps, std::vector<long>(3, 2000));
}

// Whole lines of exact keys are rewritten through a temporary file that keeps the file's mode.
TEST_F(Wifi, ConfigurationRewrite) {
    const std::vector<ConfPair> ap = {{"ssid", "Field AP"}, {"wpa_passphrase", "s3cr3t=x"}};
    // The second 127-byte piece of this comment starts with "ssid=": still one comment line.
    const std::string trap = "#" + std::string(126, 'x') + "ssid=trap\n";
    struct Case { const char* name; std::string before; std::vector<ConfPair> pairs; std::string after; };
    for (const Case& c : std::vector<Case>{
             {"exact keys, last line ended", "\tssid=old\nssid =spaced\n#ssid=commented\n  wpa_passphrase=o",
              ap, "\tssid=Field AP\nssid =spaced\n#ssid=commented\n  wpa_passphrase=s3cr3t=x\n"},
             {"long lines", trap + "ssid=" + std::string(300, 'o') + "\nend", ap, trap + "ssid=Field AP\nend"},
             {"last pair wins", "ssid=a\nwpa_passphrase=p\n", {{"ssid", "x"}, {"wpa_passphrase", ""}, {"ssid", "y"}},
              "ssid=y\nwpa_passphrase=p\n"},
             {"newline refused", "ssid=a\n", {{"ssid", "x\nwpa_passphrase=injected"}}, "ssid=a\n"}}) {
        vt::writeFile(hostapd, c.before), chmod(hostapd.c_str(), 0640), modifyConf(hostapd, c.pairs);
        struct stat st {};
        EXPECT_EQ(stat(hostapd.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0640u) << c.name;
        EXPECT_EQ(vt::readFile(hostapd), c.after) << c.name;
        EXPECT_FALSE(vt::fileExists(hostapd + ".tmp")) << c.name;
    }
}

} // namespace
