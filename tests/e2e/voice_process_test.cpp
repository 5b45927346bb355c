// Voice between two real lumo processes with WAV devices: the talker speaks a phrase from its
// microphone file; the listener plays it into its speaker file. Both are driven as a player's
// in-game overlay would drive them, through their link mailboxes: the talker's member ticked and
// talking switched on, the listener's voice question answered Yes. The test judges the sound.
#include "fake_peer.h"
#include "link_control.h"
#include "lumo_process.h"
#include "voice_group.h"
#include "voice_judge.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 HostAddress = loopback(17);
const Ipv4 TalkerAddress = loopback(18);
const Ipv4 ListenerAddress = loopback(19);
const Ipv4 WitnessAddress = loopback(20);  // no main window in this test uses .20's member port


}  // namespace

class VoiceProcessTest : public QObject {
    Q_OBJECT

private slots:
    void twoProcessesTalk()
    {
        const auto words = phraseSamples();
        QVERIFY(!words.empty());
        QTemporaryDir work;
        const QString silence = work.filePath(QStringLiteral("silence.wav"));
        QVERIFY(writeSilentWav(silence.toStdString()));
        // The talker's microphone is quiet for two seconds before the phrase: voice goes to the
        // listener only once their path is open and their handshake sealed (voice before that
        // is live and not kept), which on a busy machine can take longer than the phrase lasts.
        std::vector<std::int16_t> phrase(2 * 8000, 0);
        phrase.insert(phrase.end(), words.begin(), words.end());
        const QString talk = work.filePath(QStringLiteral("talk.wav"));
        QVERIFY(writeWav(talk.toStdString(), phrase));
        QVERIFY(QDir(work.path()).mkpath("talker") && QDir(work.path()).mkpath("listener"));

        OverlayStandIn talkerLink, listenerLink;
        FakePeer host(HostAddress, HostPort);
        FakePeer witness(WitnessAddress, MemberPort);
        // Both join the test's host: a member takes its roster only from the host it joined.
        LumoProcess talker(TalkerAddress,
                           {"--name", "talker", "--connect", QString::fromStdString(dottedAddress(HostAddress)), "--audio", "wav:" + talk + ":" + work.filePath("talker")},
                           talkerLink.runtimeDirectory());
        LumoProcess listener(ListenerAddress, {"--name", "listener", "--connect", QString::fromStdString(dottedAddress(HostAddress)), "--audio", "wav:" + silence + ":" + work.filePath("listener")},
                             listenerLink.runtimeDirectory());
        QVERIFY2(talker.waitUntilAnswering(host) && listener.waitUntilAnswering(host), "the processes did not start");
        QVERIFY(talkerLink.waitForMailbox() && listenerLink.waitForMailbox());

        QVERIFY(listenerLink.openAsOverlay());
        const auto group = startTalkingToListenerAndWitness(host, talker, listener, talkerLink, WitnessAddress);
        QVERIFY2(group, "the talker did not start talking to its group");

        // The listener hears the first block, then asks its overlay about the second: about 2.1 s
        // after the talk started, the quiet lead-in included.
        QElapsedTimer asked;
        asked.start();
        auto question = listenerLink.next(link::to_overlay::CallRequest, 30000);
        qInfo("the listener asked after %lld ms", static_cast<long long>(asked.elapsed()));
        QVERIFY2(question, "the listener asked nothing");
        QCOMPARE(question->value, 0);
        QVERIFY(listenerLink.post(link::to_main::AcceptVoice, group->rowOf(0)));

        // The talker talks until the witness has as many blocks as the phrase has, not for the
        // phrase's length.
        const auto reference = codedPhrase(phrase);
        std::vector<std::uint32_t> numbers;
        witness.collectUntil([&](const FakePeer::Received& r) {
            if (r.bytes[0] == cmd::VoiceGroup && r.from == talker.memberEndpoint())
                numbers.push_back(decodeVoiceRecord(r.bytes.data() + 4).sequence);
            return numbers.size() >= reference.size();
        }, 30000);
        QVERIFY(talkerLink.post(link::to_main::VoiceToggle, 0));
        QVERIFY(talker.running() && listener.running());
        QCOMPARE(numbers.size(), reference.size());
        for (std::size_t i = 0; i < numbers.size(); ++i) QCOMPARE(numbers[i], std::uint32_t(i + 1));

        Wav played;
        const std::string speakerFile = work.filePath("listener/peer-0.wav").toStdString();
        QTRY_VERIFY_WITH_TIMEOUT(readWav(speakerFile, &played) && played.samples.size() > 10 * BlockSamples, 3000);
        QVERIFY2(std::equal(reference[0].begin(), reference[0].end(), played.samples.begin()),
                 "the first block was not played at once");
        const std::vector<std::int16_t> rest(played.samples.begin() + BlockSamples, played.samples.end());
        const double best = loudnessMatch(reference, rest);
        qInfo("listener process played %zu samples; loudness-contour correlation %.3f with the coded phrase", played.samples.size(), best);
        QVERIFY2(best > 0.7, "what the listener played is not the phrase");
    }
};

QTEST_MAIN(VoiceProcessTest)
#include "voice_process_test.moc"
