#include "camera/cameraThread.h"

#include "core/clock.h"
#include "core/logging.h"

// Not built yet: announces itself and waits for the stop flag.
void cameraThread(AppContext* ctx) {
    logPuts("vorn-camera cameraThread started...");
    while (!ctx->quit) sleepMs(1000);
}
