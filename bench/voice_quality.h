// Speech and noise for judging the microphone's cleaning, made with espeak-ng and sox, and the
// measures the voice processing bench prints: levels, word coverage, segmental SNR, echo return
// loss enhancement, correlation.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lumo::bench {

using Samples = std::vector<std::int16_t>;
constexpr int Rate = 8000;
constexpr int Frame = 80;  // 10 ms

inline int ms(int milliseconds) { return milliseconds * Rate / 1000; }

// --- Making the inputs -----------------------------------------------------------------------

inline Samples readWavFile(const std::filesystem::path& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    Samples out(std::size_t(std::max<sf_count_t>(info.frames, 0)) * std::size_t(std::max(info.channels, 1)));
    out.resize(std::size_t(sf_read_short(file, out.data(), sf_count_t(out.size()))));
    sf_close(file);
    if (info.samplerate != Rate || info.channels != 1) return {};
    return out;
}

// Runs a shell command quietly; false when it fails.
inline bool shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

// `text` spoken by espeak-ng in `voice`, at 8 kHz.
inline Samples speak(const std::filesystem::path& dir, const std::string& name, const std::string& text,
                     const std::string& voice = "en")
{
    const auto raw = dir / (name + ".espeak.wav");
    const auto out = dir / (name + ".wav");
    if (!shell("espeak-ng -v " + voice + " -w " + quoted(raw) + " " + quoted(text)) ||
        !shell("sox -R " + quoted(raw) + " -r 8000 -c 1 -b 16 " + quoted(out)))
        return {};
    return readWavFile(out);
}

// sox's synthesiser: `effects` after "synth SECONDS".
inline Samples soxSynth(const std::filesystem::path& dir, const std::string& name, const std::string& effects)
{
    const auto out = dir / (name + ".wav");
    if (!shell("sox -R -n -r 8000 -c 1 -b 16 " + quoted(out) + " " + effects)) return {};
    return readWavFile(out);
}

// --- Levels ----------------------------------------------------------------------------------

inline double dbfs(double rms) { return 20 * std::log10(std::max(rms, 1e-3) / 32768.0); }

inline double frameRms(const Samples& s, std::size_t at, int count = Frame)
{
    double sum = 0;
    for (int i = 0; i < count && at + std::size_t(i) < s.size(); ++i) sum += double(s[at + i]) * s[at + i];
    return std::sqrt(sum / count);
}

// The active speech level: the RMS over the 10 ms frames within 30 dB of the loudest one.
inline double activeLevelDbfs(const Samples& s, std::size_t from = 0, std::size_t to = 0)
{
    if (!to) to = s.size();
    double loudest = 0;
    for (std::size_t at = from; at + Frame <= to; at += Frame) loudest = std::max(loudest, frameRms(s, at));
    double sum = 0;
    int n = 0;
    for (std::size_t at = from; at + Frame <= to; at += Frame) {
        const double r = frameRms(s, at);
        if (r > loudest * 0.0316) sum += r * r, ++n;
    }
    return n ? dbfs(std::sqrt(sum / n)) : -120;
}

// The speech's peak level: the magnitude that 0.1 % of the active samples reach, in dBFS.
inline double peakLevelDbfs(const Samples& s, std::size_t from = 0, std::size_t to = 0)
{
    if (!to) to = s.size();
    std::vector<int> magnitudes;
    for (std::size_t i = from; i < to && i < s.size(); ++i)
        if (s[i] != 0) magnitudes.push_back(std::abs(int(s[i])));
    if (magnitudes.empty()) return -120;
    std::sort(magnitudes.begin(), magnitudes.end());
    return dbfs(magnitudes[magnitudes.size() * 999 / 1000]);
}

inline Samples scaled(const Samples& s, double gain)
{
    Samples out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i)
        out[i] = std::int16_t(std::clamp(std::lround(s[i] * gain), -32768L, 32767L));
    return out;
}

inline Samples withActiveLevel(const Samples& s, double dbfsWanted)
{
    return scaled(s, std::pow(10, (dbfsWanted - activeLevelDbfs(s)) / 20));
}

inline Samples withPeakLevel(const Samples& s, double dbfsWanted)
{
    return scaled(s, std::pow(10, (dbfsWanted - peakLevelDbfs(s)) / 20));
}

// a + b, saturating; b is repeated to a's length.
inline Samples mixed(const Samples& a, const Samples& b, double gainB = 1)
{
    Samples out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double v = a[i] + (b.empty() ? 0.0 : gainB * b[i % b.size()]);
        out[i] = std::int16_t(std::clamp(std::lround(v), -32768L, 32767L));
    }
    return out;
}

// Noise at `snrDb` below the speech's active level: the factor for `noise` (its RMS overall).
inline double noiseGainFor(const Samples& speech, const Samples& noise, double snrDb)
{
    double sum = 0;
    for (auto v : noise) sum += double(v) * v;
    const double noiseRms = std::sqrt(sum / std::max<std::size_t>(noise.size(), 1));
    return std::pow(10, (activeLevelDbfs(speech) - snrDb) / 20) * 32768.0 / std::max(noiseRms, 1e-3);
}

// A microphone's own hiss, at `dbfsLevel` RMS.
inline Samples hiss(std::size_t count, double dbfsLevel, unsigned seed = 7)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0, std::pow(10, dbfsLevel / 20) * 32768.0);
    Samples out(count);
    for (auto& v : out) v = std::int16_t(std::clamp(std::lround(gauss(random)), -32768L, 32767L));
    return out;
}

// --- Measures --------------------------------------------------------------------------------

// Where a spoken word lies in a track: its first and last sample whose 2.5 ms neighbourhood is
// within 40 dB of the word's loudest.
struct Span {
    std::size_t begin = 0, end = 0;  // [begin, end)
};

inline Span speechSpan(const Samples& word, std::size_t offset)
{
    constexpr int Window = 20;
    double loudest = 0;
    for (std::size_t at = 0; at + Window <= word.size(); at += Window) loudest = std::max(loudest, frameRms(word, at, Window));
    Span span{word.size(), 0};
    for (std::size_t at = 0; at + Window <= word.size(); at += Window)
        if (frameRms(word, at, Window) > loudest * 0.01) {
            span.begin = std::min(span.begin, at);
            span.end = at + Window;
        }
    if (span.begin >= span.end) return {offset, offset};
    return {offset + span.begin, offset + span.end};
}

// The lag (0..maxLag samples) at which `out` best follows `in`: a processor's delay.
inline int delayOf(const Samples& in, const Samples& out, int maxLag = 240)
{
    int best = 0;
    double bestScore = -2;
    for (int lag = 0; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i + std::size_t(lag) < out.size() && i < in.size(); i += 2) {
            const double x = in[i], y = out[i + std::size_t(lag)];
            ab += x * y, aa += x * x, bb += y * y;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

// Pearson correlation of a with b shifted by lag over a's span [from, to), best lag in 0..maxLag.
inline double correlationOver(const Samples& a, const Samples& b, std::size_t from, std::size_t to, int maxLag)
{
    double best = -1;
    for (int lag = 0; lag <= maxLag; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = from; i < to && i + std::size_t(lag) < b.size(); ++i) {
            const double x = a[i], y = b[i + std::size_t(lag)];
            ab += x * y, aa += x * x, bb += y * y;
        }
        if (aa > 0 && bb > 0) best = std::max(best, ab / std::sqrt(aa * bb));
    }
    return best;
}

// How much of a word the gate lets through, at block level: `sent[k]` says whether block k
// (samples 480k..480k+479 of the processed stream, `delay` samples behind the input) went out.
struct WordCut {
    double onsetMs = 0, endMs = 0, holeMs = 0;
};

inline WordCut wordCut(const Span& word, const std::vector<bool>& sent, int delay)
{
    const std::size_t from = word.begin + std::size_t(delay), to = word.end + std::size_t(delay);
    auto isSent = [&](std::size_t sample) {
        const std::size_t block = sample / 480;
        return block < sent.size() && sent[block];
    };
    std::optional<std::size_t> first, last;
    std::size_t hole = 0, run = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (isSent(i)) {
            if (first && run) hole = std::max(hole, run);
            if (!first) first = i;
            last = i;
            run = 0;
        } else {
            ++run;
        }
    }
    const double toMs = 1000.0 / Rate;
    if (!first) return {double(to - from) * toMs, double(to - from) * toMs, 0};
    return {double(*first - from) * toMs, double(to - 1 - *last) * toMs, double(hole) * toMs};
}

// Segmental SNR after ITU-T G.160: the clean speech says which 10 ms frames hold speech and
// which hold noise only (no speech within 100 ms); the output's noise is its mean power over the
// noise-only frames (after the first `settle` samples), its speech the power above that in each
// speech frame. Frames clamped to -10..35 dB, as usual.
inline double segmentalSnrDb(const Samples& clean, const Samples& out, int delay, std::size_t settle)
{
    double loudest = 0;
    for (std::size_t at = 0; at + Frame <= clean.size(); at += Frame) loudest = std::max(loudest, frameRms(clean, at));
    std::vector<int> kind;  // 1 speech, 0 noise only, -1 neither
    for (std::size_t at = 0; at + Frame <= clean.size(); at += Frame) {
        const double r = frameRms(clean, at);
        kind.push_back(r > loudest * 0.0316 ? 1 : 2);
    }
    // Noise only: no clean sample at all within 100 ms.
    std::vector<int> quiet(kind.size(), 0);
    for (std::size_t f = 0; f < kind.size(); ++f) {
        bool silent = true;
        for (long g = long(f) - 10; g <= long(f) + 10 && silent; ++g)
            if (g >= 0 && std::size_t(g) < kind.size() && frameRms(clean, std::size_t(g) * Frame) > 0) silent = false;
        quiet[f] = silent;
    }
    double noise = 0;
    int noiseFrames = 0;
    for (std::size_t f = 0; f < kind.size(); ++f)
        if (quiet[f] && f * Frame >= settle && f * Frame + Frame + std::size_t(delay) <= out.size()) {
            const double r = frameRms(out, f * Frame + std::size_t(delay));
            noise += r * r, ++noiseFrames;
        }
    noise = std::max(noiseFrames ? noise / noiseFrames : 0.0, 1e-2);
    double sum = 0;
    int n = 0;
    for (std::size_t f = 0; f < kind.size(); ++f) {
        if (kind[f] != 1 || f * Frame + Frame + std::size_t(delay) > out.size()) continue;
        const double r = frameRms(out, f * Frame + std::size_t(delay));
        const double snr = 10 * std::log10(std::max(r * r - noise, 1e-9) / noise);
        sum += std::clamp(snr, -10.0, 35.0), ++n;
    }
    return n ? sum / n : 0;
}

// The classic waveform segmental SNR against the clean speech over its speech frames: each
// frame's clean power over the power of (clean - g * output), g the least-squares gain over the
// whole signal, clamped to -10..35 dB.
inline double waveformSegmentalSnrDb(const Samples& clean, const Samples& out, int delay)
{
    double ab = 0, bb = 0, loudest = 0;
    for (std::size_t i = 0; i < clean.size() && i + std::size_t(delay) < out.size(); ++i) {
        ab += double(clean[i]) * out[i + std::size_t(delay)];
        bb += double(out[i + std::size_t(delay)]) * out[i + std::size_t(delay)];
    }
    const double g = bb > 0 ? ab / bb : 0;
    for (std::size_t at = 0; at + Frame <= clean.size(); at += Frame) loudest = std::max(loudest, frameRms(clean, at));
    double sum = 0;
    int n = 0;
    for (std::size_t at = 0; at + Frame <= clean.size() && at + Frame + std::size_t(delay) <= out.size(); at += Frame) {
        if (frameRms(clean, at) <= loudest * 0.0316) continue;
        double signal = 0, error = 0;
        for (int k = 0; k < Frame; ++k) {
            const double c = clean[at + std::size_t(k)];
            const double d = c - g * out[at + std::size_t(k) + std::size_t(delay)];
            signal += c * c, error += d * d;
        }
        sum += std::clamp(10 * std::log10(signal / std::max(error, 1e-9)), -10.0, 35.0), ++n;
    }
    return n ? sum / n : 0;
}

// Echo return loss enhancement over [from, to): the echo's power in the microphone over what is
// left of it in the output.
inline double erleDb(const Samples& echo, const Samples& out, std::size_t from, std::size_t to, int delay)
{
    double e = 0, o = 0;
    for (std::size_t i = from; i < to && i + std::size_t(delay) < out.size(); ++i) {
        e += double(echo[i]) * echo[i];
        o += double(out[i + std::size_t(delay)]) * out[i + std::size_t(delay)];
    }
    return 10 * std::log10(std::max(e, 1.0) / std::max(o, 1.0));
}

}  // namespace lumo::bench
