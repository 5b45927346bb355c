// What talking costs the real program: a `lumo` process (offscreen, `--audio wav` with a
// microphone file that speaks all along) hosts a group that 8 plain sockets join, ticks the 8
// through its overlay link and talks to them for N seconds. Its CPU is read from /proc per thread,
// leaving out the WAV microphone's pacing thread (the stand-in for the sound card), and set beside
// the encoder alone and a bare loop (sleep, encode, one sendmmsg to the same 8) run in this process
// at the same time. Three turns; prints the ratios. Nothing is asserted.
//
//   lumo_talker_bench [--seconds N]   (talking in all, default 30)
#include "bench_loopback.h"
#include "bench_talking.h"
#include "fake_peer.h"
#include "link_control.h"
#include "lumo_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

using namespace lumo;

namespace {

constexpr const char* MicrophoneThread = "wav microphone";

// `seconds` of the tone as an 8 kHz 16-bit mono WAV file.
bool writeToneWav(const QString& path, int seconds)
{
    const std::array<std::int16_t, 480> block = bench::toneBlock();
    const std::uint32_t dataBytes = std::uint32_t(seconds) * 8000 * 2;
    QByteArray out;
    auto u32 = [&out](std::uint32_t v) { for (int i = 0; i < 4; ++i) out.append(char((v >> (8 * i)) & 0xFF)); };
    auto u16 = [&out](std::uint16_t v) { out.append(char(v & 0xFF)).append(char(v >> 8)); };
    out.append("RIFF");
    u32(36 + dataBytes);
    out.append("WAVEfmt ");
    u32(16);
    u16(1);  // PCM
    u16(1);  // mono
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    out.append("data");
    u32(dataBytes);
    for (std::uint32_t sample = 0; sample < dataBytes / 2; ++sample) u16(std::uint16_t(block[sample % block.size()]));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}

// Voice datagrams from `talker` that reached `member` since the last call (the rest, the bare
// loop's among them, is drained and dropped).
int voiceArrived(test::FakePeer& member, Ipv4 talker)
{
    int count = 0;
    for (const auto& received : member.collect(0))
        if (received.bytes.size() == VoiceDatagramSize && received.from.address == talker) ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    const double total = bench::secondsArgument(argc, argv, 30, 3.0);
    QCoreApplication app(argc, argv);

    QTemporaryDir work;
    const QString tone = work.filePath(QStringLiteral("tone.wav"));
    if (!work.isValid() || !writeToneWav(tone, int(total) + 20)) {
        std::printf("cannot write the microphone file\n");
        return 1;
    }
    const Ipv4 address = test::loopback(1);
    const QString dotted = QString::fromStdString(dottedAddress(address));
    test::OverlayStandIn link;
    test::LumoProcess lumo(address,
                           {QStringLiteral("--name"), QStringLiteral("talker"), QStringLiteral("--connect"), dotted,
                            QStringLiteral("--audio"), QStringLiteral("wav:") + tone + QLatin1Char(':') + work.path()},
                           link.runtimeDirectory());
    test::FakePeer probe(test::loopback(2), 0);
    if (!lumo.waitUntilAnswering(probe) || !link.waitForMailbox()) {
        std::printf("lumo did not start on %s\n", qPrintable(dotted));
        return 1;
    }
    QTest::qWait(800);  // lumo enters its own group first, as member 0

    // Eight members join from sockets of their own.
    std::vector<std::unique_ptr<test::FakePeer>> members;
    std::vector<Endpoint> memberEndpoints;
    for (int i = 0; i < 8; ++i) {
        auto member = std::make_unique<test::FakePeer>(test::loopback(0x100 + i), MemberPort);
        if (!member->bound()) {
            std::printf("cannot bind member %d\n", i);
            return 1;
        }
        MemberEntry entry;
        entry.setName(("member" + std::to_string(i)).c_str());
        entry.id = UnassignedId;
        entry.localAddress = member->endpoint().address;
        entry.localPort = MemberPort;
        member->send(makeEntryDatagram(cmd::JoinRequest, 0xCC, 0, Kind::ToHost, entry), lumo.hostEndpoint());
        memberEndpoints.push_back(member->endpoint());
        members.push_back(std::move(member));
        QTest::qWait(50);
    }
    QTest::qWait(800);
    // The member list shows the newest first: rows 0 to 7 are the 8 members, row 8 lumo itself.
    for (int row = 0; row < 8; ++row) link.post(link::to_main::SelectMember, row);
    QTest::qWait(300);
    link.post(link::to_main::VoiceToggle, 1);
    QTest::qWait(1000);
    for (auto& member : members) voiceArrived(*member, address);
    QTest::qWait(600);
    int reached = 0;
    for (auto& member : members) reached += voiceArrived(*member, address) > 0 ? 1 : 0;
    if (reached != 8) {
        std::printf("lumo is not talking to the 8 members (%d hear it)\n", reached);
        return 1;
    }

    const QString pid = QString::number(lumo.pid());
    std::printf("lumo talker CPU: a real lumo process talking to 8 members (--audio wav), its threads but the WAV "
                "microphone's, against the G.729 encoder alone and a bare loop; %.0f s of talking in three turns\n",
                total);
    std::printf("load average at start: %s (2 cores shared)\n", bench::loadAverage().c_str());
    std::vector<double> ratios, bareRatios, floorRatios;
    for (int turn = 0; turn < 3; ++turn) {
        std::atomic<bool> stopBare{false};
        bench::BareLoop bare;
        std::thread bareThread([&] { bare = bench::bareTalker(test::loopback(3), memberEndpoints, stopBare); });
        const auto before = bench::threadTimes(pid);
        std::uint64_t blocks = 0;
        QElapsedTimer turnTime;
        turnTime.start();
        while (turnTime.elapsed() < qint64(total * 1000 / 3)) {
            QTest::qWait(100);
            blocks += std::uint64_t(voiceArrived(*members[0], address));
            for (std::size_t i = 1; i < members.size(); ++i) voiceArrived(*members[i], address);
        }
        const auto used = bench::threadTimesSince(before, bench::threadTimes(pid));
        stopBare = true;
        bareThread.join();
        double lumoNs = 0, microphoneNs = 0;
        for (const auto& [tid, thread] : used) (thread.name == MicrophoneThread ? microphoneNs : lumoNs) += thread.ns;
        const double perBlock = 1.0 / double(std::max<std::uint64_t>(1, blocks));
        const double lumoUs = lumoNs / 1000 * perBlock;
        const double bareUs = bare.cpu * 1e6 / double(std::max<std::uint64_t>(1, bare.blocks));
        const double aloneUs = bench::encodeAlone(blocks) * 1e6 * perBlock;
        ratios.push_back(aloneUs > 0 ? lumoUs / aloneUs : 0);
        bareRatios.push_back(bareUs > 0 ? lumoUs / bareUs : 0);
        floorRatios.push_back(aloneUs > 0 ? bareUs / aloneUs : 0);
        std::printf("turn %d: %llu blocks; lumo %.1f us/block (%.2f %% of a core), WAV microphone %.1f us/block apart; "
                    "bare loop %.1f us/block; encoding alone %.1f us/block; lumo / encoding alone %.2f, lumo / bare "
                    "loop %.2f\n",
                    turn + 1, (unsigned long long)blocks, lumoUs, lumoUs / 600.0, microphoneNs / 1000 * perBlock, bareUs,
                    aloneUs, ratios.back(), bareRatios.back());
        std::printf("   lumo per thread, us/block:");
        for (const auto& [tid, thread] : used)
            if (thread.ns / 1000 * perBlock >= 1.0)
                std::printf(" %s%s %.1f", thread.name.c_str(), qint64(tid) == lumo.pid() ? "(main)" : "",
                            thread.ns / 1000 * perBlock);
        std::printf("\n");
    }
    const bench::Spread r = bench::spread(ratios);
    std::printf("ratio lumo / encoding alone: median %.2f (min %.2f, max %.2f); goal <= 1.30: %s\n", r.median, r.min,
                r.max, r.median <= 1.3 ? "met" : "MISSED");
    const bench::Spread b = bench::spread(bareRatios);
    std::printf("ratio lumo / bare loop (what the program adds to encoding and sending): median %.2f (min %.2f, max "
                "%.2f)\n",
                b.median, b.min, b.max);
    const bench::Spread f = bench::spread(floorRatios);
    std::printf("bare loop / encoding alone (the floor for the first ratio on this machine): median %.2f (min %.2f, "
                "max %.2f)\n",
                f.median, f.min, f.max);
    std::printf("load average at end: %s\n", bench::loadAverage().c_str());
    link.post(link::to_main::VoiceToggle, 0);
    lumo.stop();
    return 0;
}
