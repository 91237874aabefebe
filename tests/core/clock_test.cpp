#include "core/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

namespace {

long elapsedMs(long requested) {
    auto start = std::chrono::steady_clock::now();
    sleepMs(requested);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

} // namespace

TEST(SleepMs, StoppingCutsRetryWaitsShortButNeverAServoPulse) {
    std::atomic<int32_t> quit{1};
    setSleepQuitFlag(&quit);
    EXPECT_GE(elapsedMs(200), 200);   // a pulse is held for its whole length
    EXPECT_LT(elapsedMs(10000), 5000); // a 10 s retry wait is not
    setSleepQuitFlag(nullptr);
}

TEST(SleepMs, AHookReplacesTheWait) {
    std::vector<long> asked;
    setSleepHook([&](long ms) { asked.push_back(ms); });
    EXPECT_LT(elapsedMs(60000), 1000);
    setSleepHook({});
    EXPECT_EQ(asked, std::vector<long>{60000});
}

TEST(Clock, TimestampIsMillisecondsSinceTheEpoch) {
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    EXPECT_NEAR(static_cast<double>(current_timestamp()), static_cast<double>(now), 1000.0);
}
