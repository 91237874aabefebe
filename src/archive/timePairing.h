// Pairing of a flight's shots with its pictures by their times, for a camera that missed or added
// pictures. The camera's clock is not the aircraft's: the offset between them is the one most
// shot and picture times agree on. Shots and pictures are then matched one to one, in order, each
// match within the allowance (the picture time's resolution and the camera's write jitter). Only
// what every best matching agrees on is paired: where the times cannot tell which shot a picture
// belongs to, its shots and pictures are left ambiguous, never guessed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class Fate {
    Paired,    // with the one picture (shot) every best matching gives it
    Unmatched, // a shot without a picture (a miss), a picture without a shot (an extra)
    Ambiguous, // the times allow more than one partner, or none
};

struct TimePairing {
    int64_t offsetMs = 0;          // the camera's clock minus the aircraft's (0 when none was found)
    std::vector<Fate> shots;       // per shot
    std::vector<Fate> files;       // per picture
    std::vector<int> fileOfShot;   // per shot: the picture's index when paired, else -1
    std::vector<int64_t> residualMs; // per shot: picture time - shot time - offset when paired
};

// The largest shots x pictures table pairing works on (2 bytes a cell, two tables); a flight
// beyond it is not paired by time.
inline constexpr size_t timePairingMaxCells = 4u << 20;

// shotMs: the shots' times in the order they were taken; fileMs: the pictures' times (camera
// clock) in the order they were taken; a picture taken at t shows a time in
// (t - resolutionMs, t + jitterMs].
TimePairing pairByTime(const std::vector<int64_t>& shotMs, const std::vector<int64_t>& fileMs,
                       int64_t resolutionMs, int64_t jitterMs);
