// Time helpers shared across the daemon.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

// Wall-clock time in milliseconds since the Unix epoch.
int64_t current_timestamp();

// Sets the system clock from a Unix time in microseconds. In a sandbox (VORN_ROOT set) the
// clock is left alone and the time that would have been set is logged.
void time_change(uint64_t unixMicros);

// Every wait of a retry loop goes through here. The daemon waits for real, waking early once
// the stop flag is set (at once when stopFd, the stop pipe's read end, turns readable); a unit
// test may replace the wait, e.g. to record the requested times.
void sleepMs(long ms);
void setSleepHook(std::function<void(long)> hook); // empty function restores real waiting
void setSleepQuitFlag(const std::atomic<int32_t>* quit, int stopFd = -1);

// True once the daemon is stopping (the flag given to setSleepQuitFlag is set): long work such as
// a tagging pass ends at its next safe point.
bool stopRequested();
