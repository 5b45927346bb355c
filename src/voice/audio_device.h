// The audio device interface that capture and playback are written against, and the thread
// message queue that devices notify.
//
// The model is the thread-notified sound card: the owner hands buffers to a device, the device
// fills (input) or plays (output) them in order and, when it is done with one, posts a message
// naming that buffer to the owner's thread queue. Until then the device holds the buffer and the
// owner must not touch or free it. Reset returns every held buffer at once (posted as done);
// Close refuses while buffers are still held. All device calls are thread-safe and return 0
// or an AudioResult code.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/voice/sound_choices.h"
#include "voice/far_end_reference.h"

namespace lumo {

enum AudioResult : int {
    AudioOk = 0,
    AudioError = 1,
    AudioNoDevice = 2,       // no such device (or no devices at all)
    AudioNoMemory = 7,
    AudioBadFormat = 32,     // the device does not take 8 kHz 16-bit mono
    AudioStillBusy = 33,     // the device still holds buffers
    AudioNotHeld = 34,       // a buffer handed over twice, or an unusable buffer
};

// 16-bit linear PCM; the voice subsystem uses 1 channel at 8000 samples per second.
struct AudioFormat {
    int channels = 1;
    int sampleRate = 8000;
    int bitsPerSample = 16;
    bool operator==(const AudioFormat&) const = default;
};

// One buffer handed to a device. `tag` is chosen by the owner and comes back in the device's
// done message, so the owner can tell which buffer it was without touching a buffer it may
// already have freed.
struct AudioBuffer {
    std::vector<std::int16_t> samples;  // capacity of the buffer (input) or what to play (output)
    int bytesRecorded = 0;              // input: bytes filled when the device returned it
    std::uint64_t tag = 0;
    std::atomic<bool> inDevice{false};  // set while a device holds it

    int lengthBytes() const { return static_cast<int>(samples.size() * 2); }
};

enum class AudioEvent {
    Quit,           // end the thread
    InputFilled,    // an input device returns a buffer (filled, or partly filled by a reset)
    OutputDone,     // an output device returns a played buffer
    RecordArrived,  // a voice record was handed to a player
    DeviceLost,     // the device stopped working (unplugged): it fills or plays nothing more
    WakeUp,         // the time the thread asked to be woken at came with no other message
};

struct AudioMessage {
    AudioEvent event = AudioEvent::Quit;
    std::uint64_t tag = 0;
};

// A thread's message queue: any thread posts, the owning thread takes in order.
class MessageQueue {
public:
    void post(const AudioMessage& message);
    using Clock = std::chrono::steady_clock;

    // Blocks until a message is there, or until `wakeAt` (if set) with none yet: then WakeUp.
    AudioMessage take(std::optional<Clock::time_point> wakeAt = std::nullopt);
    // The next message if there is one.
    std::optional<AudioMessage> tryTake();
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<AudioMessage> messages_;
};

using NotifyTarget = std::shared_ptr<MessageQueue>;

class AudioDevice {
public:
    virtual ~AudioDevice() = default;
    // Hands a buffer over: an input device fills it, an output device plays all its samples.
    virtual int Queue(AudioBuffer* buffer) = 0;
    // Input: starts recording into the queued buffers. Output devices play as buffers arrive.
    virtual int Start() = 0;
    // Stops (input stops recording) and returns every held buffer as done, in order.
    virtual int Reset() = 0;
    // Closes the device; refused with AudioStillBusy while it holds buffers. The object is
    // destroyed after Close whatever the result; its destructor stops all device activity and
    // never touches a buffer afterwards.
    virtual int Close() = 0;
};

// A source of devices: the sound card, WAV files, or nothing at all.
class AudioSystem {
public:
    virtual ~AudioSystem() = default;
    // Query only: 0 when the default input device takes the format.
    virtual int QueryInput(const AudioFormat& format) = 0;
    // Opens the default input device; done messages go to `notify`.
    virtual int OpenInput(const AudioFormat& format, NotifyTarget notify,
                          std::unique_ptr<AudioDevice>* device) = 0;
    // Query only: 0 when the default output device takes the format.
    virtual int QueryOutput(const AudioFormat& format) = 0;
    // Opens an output device for the voice of member `memberId`; done messages go to `notify`.
    virtual int OpenOutput(const AudioFormat& format, int memberId, NotifyTarget notify,
                           std::unique_ptr<AudioDevice>* device) = 0;

    // The devices a player can choose from; none for systems without a choice. A system may
    // read its list again here (devices plugged in since) when none of its devices is open.
    virtual std::vector<AudioDeviceInfo> devices() { return {}; }
    // Opens these devices from the next open on. False, with a reason, when a named device is
    // not there; the choice in force then stays. Systems without a choice take only defaults.
    virtual bool chooseDevices(const DeviceChoice& choice, std::string* error)
    {
        if (choice == DeviceChoice{}) return true;
        if (error) *error = "this sound system has no devices to choose from";
        return false;
    }
    virtual DeviceChoice chosenDevices() const { return {}; }
    // Whether the threads that feed this system's devices ask for real-time scheduling: a sound
    // card runs dry when other programs delay them. Files and fakes keep no card fed, and on a
    // shared machine real-time threads would only take the processor from other programs.
    virtual bool wantsRealTimeThreads() const { return false; }

    // What this system's output devices play, written by them as they play it: the reference
    // of the echo canceller on its captures.
    FarEndReference& farEnd() { return farEnd_; }

    // How captures on this system clean the microphone. Set from any thread; every capture reads
    // it once per block, so a change applies from the next block on.
    void setVoiceProcessing(const VoiceProcessingChoice& choice);
    VoiceProcessingChoice voiceProcessing() const;

private:
    FarEndReference farEnd_;
    std::atomic<unsigned> processing_{packedProcessing(VoiceProcessingChoice{})};

    static constexpr unsigned packedProcessing(const VoiceProcessingChoice& choice)
    {
        return (choice.noiseSuppression ? 1u : 0u) | (choice.gainControl ? 2u : 0u) |
               (choice.echoCancellation ? 4u : 0u) | (choice.voiceDetection ? 8u : 0u);
    }
};

// A machine without a sound card: every query and open fails with AudioNoDevice.
class NullAudioSystem final : public AudioSystem {
public:
    int QueryInput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget, std::unique_ptr<AudioDevice>*) override
    {
        return AudioNoDevice;
    }
    int QueryOutput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenOutput(const AudioFormat&, int, NotifyTarget, std::unique_ptr<AudioDevice>*) override
    {
        return AudioNoDevice;
    }
};

// The buffer bookkeeping every device needs: the buffers it holds, in order, and the done
// messages. Thread-safe; a device's own thread (or sound callback) fills or drains through it.
class HeldBuffers {
public:
    HeldBuffers(NotifyTarget notify, AudioEvent doneEvent)
        : notify_(std::move(notify)), doneEvent_(doneEvent)
    {
    }

    int add(AudioBuffer* buffer);
    std::size_t size() const;

    // Input: copies samples into the held buffers in order, returning each one as it fills.
    // Returns how many samples found room (the rest are lost, as on a sound card with no
    // buffer queued).
    int fill(const std::int16_t* samples, int count);
    // Output: copies up to `count` samples from the held buffers in order into out, returning
    // each buffer once it is used up, and fills the rest of out with silence. Returns how many
    // samples came from buffers.
    int drain(std::int16_t* out, int count);
    // Output: the first held buffer (nullptr if none); stays held until completeFront.
    AudioBuffer* front() const;
    // Returns the first held buffer as done.
    void completeFront();
    // Returns every held buffer as done, in order (input buffers keep what they recorded).
    void completeAll();

private:
    void completeLocked(AudioBuffer* buffer);

    mutable std::mutex mutex_;
    std::deque<AudioBuffer*> held_;
    std::size_t position_ = 0;  // samples used of the first held buffer
    NotifyTarget notify_;
    AudioEvent doneEvent_;
};

}  // namespace lumo
