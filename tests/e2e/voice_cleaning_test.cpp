// A noisy microphone talking through a real lumo: a fan runs in the player's room, 5 dB below
// the voice, and the player says the test phrase twice with pauses. A second real lumo listens.
// With the cleaning a new lumo starts with, the listener hears the two phrases, with the fan
// taken down under them, and nothing at all of the stretches where only the fan was heard. With
// the cleaning switched off in the talker's remembered settings (the contrast that shows the
// judge can tell), the fan goes out all the time.
#include "fake_peer.h"
#include "link_control.h"
#include "lumo_process.h"
#include "voice_group.h"
#include "voice_judge.h"

#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <cmath>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 HostAddress = loopback(81);
const Ipv4 TalkerAddress = loopback(82);
const Ipv4 ListenerAddress = loopback(83);
const Ipv4 WitnessAddress = loopback(84);

constexpr int Rate = 8000;
constexpr int Period = 80;  // 10 ms

double rms(const std::vector<std::int16_t>& s, std::size_t at, std::size_t count = Period)
{
    double sum = 0;
    for (std::size_t i = at; i < at + count && i < s.size(); ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(count));
}

// The RMS over the 10 ms frames within 30 dB of the loudest: the level of the speech itself.
double activeRms(const std::vector<std::int16_t>& s)
{
    double loudest = 0;
    for (std::size_t at = 0; at + Period <= s.size(); at += Period) loudest = std::max(loudest, rms(s, at));
    double sum = 0;
    int n = 0;
    for (std::size_t at = 0; at + Period <= s.size(); at += Period)
        if (rms(s, at) > loudest * 0.0316) sum += rms(s, at) * rms(s, at), ++n;
    return n ? std::sqrt(sum / n) : 0;
}

// How loud the loud parts of `heard` are over its quiet parts (10 ms frames that sound at all):
// the 90th percentile of the frames' levels over the 15th, in dB. Speech over its noise floor.
double speechOverFloorDb(const std::vector<std::int16_t>& heard)
{
    std::vector<double> levels;
    for (std::size_t at = 0; at + Period <= heard.size(); at += Period)
        if (const double r = rms(heard, at); r > 0) levels.push_back(r);
    if (levels.size() < 10) return 0;
    std::sort(levels.begin(), levels.end());
    return 20 * std::log10(levels[levels.size() * 9 / 10] / std::max(levels[levels.size() * 15 / 100], 1.0));
}

// Stretches of sound in a speaker file (10 ms periods that are not silence), pauses under
// `bridgeMs` bridged: their lengths in milliseconds.
std::vector<int> spurtsMs(const std::vector<std::int16_t>& heard, int bridgeMs = 500)
{
    std::vector<int> spurts;
    int length = 0, gap = 0;
    for (std::size_t at = 0; at + Period <= heard.size(); at += Period) {
        const bool sounds = std::any_of(heard.begin() + std::ptrdiff_t(at), heard.begin() + std::ptrdiff_t(at + Period),
                                        [](std::int16_t v) { return v != 0; });
        if (sounds) {
            if (length > 0 && gap * 10 >= bridgeMs) spurts.push_back(length * 10), length = 0;
            length += 1 + (length > 0 ? gap : 0);
            gap = 0;
        } else if (length > 0) {
            ++gap;
        }
    }
    if (length > 0) spurts.push_back(length * 10);
    return spurts;
}

}  // namespace

class VoiceCleaningTest : public QObject {
    Q_OBJECT

private slots:
    void aNoisyMicrophoneIsHeardClean_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<bool>("cleaned");
        QTest::newRow("the cleaning lumo starts with") << QByteArray() << true;
        QTest::newRow("cleaning switched off")
            << QByteArray("[sound]\nnoiseSuppression=false\ngainControl=false\nechoCancellation=false\n") << false;
    }

    void aNoisyMicrophoneIsHeardClean()
    {
        QFETCH(QByteArray, settings);
        QFETCH(bool, cleaned);
        const auto phrase = phraseSamples();
        QVERIFY(!phrase.empty());
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath("talker") && QDir(work.path()).mkpath("listener"));

        // The talk: 2 s of the fan alone, the phrase, 1.5 s of fan, the phrase, 1.2 s of fan.
        std::vector<std::int16_t> talk(2 * Rate, 0);
        talk.insert(talk.end(), phrase.begin(), phrase.end());
        talk.insert(talk.end(), std::size_t(Rate * 3 / 2), 0);
        talk.insert(talk.end(), phrase.begin(), phrase.end());
        talk.insert(talk.end(), std::size_t(Rate * 6 / 5), 0);
        const QString fanFile = work.filePath("fan.wav");
        const double seconds = double(talk.size()) / Rate + 0.5;
        QCOMPARE(QProcess::execute("sox", {"-R", "-n", "-r", "8000", "-c", "1", "-b", "16", fanFile, "synth",
                                           QString::number(seconds), "pinknoise", "lowpass", "1800", "tremolo", "23", "12"}),
                 0);
        Wav fan;
        QVERIFY(readWav(fanFile.toStdString(), &fan) && fan.samples.size() >= talk.size());
        const double fanGain = activeRms(phrase) / std::pow(10, 5 / 20.0) / std::max(rms(fan.samples, 0, talk.size()), 1.0);
        std::vector<std::int16_t> noisy(talk.size());
        for (std::size_t i = 0; i < talk.size(); ++i)
            noisy[i] = std::int16_t(std::clamp(talk[i] + fanGain * fan.samples[i], -32768.0, 32767.0));
        const QString microphone = work.filePath("noisy.wav");
        QVERIFY(writeWav(microphone.toStdString(), noisy));
        const QString silence = work.filePath("silence.wav");
        QVERIFY(writeSilentWav(silence.toStdString()));

        OverlayStandIn talkerLink, listenerLink;
        FakePeer host(HostAddress, HostPort);
        FakePeer witness(WitnessAddress, MemberPort);
        const QString hostText = QString::fromStdString(dottedAddress(HostAddress));
        LumoProcess talker(TalkerAddress, {"--name", "talker", "--connect", hostText, "--audio", "wav:" + microphone + ":" + work.filePath("talker")},
                           talkerLink.runtimeDirectory(), {}, {}, settings);
        LumoProcess listener(ListenerAddress, {"--name", "listener", "--connect", hostText, "--audio", "wav:" + silence + ":" + work.filePath("listener")},
                             listenerLink.runtimeDirectory());
        QVERIFY2(talker.waitUntilAnswering(host) && listener.waitUntilAnswering(host), "the processes did not start");
        QVERIFY(talkerLink.waitForMailbox() && listenerLink.waitForMailbox());

        QVERIFY(listenerLink.openAsOverlay());
        const auto group = startTalkingToListenerAndWitness(host, talker, listener, talkerLink, WitnessAddress);
        QVERIFY2(group, "the talker did not start talking to its group");
        auto question = listenerLink.next(link::to_overlay::CallRequest, 10000);
        QVERIFY2(question, "the listener asked nothing");
        QVERIFY(listenerLink.post(link::to_main::AcceptVoice, group->rowOf(0)));
        QTest::qWait(int(talk.size() / 8) + 800);
        QVERIFY(talkerLink.post(link::to_main::VoiceToggle, 0));
        QTest::qWait(600);  // the last records play out
        QVERIFY(talker.running() && listener.running());

        // What went out: the talker's records, as the witness got them.
        std::vector<std::vector<std::int16_t>> sent;
        VoiceCodec decoder;
        for (const auto& r : witness.collect(100)) {
            if (r.bytes[0] != cmd::VoiceGroup || r.from != talker.memberEndpoint()) continue;
            const VoiceRecord record = decodeVoiceRecord(r.bytes.data() + 4);
            std::vector<std::int16_t> block(BlockSamples);
            decoder.Decode(record.speech.data(), int(VoiceSpeechSize), block.data(), nullptr);
            sent.push_back(std::move(block));
        }
        Wav heard;
        QVERIFY(readWav(work.filePath("listener/peer-0.wav").toStdString(), &heard));
        const auto spurts = spurtsMs(heard.samples);
        const double heardClean = speechOverFloorDb(heard.samples);
        const double microphoneClean = speechOverFloorDb(noisy);
        const double matched = loudnessMatch(sent, heard.samples);
        const int talkBlocks = int(talk.size() / BlockSamples);
        const int phraseBlocks = int(phrase.size() + BlockSamples - 1) / BlockSamples;
        QString spurtText;
        for (int ms : spurts) spurtText += QString::number(ms) + " ms ";
        qInfo("%s: %zu of %d blocks sent; the listener heard %s; speech over its floor %.1f dB (the microphone's "
              "%.1f dB); its loudness follows what was sent with a correlation of %.2f",
              QTest::currentDataTag(), sent.size(), talkBlocks, qPrintable(spurtText), heardClean, microphoneClean,
              matched);

        // The listener plays what the talker sent, whichever way it was cleaned.
        QVERIFY2(matched > 0.7, "the listener played something else than the talker's blocks");
        if (cleaned) {
            // The words, each with a little before and after it: nothing of the fan alone.
            const int gateBlocks = SpeechGate::Timing{}.lookBackBlocks + SpeechGate::Timing{}.hangOverBlocks;
            QVERIFY(int(sent.size()) >= 2 * phraseBlocks - 4);
            QVERIFY(int(sent.size()) <= 2 * (phraseBlocks + gateBlocks + 2));
            // Two phrases heard, apart, each about as long as it was said.
            QCOMPARE(spurts.size(), std::size_t(2));
            for (int ms : spurts) QVERIFY(ms >= int(phrase.size() / 8) - 300 && ms <= int(phrase.size() / 8) + 1200);
            // The fan under the words taken down: the speech stands well above what is left.
            QVERIFY(heardClean >= microphoneClean + 10);
        } else {
            // The fan opens the gate all the time: everything goes, the listener hears one long
            // stretch of fan with the phrases in it.
            QVERIFY(int(sent.size()) >= talkBlocks * 3 / 4);
            QCOMPARE(spurts.size(), std::size_t(1));
            QVERIFY(heardClean < microphoneClean + 5);
        }
    }
};

QTEST_MAIN(VoiceCleaningTest)
#include "voice_cleaning_test.moc"
