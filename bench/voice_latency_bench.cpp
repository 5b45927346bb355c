// Voice latency: from a captured block's arrival at the capture thread (OnBlock) to its samples
// reaching the receiving player's output device, through real UDP sockets on loopback, with 1,
// 8 and 16 members talking at once. The receiving side hands each datagram to the sender's
// player as the program's receive step does (without the window around it). Prints the median
// and 99th percentile latency and the CPU time per talker; nothing is asserted.
//
// This is a bench of the voice parts (capture, codec, players) joined by a plain socket loop of
// its own, with every talker's block started on one thread: it does not go through
// GroupEndpoint, PeerSocket or the member session. voice_pipeline_bench measures the program's
// own path.
#include "bench_audio.h"
#include "core/wire/wire.h"
#include "voice/voice_capture.h"
#include "core/voice/voice_codec.h"
#include "voice/voice_player.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace lumo;
using Clock = std::chrono::steady_clock;

namespace {

// When each talker's block reached its player's device in the current round.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> at;
    int count = 0;
};

// An output device that takes each buffer at once and returns it, noting the time.
class StampingDevice final : public bench::InstantOutput {
public:
    StampingDevice(Arrivals& arrivals, int memberId, NotifyTarget notify)
        : InstantOutput(std::move(notify)), arrivals_(arrivals), memberId_(memberId)
    {
    }

private:
    void onQueued(AudioBuffer*) override
    {
        {
            std::lock_guard lock(arrivals_.mutex);
            arrivals_.at[memberId_] = Clock::now();
            ++arrivals_.count;
        }
        arrivals_.changed.notify_all();
    }

    Arrivals& arrivals_;
    int memberId_;
};

class StampingAudio final : public AudioSystem {
public:
    explicit StampingAudio(Arrivals& arrivals) : arrivals_(arrivals) {}
    int QueryInput(const AudioFormat&) override { return AudioNoDevice; }
    int OpenInput(const AudioFormat&, NotifyTarget, std::unique_ptr<AudioDevice>*) override { return AudioNoDevice; }
    int QueryOutput(const AudioFormat&) override { return AudioOk; }
    int OpenOutput(const AudioFormat&, int memberId, NotifyTarget notify, std::unique_ptr<AudioDevice>* device) override
    {
        *device = std::make_unique<StampingDevice>(arrivals_, memberId, std::move(notify));
        return AudioOk;
    }

private:
    Arrivals& arrivals_;
};

int udpSocket(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(0x7F000001);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

std::uint16_t portOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void run(int talkers, int rounds)
{
    Arrivals arrivals;
    arrivals.at.resize(talkers);
    StampingAudio audio(arrivals);
    NullAudioSystem noMicrophone;

    const int receiver = udpSocket(0);
    const int sender = udpSocket(0);
    if (receiver < 0 || sender < 0) {
        std::printf("cannot bind loopback sockets\n");
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(portOf(receiver));
    to.sin_addr.s_addr = htonl(0x7F000001);

    // The listener: one player per talker, fed by a receive loop as the program's receive step.
    std::vector<std::unique_ptr<VoicePlayer>> players;
    for (int id = 0; id < talkers; ++id) {
        players.push_back(std::make_unique<VoicePlayer>(audio, id));
        players.back()->StartAll();
    }
    std::thread receive([&] {
        std::array<std::uint8_t, MaxDatagramSize> buffer;
        for (;;) {
            const ssize_t n = ::recv(receiver, buffer.data(), buffer.size(), 0);
            if (n == 4) return;  // the end
            if (n != ssize_t(VoiceDatagramSize)) continue;
            const int from = buffer[2];
            if (from < talkers) players[from]->Submit(decodeVoiceRecord(buffer.data() + HeaderSize), false);
        }
    });

    // The talkers: each its own capture object and sequence, sending from one socket.
    std::vector<std::unique_ptr<VoiceCapture>> captures;
    for (int id = 0; id < talkers; ++id) {
        captures.push_back(std::make_unique<VoiceCapture>(noMicrophone));
        captures.back()->setEnabled(true);
        captures.back()->setBlockSink([&, id](const VoiceRecord& record) {
            const Bytes datagram = makeVoiceDatagram(cmd::VoiceGroup, 0, idByte(id), record);
            ::sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        });
    }
    std::vector<std::int16_t> block(480);
    for (int i = 0; i < 480; ++i) block[i] = std::int16_t(8000 * std::sin(i * 2 * M_PI * 300 / 8000));

    std::vector<double> latencies;
    const double cpuBefore = cpuSeconds();
    for (int round = 0; round < rounds; ++round) {
        {
            std::lock_guard lock(arrivals.mutex);
            arrivals.count = 0;
        }
        std::vector<Clock::time_point> started(talkers);
        // Each talker's block arrives at its capture thread (here: this thread, one after the other).
        for (int id = 0; id < talkers; ++id) {
            started[id] = Clock::now();
            captures[id]->OnBlock(reinterpret_cast<const std::uint8_t*>(block.data()), 960);
        }
        std::unique_lock lock(arrivals.mutex);
        if (!arrivals.changed.wait_for(lock, std::chrono::seconds(2), [&] { return arrivals.count >= talkers; })) continue;
        for (int id = 0; id < talkers; ++id)
            latencies.push_back(std::chrono::duration<double, std::micro>(arrivals.at[id] - started[id]).count());
    }
    const double cpu = cpuSeconds() - cpuBefore;

    const Bytes end{0, 0, 0, 0};
    ::sendto(sender, end.data(), end.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    receive.join();
    players.clear();
    ::close(receiver);
    ::close(sender);

    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies.empty() ? 0.0 : latencies[std::size_t(q * (latencies.size() - 1))]; };
    // CPU per talker and block covers both sides: encoding and sending, receiving, decoding.
    const double cpuPerBlock = cpu / (double(rounds) * talkers);
    std::printf("%2d talking: latency median %7.1f us, p99 %7.1f us (%zu blocks); CPU %.1f us per block per talker "
                "= %.2f %% of one core per talker\n",
                talkers, at(0.5), at(0.99), latencies.size(), cpuPerBlock * 1e6, 100.0 * cpuPerBlock / 0.060);
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    std::printf("voice latency, capture thread to output device, loopback UDP, %d rounds\n", rounds);
    for (int talkers : {1, 8, 16}) run(talkers, rounds);
    return 0;
}
