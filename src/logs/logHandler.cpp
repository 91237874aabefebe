#include "logs/logHandler.h"

#include "core/clock.h"
#include "core/logging.h"

// Not built yet: announces itself and waits for the stop flag.
void logHandlerThread(AppContext* ctx) {
    logPuts("vorn-camera logHandlerThread started...");
    while (!ctx->quit) sleepMs(1000);
}
