#include "core/clock.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>

#include "core/logging.h"
#include "core/sandbox.h"

namespace {

std::function<void(long)> g_sleepHook;
const std::atomic<int32_t>* g_quit = nullptr;

void sleepSlice(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

} // namespace

int64_t current_timestamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void time_change(uint64_t unixMicros) {
    usleep(1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(unixMicros / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(unixMicros % 1000000);
    if (sandboxActive()) {
        logPrintf("vorn-camera time_change sandbox: clock left alone, would set %lld.%06ld\n",
                  static_cast<long long>(tv.tv_sec), static_cast<long>(tv.tv_usec));
        return;
    }
    settimeofday(&tv, nullptr);
}

void sleepMs(long ms) {
    if (g_sleepHook) {
        g_sleepHook(ms);
        return;
    }
    // Slices of at most 100 ms so a stopping daemon is not held up by a long retry wait.
    while (ms > 0) {
        if (g_quit && g_quit->load()) return;
        long slice = ms < 100 ? ms : 100;
        sleepSlice(slice);
        ms -= slice;
    }
}

void setSleepHook(std::function<void(long)> hook) {
    g_sleepHook = std::move(hook);
}

void setSleepQuitFlag(const std::atomic<int32_t>* quit) {
    g_quit = quit;
}
