#include "wifi/wifiThread.h"

#include <cstring>

#include "core/logging.h"
#include "core/pipes.h"
#include "core/shell.h"
#include "core/stop.h"
#include "wifi/wifiConf.h"
#include "wifi/wifiNM.h"

namespace {

void carryOut(const WifiRequest& req, int32_t wifiMode) {
    bool nm = wifiMode == 1;
    switch (req.mode) {
    case WIFI_ACCESS_POINT:
        runShell("nmcli radio wifi on");
        nm ? startAccessPointNM(req.ssid, req.password) : startAccessPointF(req.ssid, req.password);
        break;
    case WIFI_CLIENT:
        runShell("nmcli radio wifi on");
        nm ? startClientModeNM(req.ssid, req.password) : startClientModeF(req.ssid, req.password);
        break;
    case WIFI_OFF:
        if (nm) {
            runShell("nmcli radio wifi off");
        } else {
            runShell("systemctl stop wpa_supplicant");
            runShell("systemctl stop hostapd");
        }
        break;
    default:
        logPrintf("vorn-camera wifiThread ignored a request with unknown mode %d\n", req.mode);
    }
}

} // namespace

void wifiThread(AppContext* ctx) {
    if (!ctx) return;
    logPuts("vorn-camera wifiThread started...");
    WifiRequest req;
    while (!ctx->quit) {
        if (!waitReadable(ctx, ctx->wifiPipe[0], 5000)) continue;
        // Cleared for every frame so a short one never carries texts of the one before.
        std::memset(&req, 0, sizeof req);
        if (!pipeRead(ctx->wifiPipe[0], &req, sizeof req)) continue;
        req.ssid[sizeof req.ssid - 1] = '\0';
        req.password[sizeof req.password - 1] = '\0';
        carryOut(req, ctx->wifiMode);
    }
}
