#include "wifi/wifiThread.h"

#include "core/clock.h"
#include "core/logging.h"

// Not built yet: announces itself and waits for the stop flag.
void wifiThread(AppContext* ctx) {
    logPuts("vorn-camera wifiThread started...");
    while (!ctx->quit) sleepMs(1000);
}
