// What a listener hears from a member who talks without a pause, between real processes: this
// program is the talker (a plain socket that schedules voice records to the microsecond, on a
// clock of its own that may run fast or slow, through a network it makes up: loss, swaps,
// jitter, a delay spike) and a real `lumo --audio wav:...` is the listener. The listener's speaker
// file runs on the real-time clock (one 10 ms period per tick); this program watches it grow to
// learn when each period was taken, then explains every 10 ms of it: a record (found by waveform
// against the talk decoded once, so a time-scaled record is found too), concealment, or hard
// silence (a period of zeros). Prints per scenario: records played once, never, repeated; the lag
// (play time minus the talker's send time) mean, median, p95, max; mouth-to-ear (the lag plus the
// 60 ms a block takes to record); hard-silence periods inside the talk; and for the spike how
// long the lag took to come back. Nothing is asserted.
//
//   voice_playout_bench [--seconds S] [--drift-seconds S] [--runs N] [--only NAME] [--lumo PATH]
//
// --seconds: talk per scenario (default 30); --drift-seconds: talk on a drifting clock (default
// 180); --only: one scenario (clean, spike, fast, slow, loss10, loss30); --lumo: another lumo
// binary, to measure an older build with the same bench.
#include "bench_loopback.h"
#include "voice_judge.h"
#include "fake_peer.h"
#include "link_control.h"
#include "private_folders.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <map>
#include <thread>

using namespace lumo;

namespace {

double monotonicMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void sleepUntilMs(double ms)
{
    timespec t{};
    t.tv_sec = time_t(ms / 1e3);
    t.tv_nsec = long((ms - double(t.tv_sec) * 1e3) * 1e6);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

struct Scenario {
    const char* name;
    double seconds = 30;
    double drift = 0;       // +0.01: the talker's clock runs 1 % fast (a record every 59.4 ms)
    double loss = 0, swap = 0;
    int jitterMs = 0;
    double spikeAtS = -1;   // a delay spike: records sent in the next spikeMs wait until it ends
    int spikeMs = 400;
};

// The talk: the test phrase over and over, each time a little different (forward or reversed,
// at one of three rates), so that no two seconds of it look alike, with a faint noise floor so
// that no period of it is digital silence.
std::vector<std::int16_t> talkSamples(std::size_t count)
{
    // The test phrase, found from the source tree (its helper looks beside its header, which a
    // cached build may name by a relative path).
    test::Wav wav;
    test::readWav(std::filesystem::path(LUMO_SOURCE_DIR) / "tests" / "data" / "voice_phrase.wav", &wav);
    std::vector<std::int16_t> phrase = wav.samples;
    auto loud = [](std::int16_t v) { return std::abs(int(v)) > 300; };
    const auto first = std::find_if(phrase.begin(), phrase.end(), loud);
    const auto last = std::find_if(phrase.rbegin(), phrase.rend(), loud).base();
    phrase = std::vector<std::int16_t>(first, last);
    std::vector<std::int16_t> out;
    std::mt19937 noise(17);
    for (int k = 0; out.size() < count && !phrase.empty(); ++k) {
        const double rate = 1.0 + 0.08 * (k % 3);
        for (double at = 0; at + 1 < double(phrase.size()) && out.size() < count; at += rate) {
            const std::size_t i = std::size_t(at);
            const double frac = at - double(i);
            double v = phrase[i] * (1 - frac) + phrase[i + 1] * frac;
            if (k % 2) v = phrase[phrase.size() - 1 - i];
            out.push_back(std::int16_t(std::clamp(v + double(int(noise() % 61) - 30), -32768.0, 32767.0)));
        }
    }
    out.resize(count);
    return out;
}

struct Record {
    VoiceRecord record;
    double sentMs = 0;       // on the test's clock: when the talker sent it
    double deliverMs = -1;   // when it reaches the listener (-1: lost)
};

// The records of one scenario, their send times on the talker's clock and what the network does.
std::vector<Record> schedule(const Scenario& s, std::uint32_t firstSequence, double startMs, unsigned seed)
{
    const int count = int(s.seconds * 1000 / 60);
    const std::vector<std::int16_t> talk = talkSamples(std::size_t(count) * BlockSamples);
    VoiceCodec encoder;
    std::mt19937 random(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    std::vector<Record> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Record& r = out[std::size_t(i)];
        r.record.sequence = firstSequence + std::uint32_t(i);
        encoder.Encode(talk.data() + std::size_t(i) * BlockSamples, BlockBytes, r.record.speech.data(), nullptr);
        r.sentMs = startMs + i * 60.0 / (1 + s.drift);
        if (chance(s.loss)) continue;
        r.deliverMs = r.sentMs + (s.jitterMs > 0 ? double(random() % unsigned(s.jitterMs + 1)) : 0);
        const double spikeAt = startMs + s.spikeAtS * 1000;
        if (s.spikeAtS >= 0 && r.sentMs >= spikeAt && r.sentMs < spikeAt + s.spikeMs)
            r.deliverMs = std::max(r.deliverMs, spikeAt + s.spikeMs);
    }
    // A swapped record leaves right after its successor.
    for (int i = 0; i + 1 < count; ++i) {
        Record& r = out[std::size_t(i)];
        Record& next = out[std::size_t(i) + 1];
        if (r.deliverMs >= 0 && next.deliverMs >= 0 && chance(s.swap)) r.deliverMs = std::max(r.deliverMs, next.deliverMs + 0.5);
    }
    return out;
}

// When the listener's speaker took each period: the file grows by 80 samples per tick of its
// 10 ms clock, ticks never come early, so the earliest (seen time - 10 ms x periods) is its start.
class SpeakerWatch {
public:
    explicit SpeakerWatch(std::string path) : path_(std::move(path)) {}
    ~SpeakerWatch() { stop(); }
    void start()
    {
        thread_ = std::thread([this] {
            int seen = 0;
            while (!stop_ && seen < 3000) {
                struct stat st {};
                if (::stat(path_.c_str(), &st) == 0 && st.st_size > 44) {
                    const double periods = std::floor(double(st.st_size - 44) / 160);
                    if (periods >= 1) best_ = std::min(best_.load(), monotonicMs() - 10 * periods), ++seen;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(700));
            }
        });
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    double startMs() const { return best_; }

private:
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<double> best_{1e300};
};

struct Result {
    int sent = 0, delivered = 0, playedOnce = 0, never = 0, repeats = 0;
    int hardSilence = 0, concealed = 0, matched = 0;
    double lagMean = 0, lagMedian = 0, lagP95 = 0, lagMax = 0;
    double lagBeforeSpike = 0, recoveredAfterS = -1, lagLast10s = 0;
};

double correlate(const std::int16_t* a, const std::int16_t* b, int n)
{
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < n; ++i) ab += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// Explains every 10 ms period of the speaker file after the talk began.
Result judge(const Scenario& s, const std::vector<Record>& records, const std::vector<VoiceRecord>& before,
             const std::vector<std::int16_t>& heard, double fileStartMs)
{
    constexpr int P = 80;
    // The talk as one decoder makes of it, every record in order (after the warm-up's).
    VoiceCodec decoder;
    std::vector<std::int16_t> block(BlockSamples);
    for (const VoiceRecord& r : before) decoder.Decode(r.speech.data(), CodedBlockSize, block.data(), nullptr);
    std::vector<std::int16_t> reference(records.size() * BlockSamples);
    for (std::size_t i = 0; i < records.size(); ++i)
        decoder.Decode(records[i].record.speech.data(), CodedBlockSize, reference.data() + i * BlockSamples, nullptr);
    const double earMs0 = fileStartMs + 10;  // sample i is taken at earMs0 + i / 8

    Result out;
    out.sent = int(records.size());
    const std::size_t firstPeriod = std::size_t(std::max(0.0, (records.front().sentMs - earMs0) / 10));
    std::vector<int> framesOf(records.size(), 0);
    std::vector<int> runsOf(records.size(), 0);
    std::vector<double> lagOf(records.size(), -1);
    long lastR = -1;
    std::size_t lastPeriod = 0;
    int lastRecord = -1;
    std::size_t firstMatched = 0, lastMatched = 0;
    std::vector<char> zero;
    auto usable = [&](long R) { return R >= 0 && std::size_t(R) + P <= reference.size() && records[std::size_t(R) / BlockSamples].deliverMs >= 0; };
    for (std::size_t p = firstPeriod; (p + 1) * P <= heard.size(); ++p) {
        const std::int16_t* h = heard.data() + p * P;
        const bool silent = std::all_of(h, h + P, [](std::int16_t v) { return v == 0; });
        zero.push_back(silent);
        if (silent) continue;
        const double earMs = earMs0 + double(p) * 10;
        double best = 0;
        long bestR = -1;
        if (lastR >= 0 && p - lastPeriod <= 12) {
            const long predicted = lastR + long(p - lastPeriod) * P;
            for (long R = predicted - 200; R <= predicted + 200; ++R)
                if (usable(R)) {
                    const double c = correlate(h, reference.data() + R, P);
                    if (c > best) best = c, bestR = R;
                }
        }
        if (best < 0.85) {
            best = 0;
            for (std::size_t i = 0; i < records.size(); ++i) {
                if (records[i].deliverMs < 0 || records[i].sentMs > earMs || records[i].sentMs < earMs - 1500) continue;
                for (long R = long(i * BlockSamples); R < long((i + 1) * BlockSamples); ++R)
                    if (usable(R)) {
                        const double c = correlate(h, reference.data() + R, P);
                        if (c > best) best = c, bestR = R;
                    }
            }
            if (best < 0.9) bestR = -1;
        }
        if (bestR < 0) {
            ++out.concealed;
            continue;
        }
        const int index = int(std::size_t(bestR) / BlockSamples);
        if (++out.matched == 1) firstMatched = p;
        lastMatched = p;
        if (framesOf[std::size_t(index)]++ == 0) lagOf[std::size_t(index)] = earMs - records[std::size_t(index)].sentMs - double(bestR % BlockSamples) / 8;
        if (index != lastRecord) ++runsOf[std::size_t(index)];
        lastRecord = index;
        lastR = bestR;
        lastPeriod = p;
    }
    for (std::size_t p = firstMatched; p <= lastMatched && p - firstPeriod < zero.size(); ++p)
        if (zero[p - firstPeriod]) ++out.hardSilence;

    std::vector<double> lags;
    double sum = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].deliverMs < 0) continue;
        ++out.delivered;
        if (framesOf[i] == 0) ++out.never;
        else if (runsOf[i] == 1) ++out.playedOnce;
        if (runsOf[i] > 1) out.repeats += runsOf[i] - 1;
        if (lagOf[i] >= 0) lags.push_back(lagOf[i]), sum += lagOf[i];
    }
    if (!lags.empty()) {
        out.lagMean = sum / double(lags.size());
        out.lagMax = *std::max_element(lags.begin(), lags.end());
        std::vector<double> sorted = lags;
        std::sort(sorted.begin(), sorted.end());
        out.lagMedian = bench::percentile(sorted, 0.5);
        out.lagP95 = bench::percentile(sorted, 0.95);
    }
    auto medianLag = [&](double fromMs, double toMs) {
        std::vector<double> v;
        for (std::size_t i = 0; i < records.size(); ++i)
            if (lagOf[i] >= 0 && records[i].sentMs >= fromMs && records[i].sentMs < toMs) v.push_back(lagOf[i]);
        std::sort(v.begin(), v.end());
        return bench::percentile(v, 0.5);
    };
    const double t0 = records.front().sentMs, tEnd = records.back().sentMs;
    out.lagLast10s = medianLag(tEnd - 10000, tEnd + 1);
    if (s.spikeAtS >= 0) {
        const double spikeAt = t0 + s.spikeAtS * 1000;
        out.lagBeforeSpike = medianLag(spikeAt - 3000, spikeAt);
        // From when on every record's lag stays within 20 ms of what it was before.
        double recovered = spikeAt;
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i].sentMs >= spikeAt && lagOf[i] > out.lagBeforeSpike + 20) recovered = records[i].sentMs + 60;
        out.recoveredAfterS = (recovered - spikeAt) / 1000;
    }
    return out;
}

// A real lumo listener, started as the end-to-end tests start it, from `binary`.
class Listener {
public:
    Listener(const QString& binary, Ipv4 address, const QStringList& arguments, const QString& runtime)
        : address_(address)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        test::usePrivateFolders(env, home_.path());
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(QStringLiteral(LUMO_RUN_DIR));
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(binary, QStringList{QStringLiteral("--bind"), QString::fromStdString(dottedAddress(address))} + arguments);
    }
    ~Listener()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(2000);
    }
    bool waitUntilAnswering(test::FakePeer& probe)
    {
        MemberEntry nobody;
        nobody.id = 200;
        for (int i = 0; i < 25; ++i) {
            if (process_.state() == QProcess::NotRunning) return false;
            probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {address_, HostPort});
            if (probe.next(200, cmd::Ack)) return true;
        }
        return false;
    }
    Endpoint memberEndpoint() const { return {address_, MemberPort}; }

private:
    QTemporaryDir home_;
    QProcess process_;
    Ipv4 address_;
};

bool runScenario(const Scenario& s, const QString& binary, unsigned seed, Result* result)
{
    QTemporaryDir work;
    const QString silence = work.filePath(QStringLiteral("silence.wav"));
    if (!test::writeSilentWav(silence.toStdString())) return false;
    const Ipv4 hostAddress = bench::loopback(33), talkerAddress = bench::loopback(34), listenerAddress = bench::loopback(35);
    test::OverlayStandIn link;
    test::FakePeer host(hostAddress, HostPort);
    const int talker = bench::boundSocket({talkerAddress, MemberPort});
    if (!host.bound() || talker < 0) return false;
    Listener listener(binary, listenerAddress,
                      {"--name", "listener", "--connect", QString::fromStdString(dottedAddress(hostAddress)), "--audio",
                       "wav:" + silence + ":" + work.path()},
                      link.runtimeDirectory());
    if (!listener.waitUntilAnswering(host) || !link.waitForMailbox()) {
        std::printf("%s: the listener did not start\n", s.name);
        ::close(talker);
        return false;
    }
    Roster roster;
    roster.count = 2;
    roster.records[0] = test::memberAt(0, "talker", talkerAddress);
    roster.records[1] = test::memberAt(1, "listener", listenerAddress);
    host.send(makeRosterUpdate(1, roster), listener.memberEndpoint());
    QTest::qWait(300);
    if (!link.openAsOverlay()) return false;
    const sockaddr_in to = bench::socketAddress(listener.memberEndpoint());
    auto send = [&](const VoiceRecord& r) {
        const Bytes d = makeVoiceDatagram(cmd::VoiceGroup, 1, 0, r);
        ::sendto(talker, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };

    // A first spurt that the listener is asked about and accepts, then a pause.
    const std::string speaker = work.filePath(QStringLiteral("peer-0.wav")).toStdString();
    SpeakerWatch watch(speaker);
    watch.start();
    std::vector<VoiceRecord> warmUp;
    {
        const std::vector<std::int16_t> talk = talkSamples(20 * BlockSamples);
        VoiceCodec encoder;
        double at = monotonicMs();
        for (int i = 0; i < 20; ++i) {
            VoiceRecord r;
            r.sequence = std::uint32_t(i + 1);
            encoder.Encode(talk.data() + i * BlockSamples, BlockBytes, r.speech.data(), nullptr);
            warmUp.push_back(r);
            sleepUntilMs(at += 60);
            send(r);
            if (i == 2) {
                if (!link.next(link::to_overlay::CallRequest, 3000)) {
                    std::printf("%s: the listener asked nothing\n", s.name);
                    ::close(talker);
                    return false;
                }
                link.post(link::to_main::AcceptVoice, 1);  // row 1 shows member 0
                at = monotonicMs();
            }
        }
    }
    QTest::qWait(1500);

    const double startMs = monotonicMs() + 200;
    const std::vector<Record> records = schedule(s, std::uint32_t(warmUp.size() + 1), startMs, seed);
    std::vector<const Record*> order;
    for (const Record& r : records)
        if (r.deliverMs >= 0) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const Record* a, const Record* b) { return a->deliverMs < b->deliverMs; });
    std::thread network([&] {
        for (const Record* r : order) {
            sleepUntilMs(r->deliverMs);
            send(r->record);
        }
    });
    while (monotonicMs() < records.back().sentMs + 1000) QTest::qWait(100);
    network.join();
    QTest::qWait(1500);
    ::close(talker);
    watch.stop();

    if (qEnvironmentVariableIsSet("LUMO_BENCH_KEEP"))  // for looking into a run by hand
        QFile::copy(QString::fromStdString(speaker), qEnvironmentVariable("LUMO_BENCH_KEEP") + "/" + s.name + ".wav");
    test::Wav heard;
    if (!test::readWav(speaker, &heard)) {
        std::printf("%s: no speaker file\n", s.name);
        return false;
    }
    *result = judge(s, records, warmUp, heard.samples, watch.startMs());
    if (std::getenv("LUMO_BENCH_TRACE"))
        std::printf("file start %.1f, talk starts %.1f, %zu samples heard\n", watch.startMs(), records.front().sentMs, heard.samples.size());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = bench::secondsArgument(argc, argv, 30, 10);
    double driftSeconds = 180;
    int runs = 1;
    QString only, binary = QStringLiteral(LUMO_BINARY);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--drift-seconds") driftSeconds = std::max(10.0, std::atof(argv[i + 1]));
        if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--only") only = QString::fromLocal8Bit(argv[i + 1]);
        if (a == "--lumo") binary = QString::fromLocal8Bit(argv[i + 1]);
    }
    QCoreApplication app(argc, argv);
    if (talkSamples(BlockSamples).empty() || talkSamples(BlockSamples)[0] == 0) {
        std::printf("cannot read the test phrase under %s\n", LUMO_SOURCE_DIR);
        return 1;
    }
    const std::vector<Scenario> scenarios{
        {"clean", seconds},
        {"spike", seconds, 0, 0, 0, 0, seconds / 3, 400},
        {"fast", driftSeconds, +0.01},
        {"slow", driftSeconds, -0.01},
        {"loss10", seconds, 0, 0.10, 0.10, 40},
        {"loss30", seconds, 0, 0.30, 0.10, 40},
    };
    std::printf("voice playout between real processes: a scheduled talker to `%s --audio wav`\n", qPrintable(binary));
    std::printf("load average at start: %s (2 cores shared)\n", bench::loadAverage().c_str());
    std::printf("%-7s %4s %4s %5s %4s %4s | %5s %5s %5s %5s | %5s | %5s %5s | %s\n", "", "sent", "got", "once", "never",
                "rep", "mean", "med", "p95", "max", "m2e", "mute", "concl", "lag in ms; m2e: mouth-to-ear median; mute: hard-silence periods");
    for (const Scenario& s : scenarios) {
        if (!only.isEmpty() && only != QLatin1String(s.name)) continue;
        for (int run = 0; run < runs; ++run) {
            Result r;
            if (!runScenario(s, binary, 7 + unsigned(run), &r)) continue;
            std::printf("%-7s %4d %4d %5d %4d %4d | %5.0f %5.0f %5.0f %5.0f | %5.0f | %5d %5d |", s.name, r.sent, r.delivered,
                        r.playedOnce, r.never, r.repeats, r.lagMean, r.lagMedian, r.lagP95, r.lagMax, r.lagMedian + 60,
                        r.hardSilence, r.concealed);
            if (s.spikeAtS >= 0)
                std::printf(" before spike %.0f ms, within 20 ms again %.1f s after it;", r.lagBeforeSpike, r.recoveredAfterS);
            std::printf(" last 10 s median %.0f ms\n", r.lagLast10s);
            std::fflush(stdout);
        }
    }
    std::printf("load average at end: %s\n", bench::loadAverage().c_str());
    return 0;
}
