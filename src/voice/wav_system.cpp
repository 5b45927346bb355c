// WAV files as microphone and speakers, paced in real time like a sound card: the microphone
// delivers one 60 ms block every 60 ms, and an output buffer comes back once its play time has
// passed. For tests and machines without a sound card.
#include <pthread.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "voice/audio_backends_internal.h"

namespace lumo {

namespace {

// The pacers stand in for a sound card's own clock: named, so that a profile or a CPU figure can
// tell them from the program's threads. They keep ordinary scheduling: as root, real-time pacers
// and players in several test processes at once can take the processor from the X server and
// the programs a test drives (the player suite failed now and then while they asked for it). (A pacer that other programs delay takes the periods it missed all at
// once when it wakes, which a sound card would not do: the playout bench shows it as hard
// silence on a loaded machine.)
void nameThisThread(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}

using Clock = std::chrono::steady_clock;

constexpr int WavSampleRate = 8000;
constexpr int MicBlockSamples = 480;                      // 60 ms
constexpr sf_count_t MaxMicFrames = WavSampleRate * 600;  // ten minutes are plenty

bool voiceFormat(const AudioFormat& format)
{
    return format == AudioFormat{};
}

// The microphone's samples, read once; every input device of the run continues from where the
// previous one stopped.
class MicSource {
public:
    explicit MicSource(std::vector<std::int16_t> samples) : samples_(std::move(samples)) {}

    // The next count samples, silence once the file is used up.
    void read(std::int16_t* out, int count)
    {
        std::lock_guard lock(mutex_);
        const std::size_t left = samples_.size() - position_;
        const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(count));
        std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(position_), n, out);
        std::fill(out + n, out + count, std::int16_t{0});
        position_ += n;
    }

private:
    std::mutex mutex_;
    std::vector<std::int16_t> samples_;
    std::size_t position_ = 0;
};

// One member's speaker file. The header is brought up to date after each write, so the file
// can be read while the program runs.
class SpeakerFile {
public:
    static std::shared_ptr<SpeakerFile> open(const std::string& path)
    {
        SF_INFO info{};
        info.samplerate = WavSampleRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!file)
            return nullptr;
        sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        return std::shared_ptr<SpeakerFile>(new SpeakerFile(file));
    }

    ~SpeakerFile() { sf_close(file_); }

    void write(const std::int16_t* samples, int count)
    {
        std::lock_guard lock(mutex_);
        sf_write_short(file_, samples, count);
    }

private:
    explicit SpeakerFile(SNDFILE* file) : file_(file) {}

    std::mutex mutex_;
    SNDFILE* file_;
};

// Input: while recording, a pacing thread hands one block from the microphone file to the
// held buffers every 60 ms; a block that finds no buffer is lost, as on a sound card.
class WavInput final : public AudioDevice {
public:
    WavInput(std::shared_ptr<MicSource> mic, NotifyTarget notify)
        : mic_(std::move(mic)), held_(std::move(notify), AudioEvent::InputFilled)
    {
    }

    ~WavInput() override { stopPacing(); }

    int Queue(AudioBuffer* buffer) override { return held_.add(buffer); }

    int Start() override
    {
        std::lock_guard lock(mutex_);
        if (pacer_.joinable())
            return AudioOk;
        stop_ = false;
        try {
            pacer_ = std::thread([this] {
                nameThisThread("wav microphone");
                pace();
            });
        } catch (const std::system_error&) {
            return AudioError;
        }
        return AudioOk;
    }

    int Reset() override
    {
        stopPacing();
        held_.completeAll();
        return AudioOk;
    }

    int Close() override
    {
        if (held_.size() > 0)
            return AudioStillBusy;
        stopPacing();
        return AudioOk;
    }

private:
    void pace()
    {
        const Clock::time_point start = Clock::now();
        std::vector<std::int16_t> block(MicBlockSamples);
        for (long k = 1;; ++k) {
            std::unique_lock lock(mutex_);
            const auto due = start + std::chrono::milliseconds(60) * k;
            if (wake_.wait_until(lock, due, [this] { return stop_; }))
                return;
            lock.unlock();
            mic_->read(block.data(), MicBlockSamples);
            held_.fill(block.data(), MicBlockSamples);
        }
    }

    void stopPacing()
    {
        std::thread pacer;
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            pacer = std::move(pacer_);
        }
        wake_.notify_all();
        if (pacer.joinable())
            pacer.join();
    }

    std::shared_ptr<MicSource> mic_;
    HeldBuffers held_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread pacer_;
};

// Output: a sound card with a 10 ms period on the real-time clock. Every period the pacing
// thread takes the next 80 samples from the held buffers (silence where there are none, as an
// idle card plays) and appends them to the speaker file, so the file's sample index is the time
// since the device opened: gaps, concealment and added delay show in it as a listener hears them.
// The same samples go to the system's far-end reference, as a sound card's output would.
// A buffer comes back once its last sample has been taken.
class WavOutput final : public AudioDevice {
public:
    static constexpr int PeriodSamples = 80;

    WavOutput(std::shared_ptr<SpeakerFile> speaker, NotifyTarget notify, FarEndReference& farEnd)
        : speaker_(std::move(speaker)), held_(std::move(notify), AudioEvent::OutputDone), farEnd_(&farEnd)
    {
    }

    ~WavOutput() override { stopPacing(); }

    bool start()
    {
        try {
            pacer_ = std::thread([this] {
                nameThisThread("wav speaker");
                pace();
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }

    int Queue(AudioBuffer* buffer) override
    {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return AudioNoDevice;
        }
        return held_.add(buffer);
    }

    int Start() override { return AudioOk; }

    int Reset() override
    {
        held_.completeAll();
        return AudioOk;
    }

    int Close() override
    {
        if (held_.size() > 0)
            return AudioStillBusy;
        stopPacing();
        return AudioOk;
    }

private:
    void pace()
    {
        const Clock::time_point start = Clock::now();
        const auto period = std::chrono::microseconds(1'000'000 * PeriodSamples / WavSampleRate);
        std::int16_t samples[PeriodSamples];
        for (long k = 1;; ++k) {
            {
                std::unique_lock lock(mutex_);
                if (wake_.wait_until(lock, start + period * k, [this] { return stop_; }))
                    return;
            }
            // A late wake-up (a busy machine) catches up period by period: the file keeps time.
            held_.drain(samples, PeriodSamples);
            speaker_->write(samples, PeriodSamples);
            farEnd_.write(samples, PeriodSamples);
        }
    }

    void stopPacing()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (pacer_.joinable())
            pacer_.join();
    }

    std::shared_ptr<SpeakerFile> speaker_;
    HeldBuffers held_;
    FarEndReference::Writer farEnd_;  // written by the pacing thread only
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread pacer_;
};

class WavAudioSystem final : public AudioSystem {
public:
    WavAudioSystem(std::shared_ptr<MicSource> mic, std::filesystem::path speakerDir)
        : mic_(std::move(mic)), speakerDir_(std::move(speakerDir))
    {
    }

    int QueryInput(const AudioFormat& format) override
    {
        return voiceFormat(format) ? AudioOk : AudioBadFormat;
    }

    int OpenInput(const AudioFormat& format, NotifyTarget notify,
                  std::unique_ptr<AudioDevice>* device) override
    {
        if (!voiceFormat(format))
            return AudioBadFormat;
        if (!device)
            return AudioError;
        *device = std::make_unique<WavInput>(mic_, std::move(notify));
        return AudioOk;
    }

    int QueryOutput(const AudioFormat& format) override
    {
        return voiceFormat(format) ? AudioOk : AudioBadFormat;
    }

    int OpenOutput(const AudioFormat& format, int memberId, NotifyTarget notify,
                   std::unique_ptr<AudioDevice>* device) override
    {
        if (!voiceFormat(format))
            return AudioBadFormat;
        if (!device)
            return AudioError;
        std::shared_ptr<SpeakerFile> speaker = speakerFor(memberId);
        if (!speaker)
            return AudioNoDevice;
        auto output = std::make_unique<WavOutput>(std::move(speaker), std::move(notify), farEnd());
        if (!output->start())
            return AudioError;
        *device = std::move(output);
        return AudioOk;
    }

private:
    // Every player of a member during the run writes to the same file, one after another.
    std::shared_ptr<SpeakerFile> speakerFor(int memberId)
    {
        std::lock_guard lock(mutex_);
        auto it = speakers_.find(memberId);
        if (it != speakers_.end())
            return it->second;
        const auto path = speakerDir_ / ("peer-" + std::to_string(memberId) + ".wav");
        auto speaker = SpeakerFile::open(path.string());
        if (speaker)
            speakers_.emplace(memberId, speaker);
        return speaker;
    }

    std::shared_ptr<MicSource> mic_;
    std::filesystem::path speakerDir_;
    std::mutex mutex_;
    std::map<int, std::shared_ptr<SpeakerFile>> speakers_;
};

// Reads an 8 kHz file (mixing several channels down to one), at most ten minutes of it.
bool readMicrophone(const std::string& path, std::vector<std::int16_t>* samples, std::string* error)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        *error = "cannot read the microphone file " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.samplerate != WavSampleRate || info.channels < 1 || info.channels > 8) {
        *error = "the microphone file " + path + " must be 8000 Hz with 1 to 8 channels";
        sf_close(file);
        return false;
    }
    const sf_count_t frames = std::clamp<sf_count_t>(info.frames, 0, MaxMicFrames);
    std::vector<std::int16_t> interleaved(static_cast<std::size_t>(frames * info.channels));
    const sf_count_t got = interleaved.empty() ? 0 : sf_readf_short(file, interleaved.data(), frames);
    sf_close(file);
    samples->resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)));
    for (std::size_t i = 0; i < samples->size(); ++i) {
        int sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += interleaved[i * info.channels + c];
        (*samples)[i] = static_cast<std::int16_t>(sum / info.channels);
    }
    return true;
}

}  // namespace

std::unique_ptr<AudioSystem> makeWavAudioSystem(const std::string& micPath,
                                                const std::string& speakerDir, std::string* error)
{
    std::string reason;
    std::vector<std::int16_t> samples;
    if (!readMicrophone(micPath, &samples, &reason)) {
        if (error)
            *error = reason;
        return nullptr;
    }
    std::error_code ec;
    std::filesystem::create_directories(speakerDir, ec);
    if (!std::filesystem::is_directory(speakerDir, ec)) {
        if (error)
            *error = "cannot use the speaker directory " + speakerDir;
        return nullptr;
    }
    return std::make_unique<WavAudioSystem>(std::make_shared<MicSource>(std::move(samples)),
                                            speakerDir);
}

}  // namespace lumo
