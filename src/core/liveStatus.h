// What the daemon is doing now, for the field page: the flight phase the message handler saw, the
// camera type, the tagging pass in progress (or the last one) and the recent ground warnings.
// Each thread sets what it knows; the web server reads a copy. One small lock, held briefly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PassStatus {
    bool running = false;
    int processed = 0; // pairs tried so far, tagged or not
    int tagged = 0;
    int pairs = 0;
    int64_t updatedMs = 0; // daemon time of the last report, 0: no pass since the start
};

struct RecentWarning {
    int64_t timeMs; // the latest time the text was warned
    int repeats;    // times it was warned in a row
    std::string text;
};

struct LiveStatus {
    bool fcHeard = false; // a heartbeat of the flight controller arrived
    bool armed = false;
    bool active = false;  // the flight controller reports itself active: in flight
    int camType = 0;
    PassStatus pass;
    std::vector<RecentWarning> warnings; // oldest first, the newest few
    uint64_t revision = 0;               // changes whenever a pass ends or a warning is added
};

void setFlightPhase(bool armed, bool active);
void setLiveCamType(int camType);
// A pass's progress: processed (tagged or not) and tagged of its pairs so far; running false once
// the pass has ended.
void setPassProgress(int processed, int tagged, int pairs, bool running);
// Every warning meant for the ground, sent or not.
void noteWarning(const char* text);

LiveStatus liveStatus();
