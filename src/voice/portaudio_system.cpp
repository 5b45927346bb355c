// The sound card through PortAudio. Input and output streams run callbacks on PortAudio's
// own threads; those fill and drain the held buffers and post the done events.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include <portaudio.h>

#include "voice/audio_backends_internal.h"

namespace lumo {

namespace {

// PortAudio's API is not meant to be called from several threads at once.
std::mutex& paMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Runs f with stderr pointed at /dev/null: PortAudio's host probing (ALSA, JACK) prints
// dozens of lines there on machines without those, which a player should not see.
template <typename F>
auto withQuietStderr(F f)
{
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && devnull >= 0)
        ::dup2(devnull, STDERR_FILENO);
    if (devnull >= 0)
        ::close(devnull);
    auto result = f();
    std::fflush(stderr);
    if (saved >= 0) {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    return result;
}

bool usableFormat(const AudioFormat& format)
{
    return format.bitsPerSample == 16 && format.channels == 1 && format.sampleRate > 0;
}

int queryFormat(PaDeviceIndex device, bool input, const AudioFormat& format)
{
    if (!usableFormat(format))
        return AudioBadFormat;
    if (device == paNoDevice)
        return AudioNoDevice;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info)
        return AudioNoDevice;
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = format.channels;
    params.sampleFormat = paInt16;
    params.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    const PaError err = input ? Pa_IsFormatSupported(&params, nullptr, format.sampleRate)
                              : Pa_IsFormatSupported(nullptr, &params, format.sampleRate);
    return err == paFormatIsSupported ? AudioOk : AudioBadFormat;
}

class PaDevice : public AudioDevice {
public:
    PaDevice(NotifyTarget notify, bool input)
        : held_(std::move(notify), input ? AudioEvent::InputFilled : AudioEvent::OutputDone),
          input_(input)
    {
    }

    ~PaDevice() override { closeStream(); }

    int open(const AudioFormat& format)
    {
        std::lock_guard lock(paMutex());
        const PaDeviceIndex device = input_ ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
        const int query = queryFormat(device, input_, format);
        if (query != AudioOk)
            return query;
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        PaStreamParameters params{};
        params.device = device;
        params.channelCount = 1;
        params.sampleFormat = paInt16;
        params.suggestedLatency = input_ ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
        PaError err = Pa_OpenStream(&stream_, input_ ? &params : nullptr, input_ ? nullptr : &params,
                                    format.sampleRate, paFramesPerBufferUnspecified, paNoFlag,
                                    &PaDevice::callback, this);
        if (err != paNoError) {
            stream_ = nullptr;
            return AudioNoDevice;
        }
        open_.store(true);
        if (!input_) {
            // Output plays silence until buffers arrive, like a sound card's idle output.
            err = Pa_StartStream(stream_);
            if (err != paNoError) {
                Pa_CloseStream(stream_);
                stream_ = nullptr;
                open_.store(false);
                return AudioError;
            }
        }
        return AudioOk;
    }

    int Queue(AudioBuffer* buffer) override
    {
        if (!open_.load())
            return AudioNoDevice;
        return held_.add(buffer);
    }

    int Start() override
    {
        if (!input_)
            return AudioOk;
        std::lock_guard lock(paMutex());
        if (!stream_)
            return AudioNoDevice;
        if (Pa_IsStreamActive(stream_) == 1)
            return AudioOk;
        return Pa_StartStream(stream_) == paNoError ? AudioOk : AudioError;
    }

    int Reset() override
    {
        {
            std::lock_guard lock(paMutex());
            if (!stream_)
                return AudioNoDevice;
            if (input_ && Pa_IsStreamStopped(stream_) == 0)
                Pa_AbortStream(stream_);
        }
        held_.completeAll();
        return AudioOk;
    }

    int Close() override
    {
        if (held_.size() > 0)
            return AudioStillBusy;
        closeStream();
        return AudioOk;
    }

private:
    void closeStream()
    {
        std::lock_guard lock(paMutex());
        if (!stream_)
            return;
        open_.store(false);
        if (Pa_IsStreamStopped(stream_) == 0)
            Pa_AbortStream(stream_);  // returns once the callback has finished
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }

    static int callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* user)
    {
        auto* self = static_cast<PaDevice*>(user);
        if (self->input_) {
            if (input)
                self->held_.fill(static_cast<const std::int16_t*>(input), static_cast<int>(frames));
        } else if (output) {
            self->held_.drain(static_cast<std::int16_t*>(output), static_cast<int>(frames));
        }
        return paContinue;
    }

    HeldBuffers held_;
    const bool input_;
    PaStream* stream_ = nullptr;
    std::atomic<bool> open_{false};
};

class PortAudioSystem final : public AudioSystem {
public:
    ~PortAudioSystem() override
    {
        std::lock_guard lock(paMutex());
        Pa_Terminate();
    }

    int QueryInput(const AudioFormat& format) override
    {
        std::lock_guard lock(paMutex());
        return queryFormat(Pa_GetDefaultInputDevice(), true, format);
    }

    int OpenInput(const AudioFormat& format, NotifyTarget notify,
                  std::unique_ptr<AudioDevice>* device) override
    {
        return open(format, std::move(notify), true, device);
    }

    int QueryOutput(const AudioFormat& format) override
    {
        std::lock_guard lock(paMutex());
        return queryFormat(Pa_GetDefaultOutputDevice(), false, format);
    }

    int OpenOutput(const AudioFormat& format, int, NotifyTarget notify,
                   std::unique_ptr<AudioDevice>* device) override
    {
        return open(format, std::move(notify), false, device);
    }

private:
    int open(const AudioFormat& format, NotifyTarget notify, bool input,
             std::unique_ptr<AudioDevice>* device)
    {
        if (!device)
            return AudioError;
        auto opened = std::make_unique<PaDevice>(std::move(notify), input);
        const int result = opened->open(format);
        if (result != AudioOk)
            return result;
        *device = std::move(opened);
        return AudioOk;
    }
};

}  // namespace

std::unique_ptr<AudioSystem> makePortAudioSystem(std::string* error)
{
    std::lock_guard lock(paMutex());
    const PaError err = withQuietStderr([] { return Pa_Initialize(); });
    if (err != paNoError) {
        if (error)
            *error = std::string("PortAudio could not start: ") + Pa_GetErrorText(err);
        return nullptr;
    }
    return std::make_unique<PortAudioSystem>();
}

}  // namespace lumo
