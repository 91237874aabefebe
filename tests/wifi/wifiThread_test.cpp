#include "wifi/wifiThread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "wifi/wifiTestSupport.h"

namespace {

using Calls = std::vector<std::string>;

const char hostapdText[] = "interface=wlan0\nssid=halvex\nwpa_passphrase=groundcrew\n";
const char supplicantText[] = "network={\n\tssid=\"office\"\n\tpsk=\"officepw\"\n}\n";

// The WiFi thread running in this process on a real wifiPipe, with stub nmcli/systemctl,
// configuration files under a sandbox root and the waits recorded instead of slept.
class WifiThread : public ::testing::Test {
protected:
    vt::TempDir root;
    WifiStubs s;
    AppContext ctx;
    std::thread thread;
    std::mutex sleepLock;
    std::vector<long> sleeps;
    std::string hostapd = root / "etc/hostapd/hostapd.conf";
    std::string supplicant = root / "etc/wpa_supplicant/wpa_supplicant.conf";

    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        vt::makeDirs(root / "etc/hostapd");
        vt::makeDirs(root / "etc/wpa_supplicant");
        vt::writeFile(hostapd, hostapdText);
        vt::writeFile(supplicant, supplicantText);
        s.setStatus("DEVICE  TYPE  STATE  CONNECTION\nwlan0  wifi  disconnected  --\n");
        setSleepHook([this](long ms) {
            std::lock_guard<std::mutex> g(sleepLock);
            sleeps.push_back(ms);
        });
        ASSERT_EQ(pipe(ctx.wifiPipe), 0);
    }

    void TearDown() override {
        stop();
        if (ctx.wifiPipe[0] >= 0) close(ctx.wifiPipe[0]);
        setSleepHook({});
        unsetenv("VORN_ROOT");
        sandboxInit();
    }

    void start(int32_t wifiMode) {
        ctx.wifiMode = wifiMode;
        thread = std::thread(wifiThread, &ctx);
    }

    void send(uint8_t mode, const char* ssid = "", const char* password = "") {
        WifiRequest req{};
        req.mode = mode;
        std::strncpy(req.ssid, ssid, 32);
        std::strncpy(req.password, password, 32);
        ASSERT_EQ(pipeWrite(ctx.wifiPipe[1], sizeof req, &req), 1);
    }

    // Waits for the given number of stub calls, then ends the thread: a request always runs
    // to its end before the stop flag is looked at, so nothing can follow unseen.
    Calls finish(size_t expectedCalls) {
        EXPECT_TRUE(vt::waitUntil([&] { return s.stubs.calls().size() >= expectedCalls; }));
        stop();
        return s.stubs.calls();
    }

    void stop() {
        if (!thread.joinable()) return;
        ctx.quit = 1;
        close(ctx.wifiPipe[1]); // wakes the wait at once
        ctx.wifiPipe[1] = -1;
        thread.join();
    }

    std::vector<long> recordedSleeps() {
        std::lock_guard<std::mutex> g(sleepLock);
        return sleeps;
    }
};

ino_t inode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

} // namespace

TEST_F(WifiThread, FileBackEndOffStopsBothServicesAndRunsNoNmcli) {
    start(2);
    send(9, "ignored", "ignored"); // unknown mode: read and ignored, the stream stays in step
    send(WIFI_OFF);
    EXPECT_EQ(finish(2), (Calls{"systemctl stop wpa_supplicant", "systemctl stop hostapd"}));
    EXPECT_TRUE(recordedSleeps().empty());
}

TEST_F(WifiThread, FileBackEndAccessPointWithEmptyTextsLeavesBothFilesUntouched) {
    ino_t hostapdInode = inode(hostapd), supplicantInode = inode(supplicant);
    start(2);
    send(WIFI_ACCESS_POINT);
    EXPECT_EQ(finish(3), (Calls{"nmcli radio wifi on", "systemctl stop wpa_supplicant",
                                "systemctl start hostapd"}));
    EXPECT_EQ(recordedSleeps(), std::vector<long>{2000});
    EXPECT_EQ(vt::readFile(hostapd), hostapdText);
    EXPECT_EQ(vt::readFile(supplicant), supplicantText);
    EXPECT_EQ(inode(hostapd), hostapdInode);
    EXPECT_EQ(inode(supplicant), supplicantInode);
}

TEST_F(WifiThread, FileBackEndModesRewriteTheirOwnFileUnderTheRoot) {
    start(2);
    send(WIFI_ACCESS_POINT, "Field AP", "a'b\"c$(touch pwned)");
    send(WIFI_CLIENT, "\"depot\"", "");
    EXPECT_EQ(finish(6), (Calls{"nmcli radio wifi on", "systemctl stop wpa_supplicant",
                                "systemctl start hostapd", "nmcli radio wifi on",
                                "systemctl stop hostapd", "systemctl start wpa_supplicant"}));
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{2000, 2000}));
    EXPECT_EQ(vt::readFile(hostapd), "interface=wlan0\nssid=Field AP\nwpa_passphrase=a'b\"c$(touch pwned)\n");
    EXPECT_EQ(vt::readFile(supplicant), "network={\n\tssid=\"depot\"\n\tpsk=\"officepw\"\n}\n");
}

TEST_F(WifiThread, NetworkManagerClientWithoutPassphraseOnlyQueriesTheStatus) {
    s.setStatus("DEVICE  TYPE  STATE  CONNECTION\nwlan0  wifi  connected  halvex-hotspot\n");
    start(1);
    send(WIFI_CLIENT, "depot", "");
    EXPECT_EQ(finish(2), (Calls{"nmcli radio wifi on", "nmcli device status"}));
    EXPECT_EQ(recordedSleeps(), std::vector<long>{5000});
}

TEST_F(WifiThread, NetworkManagerModesRunTheirCommandsInOrder) {
    start(1);
    send(WIFI_ACCESS_POINT, "Field AP", "groundcrew");
    send(WIFI_CLIENT, "depot", "depotpw");
    // A frame holding only the mode must not reuse the texts of the request before it.
    uint8_t modeOnly = WIFI_CLIENT;
    ASSERT_EQ(pipeWrite(ctx.wifiPipe[1], 1, &modeOnly), 1);
    send(WIFI_OFF);
    EXPECT_EQ(finish(11), (Calls{
        "nmcli radio wifi on", "nmcli device status",
        "nmcli connection modify halvex-hotspot 802-11-wireless.ssid Field AP",
        "nmcli connection modify halvex-hotspot 802-11-wireless-security.key-mgmt wpa-psk "
        "802-11-wireless-security.psk groundcrew",
        "nmcli connection up halvex-hotspot",
        "nmcli radio wifi on", "nmcli device status", "nmcli dev wifi con depot password depotpw",
        "nmcli radio wifi on", "nmcli device status",
        "nmcli radio wifi off"}));
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{4000, 4000}));
}

TEST_F(WifiThread, HostileTextsReachNmcliLiterallyAndRunNothing) {
    char oldCwd[4096];
    ASSERT_TRUE(getcwd(oldCwd, sizeof oldCwd));
    vt::TempDir work;
    ASSERT_EQ(chdir(work.path().c_str()), 0);
    const char ssid[] = "a'b\"c$(touch pwned)";
    const char pass[] = "'`touch pwned`\"; touch pwned #";
    start(1);
    send(WIFI_ACCESS_POINT, ssid, pass);
    send(WIFI_CLIENT, ssid, pass);
    finish(8);
    ASSERT_EQ(chdir(oldCwd), 0);
    std::string s1 = std::string("[") + ssid + "]", p1 = std::string("[") + pass + "]";
    EXPECT_EQ(s.exact(), "[radio][wifi][on]\n[device][status]\n"
                         "[connection][modify][halvex-hotspot][802-11-wireless.ssid]" + s1 + "\n"
                         "[connection][modify][halvex-hotspot][802-11-wireless-security.key-mgmt][wpa-psk]"
                         "[802-11-wireless-security.psk]" + p1 + "\n"
                         "[connection][up][halvex-hotspot]\n"
                         "[radio][wifi][on]\n[device][status]\n"
                         "[dev][wifi][con]" + s1 + "[password]" + p1 + "\n");
    EXPECT_FALSE(vt::fileExists(work / "pwned"));
}
