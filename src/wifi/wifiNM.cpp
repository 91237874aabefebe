#include "wifi/wifiNM.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/clock.h"
#include "core/logging.h"
#include "core/shell.h"

namespace {

// The NetworkManager connection that makes the access point.
const char hotspot[] = "halvex-hotspot";

struct Pclose {
    void operator()(FILE* f) const { pclose(f); }
};

// The active connection is not taken down before this wait: "nmcli connection up" and
// "nmcli dev wifi con" replace whatever the device runs, and the name read from the status
// table still carries the rest of its line.
void waitIfConnected(char* name, size_t nameSize) {
    if (getWifiStatusNM(name, nameSize)) sleepMs(5000);
}

} // namespace

int split(char* line, char delimiter, std::vector<char*>& tokens) {
    tokens.clear();
    char* p = line;
    while (*p == delimiter) ++p;
    size_t count = 1;
    for (const char* q = p; *q; ++q)
        if (*q == delimiter && q[1] != delimiter && q[1] != '\0') ++count;
    tokens.reserve(count);
    while (tokens.size() < count) {
        tokens.push_back(p);
        while (*p && *p != delimiter) ++p;
        if (*p) *p++ = '\0';
        while (*p == delimiter) ++p;
    }
    return static_cast<int>(count);
}

int getWifiStatusNM(char* name, size_t nameSize) {
    int status = 0;
    std::unique_ptr<FILE, Pclose> out(popen("nmcli device status", "re"));
    if (!out) {
        logPrintf("vorn-camera wifiThread getWifiStatusNM could not run nmcli: %s\n", strerror(errno));
        return 0;
    }
    char line[128];
    std::vector<char*> tokens;
    while (fgets(line, sizeof line, out.get())) {
        if (split(line, ' ', tokens) != 4 || strcmp(tokens[1], "wifi") != 0) continue;
        snprintf(name, nameSize, "%s", tokens[3]);
        if (strcmp(tokens[2], "connected") == 0) status = 1;
    }
    return status;
}

void changeWifiConfNM(const char* ssid, const char* password) {
    // Both texts come from the ground: quoted so that every character reaches nmcli as is.
    if (*ssid) {
        logPrintf("vorn-camera wifiThread changeWifiConfNM: ssid=%s\n", ssid);
        runShell(std::string("nmcli connection modify  ") + hotspot + " 802-11-wireless.ssid " +
                 shellQuote(ssid));
        sleepMs(4000);
    }
    if (*password) {
        logPrintf("vorn-camera wifiThread changeWifiConfNM: pass=%s\n", password);
        runShell(std::string("nmcli connection modify ") + hotspot +
                 " 802-11-wireless-security.key-mgmt wpa-psk 802-11-wireless-security.psk " +
                 shellQuote(password));
        sleepMs(4000);
    }
}

void startAccessPointNM(const char* ssid, const char* password) {
    char name[128] = {};
    waitIfConnected(name, sizeof name);
    changeWifiConfNM(ssid, password);
    logPrintf("vorn-camera wifiThread startAccessPointNM %s\n", ssid);
    runShell("nmcli connection up " + shellQuote(hotspot));
}

void startClientModeNM(const char* ssid, const char* password) {
    char name[64] = {};
    waitIfConnected(name, sizeof name);
    if (!*ssid || !*password) return;
    logPrintf("vorn-camera wifiThread startClient %s\n", ssid);
    runShell("nmcli dev wifi con " + shellQuote(ssid) + " password " + shellQuote(password));
}
