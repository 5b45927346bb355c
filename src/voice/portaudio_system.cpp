// The sound card through PortAudio. Input and output streams run callbacks on PortAudio's
// own threads; those fill and drain the held buffers and post the done events.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

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
    // An output writes what it plays to `farEnd` (the echo canceller's reference).
    PaDevice(NotifyTarget notify, bool input, std::shared_ptr<std::atomic<int>> openStreams, FarEndReference& farEnd)
        : notify_(notify),
          held_(std::move(notify), input ? AudioEvent::InputFilled : AudioEvent::OutputDone),
          input_(input), openStreams_(std::move(openStreams)), farEnd_(input ? nullptr : &farEnd)
    {
    }

    ~PaDevice() override { closeStream(); }

    // Called with paMutex held.
    int open(const AudioFormat& format, PaDeviceIndex device)
    {
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
        ++*openStreams_;
        // A stream that ends without being stopped here lost its device (unplugged): the owner
        // hears it, instead of waiting for buffers that never come.
        Pa_SetStreamFinishedCallback(stream_, &PaDevice::finished);
        open_.store(true);
        if (!input_) {
            // Output plays silence until buffers arrive, like a sound card's idle output.
            err = Pa_StartStream(stream_);
            if (err != paNoError) {
                stopping_.store(true);
                Pa_CloseStream(stream_);
                stream_ = nullptr;
                --*openStreams_;
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
        stopping_.store(false);
        return Pa_StartStream(stream_) == paNoError ? AudioOk : AudioError;
    }

    int Reset() override
    {
        {
            std::lock_guard lock(paMutex());
            if (!stream_)
                return AudioNoDevice;
            if (input_ && Pa_IsStreamStopped(stream_) == 0) {
                stopping_.store(true);
                Pa_AbortStream(stream_);
            }
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
        stopping_.store(true);
        if (Pa_IsStreamStopped(stream_) == 0)
            Pa_AbortStream(stream_);  // returns once the callback has finished
        Pa_CloseStream(stream_);
        stream_ = nullptr;
        --*openStreams_;
    }

    static void finished(void* user)
    {
        auto* self = static_cast<PaDevice*>(user);
        if (!self->stopping_.load() && self->notify_)
            self->notify_->post(AudioMessage{AudioEvent::DeviceLost, 0});
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
            self->farEnd_.write(static_cast<const std::int16_t*>(output), static_cast<int>(frames));
        }
        return paContinue;
    }

    NotifyTarget notify_;
    HeldBuffers held_;
    const bool input_;
    std::shared_ptr<std::atomic<int>> openStreams_;
    FarEndReference::Writer farEnd_;  // written by the stream's callback only
    PaStream* stream_ = nullptr;
    std::atomic<bool> open_{false};
    std::atomic<bool> stopping_{false};  // the stream ends because it was told to
};

// The devices PortAudio lists now. Called with paMutex held.
std::vector<AudioDeviceInfo> listDevices()
{
    std::vector<AudioDeviceInfo> out;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultIn = Pa_GetDefaultInputDevice();
    const PaDeviceIndex defaultOut = Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        AudioDeviceInfo device;
        device.index = i;
        if (const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi); api && api->name) device.hostApi = api->name;
        device.name = info->name ? info->name : "";
        device.inputChannels = info->maxInputChannels;
        device.outputChannels = info->maxOutputChannels;
        device.defaultInput = i == defaultIn;
        device.defaultOutput = i == defaultOut;
        out.push_back(std::move(device));
    }
    return out;
}

PaError initialise()
{
    return withQuietStderr([] { return Pa_Initialize(); });
}

class PortAudioSystem final : public AudioSystem {
public:
    bool wantsRealTimeThreads() const override { return true; }

    ~PortAudioSystem() override
    {
        std::lock_guard lock(paMutex());
        Pa_Terminate();
    }

    int QueryInput(const AudioFormat& format) override
    {
        std::lock_guard lock(paMutex());
        return queryFormat(chosenLocked(true), true, format);
    }

    int OpenInput(const AudioFormat& format, NotifyTarget notify,
                  std::unique_ptr<AudioDevice>* device) override
    {
        return open(format, std::move(notify), true, device);
    }

    int QueryOutput(const AudioFormat& format) override
    {
        std::lock_guard lock(paMutex());
        return queryFormat(chosenLocked(false), false, format);
    }

    int OpenOutput(const AudioFormat& format, int, NotifyTarget notify,
                   std::unique_ptr<AudioDevice>* device) override
    {
        return open(format, std::move(notify), false, device);
    }

    std::vector<AudioDeviceInfo> devices() override
    {
        std::lock_guard lock(paMutex());
        rescanLocked();
        return listDevices();
    }

    bool chooseDevices(const DeviceChoice& choice, std::string* error) override
    {
        std::lock_guard lock(paMutex());
        rescanLocked();
        const std::vector<AudioDeviceInfo> list = listDevices();
        std::string reason;
        DeviceChoice resolved;
        // Kept by label, not by number: numbers change when the list is read again.
        if (!choice.input.empty()) {
            const auto input = findDevice(list, choice.input, DeviceDirection::Input, &reason);
            if (!input) {
                if (error) *error = reason;
                return false;
            }
            resolved.input = deviceLabel(*input);
        }
        if (!choice.output.empty()) {
            const auto output = findDevice(list, choice.output, DeviceDirection::Output, &reason);
            if (!output) {
                if (error) *error = reason;
                return false;
            }
            resolved.output = deviceLabel(*output);
        }
        choice_ = resolved;
        return true;
    }

    DeviceChoice chosenDevices() const override
    {
        std::lock_guard lock(paMutex());
        return choice_;
    }

private:
    // PortAudio reads its device list once, at start: a device plugged in later is seen only
    // after starting it again, which is possible while none of its streams is open.
    void rescanLocked()
    {
        if (openStreams_->load() != 0) return;
        Pa_Terminate();
        initialise();
    }

    // The chosen device's number now; the default device when nothing is chosen, no device
    // when the chosen one is gone (never another device in its place).
    PaDeviceIndex chosenLocked(bool input)
    {
        const std::string& wanted = input ? choice_.input : choice_.output;
        if (wanted.empty()) return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
        const auto direction = input ? DeviceDirection::Input : DeviceDirection::Output;
        auto found = findDevice(listDevices(), wanted, direction);
        if (!found) {
            rescanLocked();  // plugged back in since
            found = findDevice(listDevices(), wanted, direction);
        }
        return found ? PaDeviceIndex(found->index) : paNoDevice;
    }

    int open(const AudioFormat& format, NotifyTarget notify, bool input,
             std::unique_ptr<AudioDevice>* device)
    {
        if (!device)
            return AudioError;
        auto opened = std::make_unique<PaDevice>(std::move(notify), input, openStreams_, farEnd());
        int result = AudioError;
        {
            std::lock_guard lock(paMutex());
            result = opened->open(format, chosenLocked(input));
        }
        // A device that did not open is destroyed outside the lock: its destructor takes it.
        if (result != AudioOk)
            return result;
        *device = std::move(opened);
        return AudioOk;
    }

    DeviceChoice choice_;
    std::shared_ptr<std::atomic<int>> openStreams_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace

std::unique_ptr<AudioSystem> makePortAudioSystem(std::string* error)
{
    std::lock_guard lock(paMutex());
    const PaError err = initialise();
    if (err != paNoError) {
        if (error)
            *error = std::string("PortAudio could not start: ") + Pa_GetErrorText(err);
        return nullptr;
    }
    return std::make_unique<PortAudioSystem>();
}

}  // namespace lumo
