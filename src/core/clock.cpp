#include "core/clock.h"

#include <poll.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>

#include "core/logging.h"
#include "core/sandbox.h"

namespace {

constexpr long shortWaitMs = 1000;

std::function<void(long)> g_sleepHook;
const std::atomic<int32_t>* g_quit = nullptr;
int g_stopFd = -1;

void sleepSlice(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// Waits up to ms, less once the stop descriptor turns readable or a signal arrives.
void stoppableSlice(long ms) {
    pollfd stop{g_stopFd, POLLIN, 0};
    poll(&stop, 1, static_cast<int>(ms));
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
    // A long retry wait is cut short once the daemon is stopping, in slices of at most 100 ms;
    // a short one (a servo pulse held for 200 ms) always runs to its end so that no pulse
    // reaches the flight controller cut to nothing.
    const bool interruptible = ms > shortWaitMs;
    while (ms > 0) {
        if (interruptible && g_quit && g_quit->load()) return;
        long slice = ms < 100 ? ms : 100;
        interruptible ? stoppableSlice(slice) : sleepSlice(slice);
        ms -= slice;
    }
}

void setSleepHook(std::function<void(long)> hook) {
    g_sleepHook = std::move(hook);
}

bool stopRequested() {
    return g_quit && g_quit->load();
}

void setSleepQuitFlag(const std::atomic<int32_t>* quit, int stopFd) {
    g_quit = quit;
    g_stopFd = stopFd;
}
