// Finding heard speech in the talk it came from, to the sample, when the listener may have played
// records faster or slower (time-scaled, pitch kept): the voice tests' judge and the playout
// bench's explainer both read a speaker file with it.
//
// A time-scaler takes out or puts in whole pitch periods, so a time-scaled record is the talk cut
// and joined again: a 10 ms period of it is either a stretch of the talk (found whole, near where
// the stream leads) or straddles a join, and then each half is a stretch of the talk, the second
// no more than a pitch period from where the first leads.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace lumo::test {

// The most a time-scaler moves the talk at one join (a pitch period is under 124 samples at
// 8 kHz): heard speech that goes back further than this over what was already heard is a repeat.
constexpr long MaxPitchBack = 160;
constexpr int SpeakerPeriod = 80;  // samples in one 10 ms period of a speaker file

inline double correlate(const std::int16_t* a, const std::int16_t* b, int n)
{
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < n; ++i) ab += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// The best correlation of heard[0, n) with the talk at any start in [from, to] that `usable(start,
// n)` allows; its start in *at (left alone when nothing is usable).
template <class Usable>
double bestNear(const std::vector<std::int16_t>& talk, const std::int16_t* heard, int n, long from, long to, Usable usable, long* at)
{
    double best = 0;
    for (long start = from; start <= to; ++start)
        if (start >= 0 && std::size_t(start) + std::size_t(n) <= talk.size() && usable(start, n)) {
            const double c = correlate(heard, talk.data() + start, n);
            if (c > best) best = c, *at = start;
        }
    return best;
}

// One heard period where the stream leads to `predicted` in the talk: whole within `reach` of it
// at `wholeThreshold`, or else as a join, half by half at `halfThreshold`. Returns where in the
// talk it starts (-1 when neither), and sets *joined for a join.
template <class Usable>
long matchScaledPeriod(const std::vector<std::int16_t>& talk, const std::int16_t* heard, long predicted, Usable usable,
                       bool* joined, long reach = 200, double wholeThreshold = 0.75, double halfThreshold = 0.9)
{
    constexpr int P = SpeakerPeriod;
    *joined = false;
    long at = -1;
    if (bestNear(talk, heard, P, predicted - reach, predicted + reach, usable, &at) >= wholeThreshold) return at;
    long first = -1, second = -1;
    if (bestNear(talk, heard, P / 2, predicted - reach, predicted + reach, usable, &first) < halfThreshold) return -1;
    if (bestNear(talk, heard + P / 2, P / 2, first + P / 2 - MaxPitchBack, first + P / 2 + MaxPitchBack, usable, &second) < halfThreshold)
        return -1;
    *joined = true;
    return first;
}

// Watches where heard periods lie in the talk: a stretch heard again is a repeat once three
// periods in a row go on in step (each half a period at most from where the one before leads)
// from a place more than a pitch period behind the furthest heard, as a record played again
// would; a period or two that sound like something said before are none, nor is the erasure
// output after a record, which repeats its last pitch periods and so stays in place.
class RepeatWatch {
public:
    // A period heard `periodsSince` periods after the previous found one, found at `at` in the
    // talk. True when it completes (or continues) a repeat.
    bool note(long at, long periodsSince)
    {
        const bool back = furthest_ >= 0 && at + SpeakerPeriod <= furthest_ - MaxPitchBack;
        const bool goesOn = backRun_ > 0 && std::abs(at - (last_ + periodsSince * SpeakerPeriod)) <= SpeakerPeriod / 2;
        backRun_ = back ? (goesOn ? backRun_ + 1 : 1) : 0;
        furthest_ = std::max(furthest_, at + SpeakerPeriod);
        last_ = at;
        return backRun_ >= 3;
    }
    long furthest() const { return furthest_; }

private:
    long furthest_ = -1, last_ = -1;
    int backRun_ = 0;
};

}  // namespace lumo::test
