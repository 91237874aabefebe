#include "link/serialIO.h"

#include "core/clock.h"
#include "core/logging.h"

// Not built yet: announces itself and waits for the stop flag.
void serialIOThread(AppContext* ctx) {
    logPuts("vorn-camera serialIO started...");
    while (!ctx->quit) sleepMs(1000);
}
