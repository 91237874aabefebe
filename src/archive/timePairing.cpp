#include "archive/timePairing.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace {

// How far apart in order a shot and its picture may be, beyond the difference of their counts.
constexpr size_t orderSlack = 16;

// Table cells worked out over all offsets tried before the times are called too ambiguous to pair
// (about a second on the board).
constexpr size_t offsetWork = 64u << 20;

// A stretch [from, to) of camera-clock offsets over which the same shot-picture pairs fit, and
// how many of those near each other in order fit there.
struct OffsetSpan {
    int64_t from, to;
    size_t fitting;
};

// The spans of offsets, most fitting pairs first. A picture of shot i fits offset d when its time
// is in (shot + d - resolution, shot + d + jitter], that is for d in [x - jitter, x + resolution)
// with x its time minus the shot's.
std::vector<OffsetSpan> offsetSpans(const std::vector<int64_t>& shotMs, const std::vector<int64_t>& fileMs,
                                    int64_t resolutionMs, int64_t jitterMs) {
    const size_t n = shotMs.size(), m = fileMs.size();
    const size_t band = (n > m ? n - m : m - n) + orderSlack;
    std::vector<std::pair<int64_t, int>> edges; // where a pair starts (+1) or stops (-1) fitting
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i > band ? i - band : 0; j < m && j <= i + band; ++j) {
            int64_t x = fileMs[j] - shotMs[i];
            edges.push_back({x - jitterMs, +1});
            edges.push_back({x + resolutionMs, -1});
        }
    std::sort(edges.begin(), edges.end());
    std::vector<OffsetSpan> spans;
    size_t fitting = 0;
    for (size_t k = 0; k < edges.size();) {
        const int64_t at = edges[k].first;
        for (; k < edges.size() && edges[k].first == at; ++k) fitting += static_cast<size_t>(edges[k].second);
        if (k < edges.size() && fitting > 0) spans.push_back({at, edges[k].first, fitting});
    }
    std::stable_sort(spans.begin(), spans.end(),
                     [](const OffsetSpan& a, const OffsetSpan& b) { return a.fitting > b.fitting; });
    return spans;
}

// Best-matching tables: F(i, j) the most matches among the first i shots and the first j pictures,
// B(i, j) among the shots from i and the pictures from j on.
class Matchings {
public:
    Matchings(size_t n, size_t m) : n_(n), m_(m), f_((n + 1) * (m + 1)), b_((n + 1) * (m + 1)) {}
    template <class Fits>
    void fill(const Fits& fits) {
        for (size_t i = 1; i <= n_; ++i)
            for (size_t j = 1; j <= m_; ++j)
                F(i, j) = std::max({F(i - 1, j), F(i, j - 1),
                                    static_cast<uint16_t>(F(i - 1, j - 1) + (fits(i - 1, j - 1) ? 1 : 0))});
        for (size_t i = n_; i-- > 0;)
            for (size_t j = m_; j-- > 0;)
                B(i, j) = std::max({B(i + 1, j), B(i, j + 1),
                                    static_cast<uint16_t>(B(i + 1, j + 1) + (fits(i, j) ? 1 : 0))});
    }
    uint16_t best() const { return f_[n_ * (m_ + 1) + m_]; }
    // Shot i with picture j is part of some best matching.
    bool inSome(size_t i, size_t j) const { return F(i, j) + 1 + B(i + 1, j + 1) == best(); }
    // Some best matching leaves shot i out.
    bool shotLeftOut(size_t i) const {
        for (size_t j = 0; j <= m_; ++j)
            if (F(i, j) + B(i + 1, j) == best()) return true;
        return false;
    }

private:
    uint16_t& F(size_t i, size_t j) { return f_[i * (m_ + 1) + j]; }
    uint16_t& B(size_t i, size_t j) { return b_[i * (m_ + 1) + j]; }
    uint16_t F(size_t i, size_t j) const { return f_[i * (m_ + 1) + j]; }
    uint16_t B(size_t i, size_t j) const { return b_[i * (m_ + 1) + j]; }
    size_t n_, m_;
    std::vector<uint16_t> f_, b_;
};


// What one offset makes of each shot and picture: pinned to one partner, left out by every best
// matching, or neither.
struct Reading {
    std::vector<int> fileOfShot; // pinned partner, -1 when none
    std::vector<bool> shotOut, fileOut;
};

Reading readAt(const Matchings& best, size_t n, size_t m, const std::function<bool(size_t, size_t)>& fits) {
    Reading r{std::vector<int>(n, -1), std::vector<bool>(n, true), std::vector<bool>(m, true)};
    for (size_t i = 0; i < n; ++i) {
        int partners = 0, partner = -1;
        for (size_t j = 0; j < m; ++j)
            if (fits(i, j) && best.inSome(i, j)) ++partners, partner = static_cast<int>(j), r.fileOut[j] = false;
        r.shotOut[i] = partners == 0;
        if (partners == 1 && !best.shotLeftOut(i)) r.fileOfShot[i] = partner;
    }
    return r;
}

} // namespace

TimePairing pairByTime(const std::vector<int64_t>& shotMs, const std::vector<int64_t>& fileMs,
                       int64_t resolutionMs, int64_t jitterMs) {
    const size_t n = shotMs.size(), m = fileMs.size();
    TimePairing out;
    out.shots.assign(n, Fate::Ambiguous);
    out.files.assign(m, Fate::Ambiguous);
    out.fileOfShot.assign(n, -1);
    out.residualMs.assign(n, 0);
    if (n == 0 || m == 0) { // nothing to pair with: every shot a miss, every picture an extra
        out.shots.assign(n, Fate::Unmatched);
        out.files.assign(m, Fate::Unmatched);
        return out;
    }
    if ((n + 1) * (m + 1) > timePairingMaxCells) return out;
    // The offsets whose best matchings are the largest: a span fitting fewer pairs than the
    // largest matching found cannot match more.
    Matchings best(n, m);
    std::vector<Reading> readings;
    size_t most = 0, work = 0;
    for (const OffsetSpan& span : offsetSpans(shotMs, fileMs, resolutionMs, jitterMs)) {
        if (span.fitting < most) break;
        if ((work += 2 * n * m) > offsetWork) return out; // too many offsets explain the times as well
        auto fits = [&](size_t i, size_t j) {
            int64_t x = fileMs[j] - shotMs[i];
            return x - jitterMs <= span.from && span.from < x + resolutionMs;
        };
        best.fill(fits);
        if (best.best() < most) continue;
        if (best.best() > most) readings.clear(), most = best.best(), out.offsetMs = (span.from + span.to) / 2;
        readings.push_back(readAt(best, n, m, fits));
    }
    // Only what every best reading agrees on stands.
    for (size_t i = 0; i < n; ++i) {
        auto same = [&](const Reading& r) { return r.fileOfShot[i] == readings[0].fileOfShot[i]; };
        auto out_ = [&](const Reading& r) { return r.shotOut[i]; };
        if (std::all_of(readings.begin(), readings.end(), out_)) out.shots[i] = Fate::Unmatched;
        else if (readings[0].fileOfShot[i] >= 0 && std::all_of(readings.begin(), readings.end(), same)) {
            size_t j = static_cast<size_t>(readings[0].fileOfShot[i]);
            out.shots[i] = out.files[j] = Fate::Paired;
            out.fileOfShot[i] = static_cast<int>(j);
            out.residualMs[i] = fileMs[j] - shotMs[i] - out.offsetMs;
        }
    }
    for (size_t j = 0; j < m; ++j)
        if (std::all_of(readings.begin(), readings.end(), [&](const Reading& r) { return r.fileOut[j]; }))
            out.files[j] = Fate::Unmatched;
    return out;
}
