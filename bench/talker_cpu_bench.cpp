// What talking costs: the CPU time of one talking GroupEndpoint with its VoiceIo (the capture
// thread numbering, encoding and sending each block to 8 members, the Qt event loop and the
// member session) over
// a run of N seconds, beside the CPU time the G.729 encoder alone takes for the same blocks, in
// the same run. The 8 members are plain sockets on loopback addresses of their own that joined
// the talker's group (the talker hosts it); they never read, as a far machine costs this one
// nothing. The paced microphone's own thread (the stand-in for the sound card) is left out of
// the talker's figure and printed apart. Three turns of talking and encoding alone, interleaved;
// prints the ratio talker / encoding alone. Nothing is asserted.
//
// Beside the talker, through each turn, runs a bare loop doing the same job with nothing around
// it: sleep until the next 60 ms, encode the block, one sendmmsg to the same 8 members. A thread
// that sleeps 60 ms between blocks finds its caches cold, so this loop costs more per block than
// the encoder in a tight loop does; talker / bare loop is what the program adds to the job.
//
//   talker_cpu_bench [--seconds N]   (talking in all, default 30)
#include "bench_audio.h"
#include "bench_event_loop.h"
#include "bench_talking.h"
#include "bench_loopback.h"

#include "app/voice_io.h"
#include "net/group_endpoint.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <atomic>
#include <thread>

using namespace lumo;
using namespace lumo::bench;

int main(int argc, char** argv)
{
    const double total = secondsArgument(argc, argv, 30, 1.5);
    QTemporaryDir runtime;
    if (runtime.isValid()) qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    Microphones microphones(1);
    BenchAudio audio(&microphones, 0, nullptr);
    const Ipv4 talkerAddress = loopback(1);
    GroupEndpoint talker(talkerAddress);
    VoiceIo talkerVoice(talker, audio);
    if (!talker.socketsBound()) {
        std::printf("cannot bind the talker's ports on %s\n", dottedAddress(talkerAddress).c_str());
        return 1;
    }
    talker.connectTo("talker", talkerAddress);

    // Eight members join the talker's group from sockets of their own.
    std::vector<int> members;
    std::vector<Endpoint> memberEndpoints;
    for (int i = 0; i < 8; ++i) {
        const Ipv4 address = loopback(0x100 + i);
        const int fd = boundSocket({address, MemberPort});
        if (fd < 0) {
            std::printf("cannot bind member %d\n", i);
            return 1;
        }
        MemberEntry entry;
        entry.setName(("member" + std::to_string(i)).c_str());
        entry.id = UnassignedId;
        entry.localAddress = address;
        entry.localPort = MemberPort;
        const Bytes join = makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, entry);
        const sockaddr_in to = socketAddress({talkerAddress, HostPort});
        ::sendto(fd, join.data(), join.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        members.push_back(fd);
        memberEndpoints.push_back({address, MemberPort});
    }
    if (!waitUntil([&] { return talker.session().roster().count == 9; }, 5000)) {
        std::printf("the group did not form (%d of 9 members)\n", talker.session().roster().count);
        return 1;
    }
    const Roster& roster = talker.session().roster();
    for (int id = 0; id < roster.count; ++id)
        if (id != talker.session().ownEntry().id) talker.tick(id, true);
    talker.voiceButton();
    runFor(500);
    if (!talker.session().talking() || talker.session().voiceTargets().count != 8) {
        std::printf("the talker is not talking to 8 members\n");
        return 1;
    }

    std::printf("talker CPU: one GroupEndpoint talking to 8 members (capture thread, sendmmsg, event loop) against "
                "the G.729 encoder alone on the same blocks; %.0f s of talking in three turns\n", total);
    std::printf("load average at start: %s (2 cores shared)\n", loadAverage().c_str());
    std::vector<double> ratios, bareRatios, floorRatios;
    for (int turn = 0; turn < 3; ++turn) {
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const auto threadsBefore = threadTimes();
        std::atomic<bool> stopBare{false};
        BareLoop bare;
        std::thread bareThread([&] { bare = bareTalker(loopback(2), memberEndpoints, stopBare); });
        const double cpuBefore = seconds(CLOCK_PROCESS_CPUTIME_ID);
        const double pacerBefore = microphones.pacerCpuSeconds();
        const std::uint64_t blocksBefore = microphones.blocks();
        runFor(int(total * 1000 / 3));
        const double pacer = microphones.pacerCpuSeconds() - pacerBefore;
        const double process = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        const std::uint64_t blocks = microphones.blocks() - blocksBefore;
        const auto threadsAfter = threadTimes();
        stopBare = true;
        bareThread.join();
        const double perBlock = 1e6 / double(std::max<std::uint64_t>(1, blocks));
        const double bareUs = bare.cpu * 1e6 / double(std::max<std::uint64_t>(1, bare.blocks));
        // The bare loop ran in the same process: its CPU is not the talker's.
        const double talkingUs = (process - pacer - bare.cpu) * perBlock;
        const double aloneUs = encodeAlone(blocks) * perBlock;
        const double ratio = aloneUs > 0 ? talkingUs / aloneUs : 0;
        ratios.push_back(ratio);
        bareRatios.push_back(bareUs > 0 ? talkingUs / bareUs : 0);
        floorRatios.push_back(aloneUs > 0 ? bareUs / aloneUs : 0);
        std::printf("turn %d: %llu blocks; talker %.1f us/block (%.1f context switches/block in the process), "
                    "microphone thread %.1f us/block apart; bare loop %.1f us/block; encoding alone %.1f us/block; "
                    "talker / encoding alone %.2f, talker / bare loop %.2f\n",
                    turn + 1, (unsigned long long)blocks, talkingUs,
                    double(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw) * perBlock / 1e6,
                    pacer * perBlock, bareUs, aloneUs, ratio, bareRatios.back());
        // Which threads the time went to (the microphone's and the bare loop's among them).
        std::printf("   per thread, us/block:");
        for (const auto& [tid, used] : threadTimesSince(threadsBefore, threadsAfter))
            if (used.ns * perBlock / 1e6 >= 1000.0)
                std::printf(" %s%s %.1f", used.name.c_str(), tid == int(::getpid()) ? "(main)" : "",
                            used.ns / 1000.0 * perBlock / 1e6);
        std::printf("\n");
    }
    const Spread r = spread(ratios);
    std::printf("ratio talker / encoding alone: median %.2f (min %.2f, max %.2f); goal <= 1.30: %s\n", r.median, r.min,
                r.max, r.median <= 1.3 ? "met" : "MISSED");
    const Spread b = spread(bareRatios);
    std::printf("ratio talker / bare loop (what the program adds to encoding and sending): median %.2f (min %.2f, "
                "max %.2f)\n",
                b.median, b.min, b.max);
    const Spread f = spread(floorRatios);
    std::printf("bare loop / encoding alone (the floor for the first ratio on this machine): median %.2f (min %.2f, "
                "max %.2f)\n",
                f.median, f.min, f.max);
    std::printf("load average at end: %s\n", loadAverage().c_str());
    talker.voiceButton();
    runFor(100);
    for (const int fd : members) ::close(fd);
    return 0;
}
