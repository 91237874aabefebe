#include "core/liveStatus.h"

#include <mutex>

#include "core/clock.h"

namespace {

constexpr size_t kWarningsKept = 40;

std::mutex g_lock;
LiveStatus g_status;

} // namespace

void setFlightPhase(bool armed, bool active) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_status.fcHeard = true;
    g_status.armed = armed;
    g_status.active = active;
}

void setLiveCamType(int camType) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_status.camType = camType;
}

void setPassProgress(int processed, int tagged, int pairs, bool running) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_status.pass = {running, processed, tagged, pairs, current_timestamp()};
    if (!running) ++g_status.revision;
}

void noteWarning(const char* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<RecentWarning>& kept = g_status.warnings;
    const int64_t now = current_timestamp();
    if (!kept.empty() && kept.back().text == text) {
        kept.back().timeMs = now, ++kept.back().repeats;
    } else {
        if (kept.size() == kWarningsKept) kept.erase(kept.begin());
        kept.push_back({now, 1, text});
    }
    ++g_status.revision;
}

LiveStatus liveStatus() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_status;
}
