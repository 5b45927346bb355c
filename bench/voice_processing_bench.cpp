// What the microphone sends: each processing step of the capture side on and off, on inputs the
// bench makes itself (words spoken by espeak-ng, fan- and keyboard-like noise from sox, an echo
// of speech played by LUMO), measured against the goals, for the library LUMO uses
// (webrtc-audio-processing) and the one it was weighed against (speexdsp) through the same chain
// of steps as VoiceCapture: clean, measure, gate, encode.
//
//   voice_processing_bench [--rounds N]   (N: CPU measuring rounds, default 15)
//
// Nothing is asserted; every figure is printed with its goal.
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <sys/resource.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/voice/sound_choices.h"
#include "core/voice/speech_gate.h"
#include "core/voice/voice_codec.h"
#include "voice/voice_capture.h"
#include "voice/voice_processor.h"
#include "voice_quality.h"

// Every allocation made on a thread that asks for it is counted: the capture path must make
// none. Replacing malloc this way is glibc's documented way; sanitizer builds replace it
// themselves, so they count nothing here.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LUMO_COUNT_ALLOCATIONS 1
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}
namespace {
thread_local bool countingAllocations = false;
std::atomic<long> allocationsCounted{0};
}  // namespace
extern "C" void* malloc(std::size_t size)
{
    if (countingAllocations) ++allocationsCounted;
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size)
{
    if (countingAllocations) ++allocationsCounted;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size)
{
    if (countingAllocations) ++allocationsCounted;
    return __libc_realloc(pointer, size);
}
extern "C" void free(void* pointer) { __libc_free(pointer); }
#endif

namespace {

using namespace lumo;
using namespace lumo::bench;

// --- The two libraries behind one face ---------------------------------------------------------

class Engine {
public:
    virtual ~Engine() = default;
    // Cleans a 60 ms block in place against the far end; returns the frames heard as speech.
    virtual int process(std::int16_t* block, const std::int16_t* farEnd, const VoiceProcessingChoice& choice) = 0;
};

class WebRtcEngine final : public Engine {
public:
    int process(std::int16_t* block, const std::int16_t* farEnd, const VoiceProcessingChoice& choice) override
    {
        return processor_.process(block, farEnd, choice).voicedFrames;
    }

private:
    VoiceProcessor processor_;
};

// speexdsp set up as alike as it goes: its preprocessor (noise suppression, gain control towards
// the same peak level, voice detection) and its echo canceller with a 128 ms filter, the same
// length as WebRTC's extended filter, run only while the far end plays, as ours is.
class SpeexEngine final : public Engine {
public:
    SpeexEngine()
        : pre_(speex_preprocess_state_init(VoiceProcessor::FrameSamples, Rate)),
          echo_(speex_echo_state_init(VoiceProcessor::FrameSamples, ms(128)))
    {
        int rate = Rate;
        speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        float level = 7000;  // the RMS its gain control aims at: peaks near -9 dBFS
        speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    }
    ~SpeexEngine() override
    {
        speex_preprocess_state_destroy(pre_);
        speex_echo_state_destroy(echo_);
    }
    int process(std::int16_t* block, const std::int16_t* farEnd, const VoiceProcessingChoice& choice) override
    {
        int on = 1, off = 0;
        speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_DENOISE, choice.noiseSuppression ? &on : &off);
        speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_AGC, choice.gainControl ? &on : &off);
        if (choice.voiceDetection != vad_) {
            // Its voice detection prints a warning each time it is switched on.
            vad_ = choice.voiceDetection;
            speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_VAD, vad_ ? &on : &off);
        }
        int voiced = 0;
        for (int f = 0; f < VoiceProcessor::BlockFrames; ++f) {
            std::int16_t* near = block + f * VoiceProcessor::FrameSamples;
            const std::int16_t* far = farEnd + f * VoiceProcessor::FrameSamples;
            bool audible = false;
            for (int i = 0; i < VoiceProcessor::FrameSamples; ++i) audible = audible || std::abs(int(far[i])) > VoiceProcessor::FarEndFloor;
            farSilent_ = audible ? 0 : std::min(farSilent_ + 1, VoiceProcessor::EchoTailFrames);
            const bool echo = choice.echoCancellation && farSilent_ < VoiceProcessor::EchoTailFrames;
            if (echo) {
                std::array<std::int16_t, VoiceProcessor::FrameSamples> out;
                speex_echo_cancellation(echo_, near, far, out.data());
                std::memcpy(near, out.data(), sizeof out);
            }
            speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo ? echo_ : nullptr);
            if (echo || choice.noiseSuppression || choice.gainControl || choice.voiceDetection)
                voiced += speex_preprocess_run(pre_, near) && choice.voiceDetection ? 1 : 0;
        }
        return voiced;
    }

private:
    SpeexPreprocessState* pre_;
    SpeexEchoState* echo_;
    int farSilent_ = VoiceProcessor::EchoTailFrames;
    bool vad_ = false;
};

using EngineMaker = std::function<std::unique_ptr<Engine>()>;
struct Library {
    const char* name;
    EngineMaker make;
};
const std::vector<Library>& libraries()
{
    static const std::vector<Library> all{
        {"webrtc", [] { return std::unique_ptr<Engine>(new WebRtcEngine); }},
        {"speexdsp", [] { return std::unique_ptr<Engine>(new SpeexEngine); }},
    };
    return all;
}

// --- The capture chain, as VoiceCapture::OnBlock runs it ----------------------------------------

struct ChainRun {
    Samples cleaned;          // every block after cleaning, before the gate
    std::vector<bool> sent;   // which blocks the gate let through
    int delay = 0;            // how far the cleaning delays the input, in samples
};

ChainRun runChain(Engine& engine, const Samples& mic, const Samples& far, const VoiceProcessingChoice& choice,
                  SpeechGate::Timing timing = {})
{
    ChainRun run;
    SpeechGate gate(timing);
    const std::size_t blocks = (mic.size() + BlockSamples - 1) / BlockSamples;
    run.sent.assign(blocks, false);
    std::array<std::int16_t, BlockSamples> block, farBlock;
    for (std::size_t k = 0; k < blocks; ++k) {
        for (int i = 0; i < BlockSamples; ++i) {
            const std::size_t at = k * BlockSamples + std::size_t(i);
            block[std::size_t(i)] = at < mic.size() ? mic[at] : 0;
            farBlock[std::size_t(i)] = at < far.size() ? far[at] : 0;
        }
        const int voiced = engine.process(block.data(), farBlock.data(), choice);
        const int level = gateLevel(reinterpret_cast<const std::uint8_t*>(block.data()), BlockBytes);
        const int count = gate.next(level, voiced >= VoiceCapture::VoicedFramesForSpeech, DefaultQuietLimit,
                                    choice.voiceDetection);
        for (int j = 0; j < count && std::size_t(j) <= k; ++j) run.sent[k - std::size_t(j)] = true;
        run.cleaned.insert(run.cleaned.end(), block.begin(), block.end());
    }
    return run;
}

// Every block through one encoder and decoder, or only the sent ones (silence for the others),
// as a listener decodes them.
Samples decoded(const Samples& cleaned, const std::vector<bool>* sent = nullptr)
{
    VoiceCodec codec;
    Samples out(cleaned.size(), 0);
    std::array<std::uint8_t, CodedBlockSize> coded;
    for (std::size_t k = 0; (k + 1) * BlockSamples <= cleaned.size(); ++k) {
        if (sent && !(*sent)[k]) continue;
        codec.Encode(cleaned.data() + k * BlockSamples, BlockBytes, coded.data(), nullptr);
        codec.Decode(coded.data(), CodedBlockSize, out.data() + k * BlockSamples, nullptr);
    }
    return out;
}

VoiceProcessingChoice steps(bool noise, bool gain, bool echo, bool voice)
{
    return {noise, gain, echo, voice};
}

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

// --- Inputs ---------------------------------------------------------------------------------

struct Inputs {
    std::vector<std::string> wordNames;
    Samples talk;             // the words with pauses, clean, at -26 dBFS active level
    std::vector<Span> words;  // where they lie in `talk`
    Samples fan, keyboard;    // noise as long as the talk
    Samples far, near;        // what LUMO plays; a second talker near the microphone
    Samples level;            // a longer talk, for gain control
};

bool makeInputs(const std::filesystem::path& dir, Inputs* in)
{
    in->wordNames = {"sorry", "seven", "fire", "hello", "help me", "shoot"};
    in->talk.assign(std::size_t(ms(2000)), 0);  // noise alone first: the noise estimate settles
    int k = 0;
    for (const std::string& name : in->wordNames) {
        const Samples word = speak(dir, "word" + std::to_string(k), name);
        if (word.empty()) return false;
        in->words.push_back(speechSpan(word, in->talk.size()));
        in->talk.insert(in->talk.end(), word.begin(), word.end());
        // Pauses of uneven length, so that words start anywhere within a block.
        in->talk.insert(in->talk.end(), std::size_t(ms(700) + 97 * (k * 7 % 5)), 0);
        if (k == 2) in->talk.insert(in->talk.end(), std::size_t(ms(1500)), 0);  // a longer silence
        ++k;
    }
    in->talk.insert(in->talk.end(), std::size_t(ms(1000)), 0);
    in->talk = withActiveLevel(in->talk, -26);

    const double seconds = double(in->talk.size()) / Rate + 1;
    in->fan = soxSynth(dir, "fan", "synth " + std::to_string(seconds) + " pinknoise lowpass 1800 tremolo 23 12");
    const Samples click = soxSynth(dir, "click", "synth 0.012 whitenoise fade q 0.0005 0.012 0.011 highpass 1200");
    if (in->fan.empty() || click.empty()) return false;
    in->keyboard.assign(in->talk.size(), 0);
    std::mt19937 random(31);
    for (std::size_t at = std::size_t(ms(40)); at + click.size() < in->keyboard.size();
         at += std::size_t(ms(std::uniform_int_distribution<int>(90, 260)(random)))) {
        const double gain = std::uniform_real_distribution<double>(0.5, 1.0)(random);
        for (std::size_t i = 0; i < click.size(); ++i) in->keyboard[at + i] = std::int16_t(click[i] * gain);
    }

    in->far = speak(dir, "far",
                    "we are moving to the bridge now. cover the left side and wait for my signal before you go "
                    "in, then hold the line until the others come back",
                    "en-us");
    in->near = speak(dir, "near", "hello, can you hear me? I am at the gate", "en+f3");
    in->level = speak(dir, "level",
                      "the enemy team is pushing middle again, I need somebody at the tower. fall back and heal up, "
                      "we go again in ten seconds");
    if (in->far.empty() || in->near.empty() || in->level.empty()) return false;
    in->far = withActiveLevel(in->far, -20);
    in->near = withActiveLevel(in->near, -22);
    return true;
}

// --- The tables -----------------------------------------------------------------------------

void wordTable(const Inputs& in)
{
    std::printf("\n1. Words whole: the gate's cut at each word's start and end and the longest hole inside\n"
                "   (ms, block level; goals: start <= 10, end <= 20, no hole)\n");
    struct Row {
        const char* what;
        SpeechGate::Timing timing;
        VoiceProcessingChoice choice;
    };
    const std::vector<Row> rows{
        {"level gate alone (before)", {0, 0}, steps(false, false, false, false)},
        {"+ look-back 2, hang-over 4", {}, steps(false, false, false, false)},
        {"+ noise supp. + gain (default)", {}, steps(true, true, false, false)},
        {"+ voice detection", {}, steps(true, true, false, true)},
    };
    std::printf("   %-9s %-8s %-31s", "room", "library", "steps");
    for (const auto& name : in.wordNames) std::printf(" %-13s", name.c_str());
    std::printf(" verdict\n");
    const Samples quiet = mixed(in.talk, hiss(in.talk.size(), -70));
    const Samples noisy = mixed(quiet, in.fan, noiseGainFor(in.talk, in.fan, 5));
    for (const auto& [room, mic] : {std::pair{"quiet", &quiet}, std::pair{"fan 5 dB", &noisy}}) {
        for (const Library& library : libraries()) {
            for (const Row& row : rows) {
                const bool processing = row.choice.noiseSuppression || row.choice.gainControl;
                if (std::string(library.name) != "webrtc" && !processing) continue;  // no library involved
                auto engine = library.make();
                const ChainRun run = runChain(*engine, *mic, {}, row.choice, row.timing);
                const int delay = processing ? delayOf(*mic, run.cleaned) : 0;
                std::printf("   %-9s %-8s %-31s", room, library.name, row.what);
                bool met = true;
                for (const Span& word : in.words) {
                    const WordCut cut = wordCut(word, run.sent, delay);
                    met = met && cut.onsetMs <= 10 && cut.endMs <= 20 && cut.holeMs == 0;
                    std::printf(" %3.0f/%3.0f/%-5.0f", cut.onsetMs, cut.endMs, cut.holeMs);
                }
                std::printf(" %s\n", verdict(met).c_str());
            }
        }
    }
}

// Blocks of the processed stream that lie in a stretch of noise alone: no word within the gate's
// look-back before it or hang-over after it (and a block to spare).
std::vector<bool> noiseOnlyBlocks(const Inputs& in, std::size_t blocks, int delay)
{
    std::vector<bool> word(blocks, false), alone(blocks, false);
    for (const Span& span : in.words)
        for (std::size_t b = (span.begin + std::size_t(delay)) / BlockSamples;
             b <= (span.end + std::size_t(delay)) / BlockSamples && b < blocks; ++b)
            word[b] = true;
    const SpeechGate::Timing timing;
    for (std::size_t b = 0; b < blocks; ++b) {
        bool near = false;
        for (long d = -(timing.hangOverBlocks + 1); d <= timing.lookBackBlocks + 1 && !near; ++d) {
            const long c = long(b) + d;
            near = c >= 0 && std::size_t(c) < blocks && word[std::size_t(c)];
        }
        alone[b] = !near;
    }
    return alone;
}

void noiseTable(const Inputs& in)
{
    std::printf("\n2. Noise at 5 dB SNR: segmental SNR of the decoded output (ITU-T G.160 style: speech\n"
                "   frames against the output's noise floor; goal: +10 dB over the unprocessed), the classic\n"
                "   waveform segmental SNR against the clean speech, and blocks sent in stretches of noise\n"
                "   alone (goal: none)\n");
    std::printf("   %-9s %-8s %-26s %9s %9s %7s %12s %14s %12s\n", "noise", "library", "steps", "segSNR in", "out",
                "gain", "waveform in", "out", "noise sent");
    const std::vector<std::pair<const char*, VoiceProcessingChoice>> rows{
        {"none", steps(false, false, false, false)},
        {"noise suppression", steps(true, false, false, false)},
        {"+ gain control (default)", steps(true, true, false, false)},
        {"+ voice detection", steps(true, true, false, true)},
    };
    const Samples quiet = mixed(in.talk, hiss(in.talk.size(), -70));
    for (const auto& [noiseName, noise] : {std::pair{"fan", &in.fan}, std::pair{"keyboard", &in.keyboard}}) {
        const Samples mic = mixed(quiet, *noise, noiseGainFor(in.talk, *noise, 5));
        const std::size_t settle = std::size_t(ms(1000));
        const Samples plain = decoded(mic);
        const int plainDelay = delayOf(in.talk, plain);
        const double snrIn = segmentalSnrDb(in.talk, plain, plainDelay, settle);
        const double waveIn = waveformSegmentalSnrDb(in.talk, plain, plainDelay);
        for (const Library& library : libraries()) {
            for (const auto& [what, choice] : rows) {
                if (std::string(library.name) != "webrtc" && !choice.noiseSuppression) continue;
                auto engine = library.make();
                const ChainRun run = runChain(*engine, mic, {}, choice);
                const Samples heard = decoded(run.cleaned);
                const int delay = delayOf(in.talk, heard);
                const double snrOut = segmentalSnrDb(in.talk, heard, delay, settle);
                const double waveOut = waveformSegmentalSnrDb(in.talk, heard, delay);
                const auto alone = noiseOnlyBlocks(in, run.sent.size(), delay - plainDelay);
                int aloneCount = 0, aloneSent = 0;
                for (std::size_t b = 0; b < alone.size(); ++b)
                    if (alone[b] && b * BlockSamples >= settle) ++aloneCount, aloneSent += run.sent[b];
                std::printf("   %-9s %-8s %-26s %9.1f %9.1f %+6.1f %12.1f %14.1f %5d of %-4d %s\n", noiseName,
                            library.name, what, snrIn, snrOut, snrOut - snrIn, waveIn, waveOut, aloneSent, aloneCount,
                            verdict(snrOut - snrIn >= 10 && aloneSent == 0).c_str());
            }
        }
        // What the waveform measure gives even for noise taken away perfectly, 20 dB of it, with
        // the speech untouched: the codec alone limits it.
        const Samples ideal = decoded(mixed(quiet, *noise, noiseGainFor(in.talk, *noise, 25)));
        std::printf("   %-9s %-8s %-26s %9s %9.1f %7s %12s %14.1f\n", noiseName, "(ideal)", "noise 20 dB lower", "",
                    segmentalSnrDb(in.talk, ideal, plainDelay, settle), "", "",
                    waveformSegmentalSnrDb(in.talk, ideal, plainDelay));
    }
}

void echoTable(const Inputs& in)
{
    std::printf("\n3. Echo of what LUMO plays: echo return loss enhancement from 2 s on (goal >= 25 dB) and\n"
                "   correlation of the output with the near talker during double talk (goal >= 0.9), with echo\n"
                "   cancellation alone and with the default steps too (the microphone's own correlation in\n"
                "   brackets), and blocks sent while only the far end talks, default steps with echo\n"
                "   cancellation (and without it, in brackets)\n");
    std::printf("   %-7s %-7s %-8s %20s %26s %12s\n", "delay", "echo", "library", "ERLE dB alone/all", "double talk alone/all",
                "echo sent");
    const std::size_t length = in.far.size() + std::size_t(ms(1000));
    Samples far = in.far;
    far.resize(length, 0);
    const std::size_t nearAt = std::size_t(ms(3000));
    for (int delayMs : {40, 80, 120}) {
        for (double gainDb : {-6.0, -20.0}) {
            // The room: the direct echo and two reflections.
            const double g = std::pow(10, gainDb / 20);
            Samples echo(length, 0);
            for (std::size_t i = 0; i < length; ++i) {
                double v = 0;
                for (const auto& [lag, share] : {std::pair{ms(delayMs), 1.0}, std::pair{ms(delayMs + 20), 0.4},
                                                 std::pair{ms(delayMs + 55), -0.2}})
                    if (i >= std::size_t(lag)) v += share * g * far[i - std::size_t(lag)];
                echo[i] = std::int16_t(std::clamp(std::lround(v), -32768L, 32767L));
            }
            const Samples mic = mixed(echo, hiss(length, -70));
            Samples talking = mic;
            for (std::size_t i = 0; i < in.near.size() && nearAt + i < length; ++i)
                talking[nearAt + i] = std::int16_t(std::clamp(talking[nearAt + i] + in.near[i], -32768, 32767));
            Samples nearTrack(length, 0);
            std::copy(in.near.begin(), in.near.end(), nearTrack.begin() + std::ptrdiff_t(nearAt));
            const double rawDt = correlationOver(nearTrack, talking, nearAt, nearAt + in.near.size(), 0);
            for (const Library& library : libraries()) {
                double erle[2], dtCorrelation[2];
                for (const bool all : {false, true}) {
                    auto engine = library.make();
                    const ChainRun run = runChain(*engine, mic, far, steps(all, all, true, false));
                    erle[all] = erleDb(echo, run.cleaned, std::size_t(ms(2000)), in.far.size(), 0);
                    auto dtEngine = library.make();
                    const ChainRun dt = runChain(*dtEngine, talking, far, steps(all, all, true, false));
                    dtCorrelation[all] = correlationOver(nearTrack, dt.cleaned, nearAt, nearAt + in.near.size(), 240);
                }
                int sentWith = 0, sentWithout = 0;
                for (const bool on : {true, false}) {
                    auto e = library.make();
                    const ChainRun full = runChain(*e, mic, far, steps(true, true, on, false));
                    int sent = 0;
                    for (std::size_t b = std::size_t(ms(2000)) / BlockSamples; b < full.sent.size(); ++b) sent += full.sent[b];
                    (on ? sentWith : sentWithout) = sent;
                }
                std::printf("   %4d ms %4.0f dB %-8s %9.1f / %-8.1f %8.2f / %.2f (%.2f) %6d (%d)  ERLE %s, double talk %s\n",
                            delayMs, gainDb, library.name, erle[0], erle[1], dtCorrelation[0], dtCorrelation[1], rawDt,
                            sentWith, sentWithout, verdict(erle[1] >= 25).c_str(),
                            verdict(dtCorrelation[1] >= 0.9).c_str());
            }
        }
    }
}

void levelTable(const Inputs& in)
{
    std::printf("\n4. Level: speech whose peaks reach -35 and -6 dBFS, the peaks after cleaning (second half)\n"
                "   against gain control's target of %d dBFS (goal: within 3 dB); active level beside\n",
                VoiceProcessor::TargetPeakDbfs);
    std::printf("   %-8s %-26s %10s %10s %12s %14s\n", "library", "steps", "input peak", "out peak", "out active",
                "within 3 dB");
    Samples talk = in.level;
    talk.insert(talk.end(), in.level.begin(), in.level.end());
    for (const Library& library : libraries()) {
        for (const bool gain : {false, true}) {
            for (const double peak : {-35.0, -6.0}) {
                const Samples mic = mixed(withPeakLevel(talk, peak), hiss(talk.size(), -75));
                auto engine = library.make();
                const ChainRun run = runChain(*engine, mic, {}, steps(true, gain, false, false));
                const std::size_t half = run.cleaned.size() / 2;
                const double out = peakLevelDbfs(run.cleaned, half);
                // How long the talk took to come within 3 dB of the target (1 s windows).
                std::string reached = "never";
                for (std::size_t at = 0; at + Rate <= run.cleaned.size(); at += Rate / 10)
                    if (std::abs(peakLevelDbfs(run.cleaned, at, at + Rate) - VoiceProcessor::TargetPeakDbfs) <= 3) {
                        reached = "after " + std::to_string(int(double(at + Rate) / Rate + 0.5)) + " s";
                        break;
                    }
                std::printf("   %-8s %-26s %10.1f %10.1f %12.1f %14s  %s\n", library.name,
                            gain ? "noise supp. + gain control" : "noise suppression", peak, out,
                            activeLevelDbfs(run.cleaned, half), reached.c_str(),
                            verdict(std::abs(out - VoiceProcessor::TargetPeakDbfs) <= 3).c_str());
            }
        }
    }
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void cpuTable(const Inputs& in, int rounds)
{
    std::printf("\n5. CPU per 60 ms block, this thread's CPU time, median of %d interleaved rounds of 100 blocks,\n"
                "   against encoding the same block with G.729 (goal: at most 50 %%)\n", rounds);
    const Samples mic = mixed(mixed(in.talk, hiss(in.talk.size(), -70)), in.fan, noiseGainFor(in.talk, in.fan, 5));
    Samples far = in.far;
    far.resize(mic.size(), 0);
    const Samples silent(mic.size(), 0);
    struct Config {
        const char* what;
        VoiceProcessingChoice choice;
        const Samples* far;
    };
    const std::vector<Config> configs{
        {"noise supp. + gain (default)", steps(true, true, false, false), &silent},
        {"+ voice detection", steps(true, true, false, true), &silent},
        {"+ echo canc., far end silent", steps(true, true, true, false), &silent},
        {"+ echo canc., far end talking", steps(true, true, true, false), &far},
        {"echo cancellation alone, talking", steps(false, false, true, false), &far},
    };
    constexpr int Blocks = 100;
    const std::size_t total = mic.size() / BlockSamples;
    std::map<std::string, std::vector<double>> perBlock;
    std::vector<std::unique_ptr<Engine>> engines;
    for (std::size_t l = 0; l < libraries().size(); ++l)
        for (std::size_t c = 0; c < configs.size(); ++c) engines.push_back(libraries()[l].make());
    std::vector<std::size_t> positions(engines.size() + 1, 0);
    std::array<std::int16_t, BlockSamples> block, farBlock;
    std::array<std::uint8_t, CodedBlockSize> coded;
    VoiceCodec codec;
    for (int round = 0; round < rounds; ++round) {
        double start = threadSeconds();
        for (int b = 0; b < Blocks; ++b) {
            const std::size_t at = (positions.back()++ % total) * BlockSamples;
            codec.Encode(mic.data() + at, BlockBytes, coded.data(), nullptr);
        }
        perBlock["encode"].push_back((threadSeconds() - start) / Blocks);
        for (std::size_t e = 0; e < engines.size(); ++e) {
            const Config& config = configs[e % configs.size()];
            start = threadSeconds();
            for (int b = 0; b < Blocks; ++b) {
                const std::size_t at = (positions[e]++ % total) * BlockSamples;
                std::memcpy(block.data(), mic.data() + at, BlockBytes);
                std::memcpy(farBlock.data(), config.far->data() + at, BlockBytes);
                engines[e]->process(block.data(), farBlock.data(), config.choice);
            }
            perBlock[std::string(libraries()[e / configs.size()].name) + config.what].push_back(
                (threadSeconds() - start) / Blocks);
        }
    }
    const double encode = median(perBlock["encode"]);
    std::printf("   %-8s %-34s %8.1f us\n", "bcg729", "encoding (the floor)", encode * 1e6);
    for (const Library& library : libraries())
        for (const Config& config : configs) {
            const double t = median(perBlock[std::string(library.name) + config.what]);
            std::printf("   %-8s %-34s %8.1f us  %5.0f %% of encoding  %s\n", library.name, config.what, t * 1e6,
                        100 * t / encode, verdict(t <= encode / 2).c_str());
        }
}

// The product's own path: VoiceCapture must send exactly what the chain above sends, and
// allocate nothing while it cleans, gates and encodes.
void productCheck(const Inputs& in)
{
    std::printf("\n6. VoiceCapture itself, on the words in fan noise with every step on and the far end playing\n");
    const Samples mic = mixed(mixed(in.talk, hiss(in.talk.size(), -70)), in.fan, noiseGainFor(in.talk, in.fan, 5));
    Samples far = in.far;
    far.resize(mic.size(), 0);
    NullAudioSystem audio;
    VoiceCapture capture(audio);
    std::vector<VoiceRecord> records;
    records.reserve(mic.size() / BlockSamples + 8);
    capture.setBlockSink([&records](const VoiceRecord& record) { records.push_back(record); });
    capture.setEnabled(true);
    const VoiceProcessingChoice all = steps(true, true, true, true);
    audio.setVoiceProcessing(all);
    FarEndReference::Writer player(&audio.farEnd());
    long allocations = -1;
    for (std::size_t k = 0; (k + 1) * BlockSamples <= mic.size(); ++k) {
        player.write(far.data() + k * BlockSamples, BlockSamples);
#ifdef LUMO_COUNT_ALLOCATIONS
        if (k == 20) allocationsCounted = 0;  // once every step has run
        countingAllocations = k >= 20;
#endif
        capture.OnBlock(reinterpret_cast<const std::uint8_t*>(mic.data() + k * BlockSamples), BlockBytes);
#ifdef LUMO_COUNT_ALLOCATIONS
        countingAllocations = false;
        allocations = allocationsCounted;
#endif
    }
    // The same chain, its far end read as the capture reads it (20 ms behind the writer).
    Samples lagged(far.size(), 0);
    for (std::size_t i = std::size_t(FarEndReference::FirstMargin); i < far.size(); ++i)
        lagged[i] = far[i - std::size_t(FarEndReference::FirstMargin)];
    WebRtcEngine engine;
    const ChainRun run = runChain(engine, mic, lagged, all);
    Samples sentBlocks;
    for (std::size_t k = 0; k < run.sent.size(); ++k)
        if (run.sent[k]) sentBlocks.insert(sentBlocks.end(), run.cleaned.begin() + std::ptrdiff_t(k * BlockSamples),
                                           run.cleaned.begin() + std::ptrdiff_t((k + 1) * BlockSamples));
    VoiceCodec codec;
    bool same = records.size() * BlockSamples == sentBlocks.size();
    std::array<std::uint8_t, CodedBlockSize> coded;
    for (std::size_t r = 0; same && r < records.size(); ++r) {
        codec.Encode(sentBlocks.data() + r * BlockSamples, BlockBytes, coded.data(), nullptr);
        same = coded == records[r].speech && records[r].sequence == r + 1;
    }
    std::printf("   records sent: %zu, the same as the chain above: %s\n", records.size(), same ? "yes" : "NO");
    if (allocations >= 0) {
        std::printf("   allocations while cleaning, gating and encoding %zu blocks: %ld (goal: none)  %s\n",
                    mic.size() / BlockSamples - 20, allocations, verdict(allocations == 0).c_str());
#ifdef LUMO_COUNT_ALLOCATIONS
        // The count itself works: making a processor allocates.
        allocationsCounted = 0;
        countingAllocations = true;
        { VoiceProcessor made; }
        countingAllocations = false;
        std::printf("   (the same count while a VoiceProcessor is made: %ld)\n", allocationsCounted.load());
#endif
    } else {
        std::printf("   allocations: not counted in a sanitizer build\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 15;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--rounds") rounds = std::max(3, std::atoi(argv[i + 1]));
    char pattern[] = "/tmp/lumo-voice-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir(made);
    Inputs in;
    if (!makeInputs(dir, &in)) {
        std::fprintf(stderr, "voice_processing_bench needs espeak-ng and sox to make its inputs\n");
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    std::printf("Inputs: %zu words in %.1f s of talk at -26 dBFS, fan and keyboard noise from sox, far-end\n"
                "speech %.1f s, a near talker %.1f s; microphone hiss at -70 dBFS.\n",
                in.words.size(), double(in.talk.size()) / Rate, double(in.far.size()) / Rate,
                double(in.near.size()) / Rate);
    wordTable(in);
    noiseTable(in);
    echoTable(in);
    levelTable(in);
    cpuTable(in, rounds);
    productCheck(in);
    return 0;
}
