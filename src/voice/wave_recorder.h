// Microphone capture in 60 ms blocks. WaveRecorder keeps ten 960-byte buffers queued on the
// default input device and runs a capture thread of its own (its AudioWorker thread) that
// receives every filled buffer, passes a copy to OnBlock and queues the buffer again.
//
// Every step below is guarded by a flag: a step asked for in the wrong state is refused (false)
// and changes nothing. StartAll walks the steps up and unwinds in reverse order when one fails;
// StopAll walks them down. The steps are called from one thread (the user-interface thread);
// OnBlock runs on the capture thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "voice/audio_device.h"
#include "voice/audio_worker.h"

namespace lumo {

class WaveRecorder : public AudioWorker {
public:
    static constexpr int BufferCount = 10;
    static constexpr int BufferBytes = 960;  // 60 ms of 8 kHz 16-bit mono

    // The audio system must outlive the recorder.
    explicit WaveRecorder(AudioSystem& audio);
    ~WaveRecorder() override;

    // Called on the capture thread with a copy of each completely filled buffer. Does nothing
    // here.
    virtual void OnBlock(const std::uint8_t* data, int length);
    // Called on the capture thread when the device stops working (unplugged). Nothing more will
    // arrive from it; the owner still stops the recorder with StopAll. Does nothing here.
    virtual void OnDeviceLost();

    // StartThread: refused if the thread runs.
    bool Open() override;   // refused if open, or without a running thread (it gets the events)
    bool QueueBuffers();    // refused if queued; releases what it queued when it fails half-way
    bool StartRecording();  // refused if recording or no device
    bool StopRecording();   // refused if not recording or no device; the device returns its buffers
    bool ReleaseBuffers();  // refused if not queued
    bool Close();           // refused if not open; forgets the device even when closing fails
    // StopThread: refused if not running; waits at most about 500 ms.

    // StartThread, Open, QueueBuffers, StartRecording; on a failure the steps already taken are
    // undone in reverse order and the result is false.
    bool StartAll();
    // StopRecording, 100 ms for the device's last buffers to come back, ReleaseBuffers, Close
    // and, only if Close succeeded, StopThread. Always true.
    bool StopAll();

    bool deviceOpen() const { return deviceOpen_; }
    bool buffersQueued() const { return buffersQueued_; }
    bool recording() const { return recording_; }

    const AudioFormat& format() const { return format_; }

protected:
    // Stops recording, frees the buffers, closes the device and ends the capture thread, waiting
    // for it as long as it takes. A derived class calls this first in its destructor, so that
    // the capture thread never calls OnBlock on a half-destroyed object.
    void shutdown();

private:
    void onMessage(const AudioMessage& message) override;  // capture thread
    AudioBuffer* bufferForTagLocked(std::uint64_t tag) const;
    // Frees the capture buffers the device no longer holds; one it still holds after 100 ms is
    // kept aside until the device is gone.
    void freeBuffers();
    void forgetDeviceLocked();

    AudioFormat format_;

    // Guards the device, the buffers and requeue_ against the capture thread.
    mutable std::mutex lock_;
    std::unique_ptr<AudioDevice> device_;
    std::vector<std::unique_ptr<AudioBuffer>> headers_;
    std::vector<std::unique_ptr<AudioBuffer>> stranded_;  // still held by the device when released
    std::uint64_t generation_ = 0;  // numbers each set of buffers; tags carry it
    bool requeue_ = false;          // whether filled buffers go back to the device

    bool deviceOpen_ = false;
    bool buffersQueued_ = false;
    bool recording_ = false;
};

}  // namespace lumo
