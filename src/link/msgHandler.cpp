#include "link/msgHandler.h"

#include "core/clock.h"
#include "core/logging.h"

// Not built yet: announces itself and waits for the stop flag.
void msgHandlerThread(AppContext* ctx) {
    logPuts("vorn-camera msgHandler started...");
    while (!ctx->quit) sleepMs(1000);
}
