// Voice as it travels in the program: 1, 8 and 16 talkers, each a real GroupEndpoint on a
// loopback address of its own with its capture thread (VoiceCapture behind a paced microphone
// that completes a 60 ms block every 60 ms), sending through its member socket to one listener,
// a real GroupEndpoint that hosts the group: its socket drain and Qt event loop, the member
// session, the players' threads and decoders, down to output devices that note when a record's
// first samples are handed to them. Every endpoint runs in this process; the talkers' blocks are
// spread over the 60 ms period as independent machines' would be.
//
// Latency is from the moment a block is complete at the microphone (the 60 ms of recording
// itself excluded) to the moment its decoded samples reach the output device. Prints median and
// p99 per talker count and whether p99 is within 3 ms at 16 talkers. Nothing is asserted.
//
//   voice_pipeline_bench [--seconds S]   (measured per talker count, default 10)
#include "bench_audio.h"
#include "bench_event_loop.h"
#include "bench_loopback.h"

#include "app/voice_io.h"
#include "net/group_endpoint.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <memory>

using namespace lumo;
using namespace lumo::bench;

namespace {

int idOf(const MemberSession& session, Ipv4 address)
{
    const Roster& roster = session.roster();
    for (int id = 0; id < roster.count; ++id)
        if (roster.records[std::size_t(id)].publicAddress == address) return id;
    return -1;
}

struct Result {
    double median = 0, p99 = 0, max = 0;
    std::size_t count = 0;
    double cpuPerBlockUs = 0;
    long contextSwitchesPerBlock = 0;
};

Result run(int talkers, double measureSeconds)
{
    Microphones microphones(talkers);
    std::mutex latencyLock;
    std::vector<double> latencies;
    std::atomic<bool> measuring{false};
    std::map<int, int> talkerOfMember;  // listener's member id -> talker index, set before talking

    Speakers speakers([&](int memberId, Clock::time_point at) {
        if (!measuring) return;
        auto it = talkerOfMember.find(memberId);
        if (it == talkerOfMember.end()) return;
        const auto block = microphones.blockBefore(it->second, at);
        if (!block) return;
        std::lock_guard lock(latencyLock);
        latencies.push_back(std::chrono::duration<double, std::milli>(at - *block).count());
    });

    const Ipv4 listenerAddress = loopback(1);
    BenchAudio listenerAudio(nullptr, -1, &speakers);
    GroupEndpoint listener(listenerAddress);
    VoiceIo listenerVoice(listener, listenerAudio);
    // The listener says yes to every talker it is asked about.
    QObject::connect(&listener, &GroupEndpoint::sessionEvent, &listener, [&](const SessionEvent& event) {
        if (event.kind != SessionEvent::Kind::AskVoice) return;
        const int id = event.memberId;
        QTimer::singleShot(0, &listener, [&listener, id] { listener.answerQuestion(id, true); });
    });
    std::vector<std::unique_ptr<BenchAudio>> audio;
    std::vector<std::unique_ptr<GroupEndpoint>> talking;
    std::vector<std::unique_ptr<VoiceIo>> voices;
    for (int t = 0; t < talkers; ++t) {
        audio.push_back(std::make_unique<BenchAudio>(&microphones, t, nullptr));
        talking.push_back(std::make_unique<GroupEndpoint>(loopback(0x100 + t)));
        voices.push_back(std::make_unique<VoiceIo>(*talking.back(), *audio.back()));
    }
    if (!listener.socketsBound()) {
        std::printf("cannot bind the listener's ports\n");
        std::exit(1);
    }
    for (auto& endpoint : talking)
        if (!endpoint->socketsBound()) {
            std::printf("cannot bind a talker's ports\n");
            std::exit(1);
        }

    listener.connectTo("listener", listenerAddress);
    for (int t = 0; t < talkers; ++t) {
        talking[std::size_t(t)]->connectTo("talker" + std::to_string(t), listenerAddress);
        runFor(5);
    }
    if (!waitUntil([&] { return listener.session().roster().count == talkers + 1; }, 5000)) {
        std::printf("the group did not form (%d of %d members)\n", listener.session().roster().count, talkers + 1);
        std::exit(1);
    }
    waitUntil([&] {
        for (auto& endpoint : talking)
            if (endpoint->session().roster().count != talkers + 1) return false;
        return true;
    }, 5000);
    for (int t = 0; t < talkers; ++t) {
        GroupEndpoint& endpoint = *talking[std::size_t(t)];
        talkerOfMember[idOf(listener.session(), loopback(0x100 + t))] = t;
        endpoint.tick(idOf(endpoint.session(), listenerAddress), true);
        endpoint.voiceButton();
    }
    // The listener hears each talker's first block, asks and accepts; then it only plays.
    runFor(1500);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double cpuBefore = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const std::uint64_t blocksBefore = microphones.blocks();
    measuring = true;
    runFor(int(measureSeconds * 1000));
    measuring = false;
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const std::uint64_t blocks = std::max<std::uint64_t>(1, microphones.blocks() - blocksBefore);

    for (auto& endpoint : talking) endpoint->voiceButton();
    runFor(100);
    voices.clear();
    talking.clear();

    Result result;
    std::lock_guard lock(latencyLock);
    std::sort(latencies.begin(), latencies.end());
    result.count = latencies.size();
    result.median = percentile(latencies, 0.5);
    result.p99 = percentile(latencies, 0.99);
    result.max = latencies.empty() ? 0 : latencies.back();
    result.cpuPerBlockUs = cpu * 1e6 / double(blocks);
    result.contextSwitchesPerBlock =
        long((after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw) / long(blocks));
    if (latencies.size() < blocks * 9 / 10)
        std::printf("  (only %zu of %llu blocks reached a speaker)\n", latencies.size(), (unsigned long long)blocks);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    const double measureSeconds = secondsArgument(argc, argv, 10, 1.0);
    // The endpoints' overlay mailboxes live in a runtime directory of the bench's own.
    QTemporaryDir runtime;
    if (runtime.isValid()) qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    std::printf("voice pipeline: block complete at the microphone -> talker's capture thread -> member socket -> "
                "listener's socket drain, session, player thread -> output device; loopback, %.0f s per count\n",
                measureSeconds);
    std::printf("load average at start: %s (2 cores shared)\n", loadAverage().c_str());
    double p99At16 = 0;
    for (const int talkers : {1, 8, 16}) {
        const Result r = run(talkers, measureSeconds);
        std::printf("%2d talking: median %.3f ms, p99 %.3f ms, max %.3f ms (%zu blocks); whole process %.0f us CPU "
                    "and %ld context switches per block\n",
                    talkers, r.median, r.p99, r.max, r.count, r.cpuPerBlockUs, r.contextSwitchesPerBlock);
        if (talkers == 16) p99At16 = r.p99;
    }
    std::printf("goal p99 <= 3 ms at 16 talkers: %s (p99 %.3f ms)\n", p99At16 <= 3.0 ? "met" : "MISSED", p99At16);
    std::printf("load average at end: %s\n", loadAverage().c_str());
    return 0;
}
