#include "voice/audio_worker.h"

namespace lumo {

AudioWorker::AudioWorker(AudioSystem& audio) : audio_(audio) {}

AudioWorker::~AudioWorker()
{
    // The derived class has joined already; this only covers one that did not.
    joinThread();
}

bool AudioWorker::StartThread()
{
    if (threadRunning_)
        return false;
    const int priority = audio_.wantsRealTimeThreads() ? AudioThreadPriority : 0;
    if (!thread_.start([this](const AudioMessage& message) { onMessage(message); }, priority,
                       [this] { return wakeUpTime(); }))
        return false;
    threadRunning_ = true;
    return true;
}

bool AudioWorker::StopThread()
{
    if (!threadRunning_)
        return false;
    thread_.stop();
    threadRunning_ = false;
    return true;
}

bool AudioWorker::startAndOpen()
{
    if (!StartThread())
        return false;
    if (!Open()) {
        StopThread();
        return false;
    }
    return true;
}

std::unique_ptr<AudioDevice> AudioWorker::openInput(const AudioFormat& format)
{
    if (!thread_.queue())
        return nullptr;
    int result = audio_.QueryInput(format);
    lastResult_ = result;
    if (result != AudioOk)
        return nullptr;
    std::unique_ptr<AudioDevice> device;
    result = audio_.OpenInput(format, thread_.queue(), &device);
    lastResult_ = result;
    if (result != AudioOk)
        return nullptr;
    return device;
}

std::unique_ptr<AudioDevice> AudioWorker::openOutput(const AudioFormat& format, int memberId)
{
    if (!thread_.queue())
        return nullptr;
    int result = audio_.QueryOutput(format);
    lastResult_ = result;
    if (result != AudioOk)
        return nullptr;
    std::unique_ptr<AudioDevice> device;
    result = audio_.OpenOutput(format, memberId, thread_.queue(), &device);
    lastResult_ = result;
    if (result != AudioOk)
        return nullptr;
    return device;
}

void AudioWorker::joinThread()
{
    thread_.joinAll();
    threadRunning_ = false;
}

}  // namespace lumo
