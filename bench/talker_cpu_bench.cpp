// What talking costs: the CPU time of one talking GroupEndpoint (its capture thread numbering,
// encoding and sending each block to 8 members, its Qt event loop and the member session) over
// a run of N seconds, beside the CPU time the G.729 encoder alone takes for the same blocks, in
// the same run. The 8 members are plain sockets on loopback addresses of their own that joined
// the talker's group (the talker hosts it); they never read, as a far machine costs this one
// nothing. The paced microphone's own thread (the stand-in for the sound card) is left out of
// the talker's figure and printed apart. Three turns of talking and encoding alone, interleaved;
// prints the ratio talker / encoding alone. Nothing is asserted.
//
//   talker_cpu_bench [--seconds N]   (talking in all, default 30)
#include "bench_audio.h"
#include "bench_loopback.h"

#include "net/group_endpoint.h"
#include "voice/voice_codec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstring>
#include <map>
#include <thread>

using namespace lumo;
using namespace lumo::bench;

namespace {

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) runFor(10);
    return done();
}

// The encoder alone on `blocks` blocks of the microphone's sound: CPU seconds of this thread.
double encodeAlone(std::uint64_t blocks)
{
    std::array<std::int16_t, 480> tone;
    for (int i = 0; i < 480; ++i)
        tone[std::size_t(i)] = std::int16_t(9000 * std::sin(i * 2 * M_PI * 300 / 8000.0) +
                                            3000 * std::sin(i * 2 * M_PI * 1170 / 8000.0));
    VoiceCodec codec;
    std::array<std::uint8_t, 64> out{};
    int produced = 0;
    codec.Encode(tone.data(), 960, out.data(), &produced);  // the codec's warm-up block
    const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
    for (std::uint64_t b = 0; b < blocks; ++b) codec.Encode(tone.data(), 960, out.data(), &produced);
    return seconds(CLOCK_THREAD_CPUTIME_ID) - before;
}

// The kernel's part of sending: the same 8 datagrams per block, one sendmmsg each, from a plain
// socket to the same members (on loopback the receiving side's work is done in the sender's
// system call too). CPU seconds of this thread.
double sendAlone(std::uint64_t blocks, const std::vector<Endpoint>& to)
{
    const int fd = boundSocket({loopback(2), 0});
    if (fd < 0) return 0;
    std::array<std::uint8_t, VoiceDatagramSize> bytes{};
    std::array<sockaddr_in, 8> targets;
    std::array<iovec, 8> vectors;
    std::array<mmsghdr, 8> headers;
    for (std::size_t i = 0; i < 8; ++i) {
        targets[i] = socketAddress(to[i % to.size()]);
        vectors[i] = {bytes.data(), bytes.size()};
        headers[i] = mmsghdr{};
        headers[i].msg_hdr.msg_name = &targets[i];
        headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
    for (std::uint64_t b = 0; b < blocks; ++b) {
        ::sendmmsg(fd, headers.data(), 8, MSG_DONTWAIT);
        // Paced a little, as blocks are: the members' queues drain and fill as they do then.
        if (b % 8 == 7) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double used = seconds(CLOCK_THREAD_CPUTIME_ID) - before;
    ::close(fd);
    return used;
}

// The encoder as the capture thread meets it: one block every 60 ms on a thread that sleeps in
// between (cold caches, a core that may have slowed down). CPU seconds per block.
double encodePaced(int blocks)
{
    std::array<std::int16_t, 480> tone;
    for (int i = 0; i < 480; ++i) tone[std::size_t(i)] = std::int16_t(9000 * std::sin(i * 2 * M_PI * 300 / 8000.0));
    VoiceCodec codec;
    std::array<std::uint8_t, 64> out{};
    int produced = 0;
    codec.Encode(tone.data(), 960, out.data(), &produced);
    double used = 0;
    for (int b = 0; b < blocks; ++b) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const double before = seconds(CLOCK_THREAD_CPUTIME_ID);
        codec.Encode(tone.data(), 960, out.data(), &produced);
        used += seconds(CLOCK_THREAD_CPUTIME_ID) - before;
    }
    return used / blocks;
}

// Nanoseconds on a CPU so far, per thread of this process (from /proc/self/task/*/schedstat).
std::map<int, std::pair<std::string, double>> threadTimes()
{
    std::map<int, std::pair<std::string, double>> out;
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!stat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly)) continue;
        const double ns = QString::fromLatin1(stat.readAll()).split(QLatin1Char(' ')).value(0).toDouble();
        out[tid.toInt()] = {comm.readAll().trimmed().toStdString(), ns};
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    double total = 30;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) total = std::max(1.5, std::atof(argv[i + 1]));
    QTemporaryDir runtime;
    if (runtime.isValid()) qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    Microphones microphones(1);
    BenchAudio audio(&microphones, 0, nullptr);
    const Ipv4 talkerAddress = loopback(1);
    GroupEndpoint talker(talkerAddress, audio);
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
    std::vector<double> ratios, sendRatios, talkerUs;
    for (int turn = 0; turn < 3; ++turn) {
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const auto threadsBefore = threadTimes();
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
        const double talking = process - pacer;
        const double alone = encodeAlone(blocks);
        const double sending = sendAlone(blocks, memberEndpoints);
        const double ratio = alone > 0 ? talking / alone : 0;
        ratios.push_back(ratio);
        talkerUs.push_back(talking * 1e6 / double(std::max<std::uint64_t>(1, blocks)));
        sendRatios.push_back(alone > 0 ? (alone + sending) / alone : 0);
        const double perBlock = 1e6 / double(std::max<std::uint64_t>(1, blocks));
        std::printf("turn %d: %llu blocks; talker %.1f us/block (%.1f context switches/block in the process), "
                    "microphone thread %.1f us/block apart; encoding alone %.1f us/block, one sendmmsg of the 8 "
                    "datagrams alone %.1f us/block; ratio %.2f (encoding + sendmmsg alone: %.2f)\n",
                    turn + 1, (unsigned long long)blocks, talking * perBlock,
                    double(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw) /
                        double(std::max<std::uint64_t>(1, blocks)),
                    pacer * perBlock, alone * perBlock, sending * perBlock, ratio, sendRatios.back());
        // Which threads the time went to (the microphone's thread among them).
        std::printf("   per thread, us/block:");
        for (const auto& [tid, entry] : threadsAfter) {
            const auto earlier = threadsBefore.find(tid);
            const double ns = entry.second - (earlier == threadsBefore.end() ? 0.0 : earlier->second.second);
            if (ns / double(std::max<std::uint64_t>(1, blocks)) >= 1000.0)
                std::printf(" %s%s %.1f", entry.first.c_str(), tid == int(::getpid()) ? "(main)" : "",
                            ns / 1000.0 / double(std::max<std::uint64_t>(1, blocks)));
        }
        std::printf("\n");
    }
    const Spread r = spread(ratios);
    std::printf("ratio talker / encoding alone: median %.2f (min %.2f, max %.2f); goal <= 1.30: %s\n", r.median, r.min,
                r.max, r.median <= 1.3 ? "met" : "MISSED");
    const double paced = encodePaced(50);
    std::vector<double> talkerPerBlock = talkerUs;
    const Spread t = spread(talkerPerBlock);
    std::printf("encoding one block every 60 ms on a sleeping thread: %.1f us/block; talker / that: %.2f (median "
                "talker %.1f us/block)\n",
                paced * 1e6, paced > 0 ? t.median / (paced * 1e6) : 0.0, t.median);
    const Spread f = spread(sendRatios);
    std::printf("floor on loopback, encoding + one sendmmsg alone / encoding alone: median %.2f (min %.2f, max %.2f)\n",
                f.median, f.min, f.max);
    std::printf("load average at end: %s\n", loadAverage().c_str());
    talker.voiceButton();
    runFor(100);
    for (const int fd : members) ::close(fd);
    return 0;
}
