// Voice end to end over real UDP: one main window talks a spoken phrase from a WAV microphone,
// another hears it and writes it to its speaker file; the test judges what arrived.
#include "app/main_dialog.h"
#include "fake_peer.h"
#include "quiet_directory.h"
#include "voice_judge.h"
#include "voice/audio_backends.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 TalkerAddress = loopback(13);
const Ipv4 ListenerAddress = loopback(14);
const Ipv4 HostAddress = loopback(15);
const Ipv4 WitnessAddress = loopback(16);

// The phrase as it sounds after coding and decoding alone: quiet blocks dropped, the rest
// through one encoder and one decoder.

}  // namespace

class VoiceTest : public QObject {
    Q_OBJECT

private slots:
    void aPhraseTravelsFromOneMemberToAnother()
    {
        const auto phrase = phraseSamples();
        QVERIFY2(!phrase.empty(), "the test phrase is missing");
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("talker")) && QDir(work.path()).mkpath(QStringLiteral("listener")));
        // The listener's microphone: a short silent file.
        const QString silence = work.filePath(QStringLiteral("silence.wav"));
        QVERIFY(writeSilentWav(silence.toStdString()));
        std::string error;
        auto talkerAudio = makeAudioSystem("wav:" + phrasePath().string() + ":" + work.filePath("talker").toStdString(), &error);
        QVERIFY2(talkerAudio, error.c_str());
        auto listenerAudio = makeAudioSystem("wav:" + silence.toStdString() + ":" + work.filePath("listener").toStdString(), &error);
        QVERIFY2(listenerAudio, error.c_str());

        RecordingBoxes boxes;
        QuietDirectory directory;
        FakePeer host(HostAddress, HostPort);
        FakePeer witness(WitnessAddress, MemberPort);
        MainDialogOptions talkerOptions{TalkerAddress, &directory, talkerAudio.get()};
        MainDialogOptions listenerOptions{ListenerAddress, &directory, listenerAudio.get()};
        MainDialog talker(talkerOptions), listener(listenerOptions);
        talker.show();
        listener.show();

        // Both join the test's host: a member takes its roster only from the host it joined.
        talker.endpoint().connectTo("talker", HostAddress);
        listener.endpoint().connectTo("listener", HostAddress);

        // The group: talker 0, listener 1, and a witness that is sent the same voice.
        Roster roster;
        roster.count = 3;
        roster.records[0] = memberAt(0, "talker", TalkerAddress);
        roster.records[1] = memberAt(1, "listener", ListenerAddress);
        roster.records[2] = memberAt(2, "witness", WitnessAddress);
        host.send(makeRosterUpdate(0, roster), {TalkerAddress, MemberPort});
        host.send(makeRosterUpdate(1, roster), {ListenerAddress, MemberPort});
        QTRY_VERIFY(talker.endpoint().session().roster().count == 3 && listener.endpoint().session().roster().count == 3);

        const QString speakerFile = work.filePath(QStringLiteral("listener/peer-0.wav"));
        boxes.answer = true;

        talker.memberRow(talker.rowOfMember(1))->setCheckState(0, Qt::Checked);
        talker.memberRow(talker.rowOfMember(2))->setCheckState(0, Qt::Checked);
        talker.findChild<QPushButton*>(QStringLiteral("voiceButton"))->click();
        QVERIFY(talker.endpoint().session().talking());

        // The talker talks until the witness has as many blocks as the phrase has, not for the
        // phrase's length.
        const auto reference = codedPhrase(phrase);
        std::vector<std::uint32_t> numbers;
        witness.collectUntil([&](const FakePeer::Received& r) {
            if (r.bytes[0] == cmd::VoiceGroup) numbers.push_back(decodeVoiceRecord(r.bytes.data() + 4).sequence);
            return numbers.size() >= reference.size();
        }, 30000);
        talker.findChild<QPushButton*>(QStringLiteral("voiceButton"))->click();
        QVERIFY(!talker.endpoint().session().talking());

        QCOMPARE(boxes.questions, QStringList{QStringLiteral("talker想和你聊天，接受吗？")});
        QCOMPARE(listener.memberRow(listener.rowOfMember(0))->checkState(0), Qt::Checked);

        // Every block went out numbered from 1 upward (the witness saw them all).
        QCOMPARE(numbers.size(), reference.size());
        for (std::size_t i = 0; i < numbers.size(); ++i) QCOMPARE(numbers[i], std::uint32_t(i + 1));

        // What the listener played: the first block, then (after the question) the phrase from
        // the first accepted record on. It must be recognisably the coded phrase.
        Wav played;
        QTRY_VERIFY_WITH_TIMEOUT(readWav(speakerFile.toStdString(), &played) && played.samples.size() > 10 * BlockSamples, 3000);
        // The first block was played at once, before the question: it is the first block of the
        // phrase decoded by a fresh decoder, sample for sample, before the player's own pre-roll.
        QVERIFY(std::equal(reference[0].begin(), reference[0].end(), played.samples.begin()));
        const std::vector<std::int16_t> rest(played.samples.begin() + BlockSamples, played.samples.end());
        const double best = loudnessMatch(reference, rest);
        qInfo("listener played %zu samples; loudness-contour correlation %.3f with the coded phrase", played.samples.size(), best);
        QVERIFY2(best > 0.7, "what the listener played is not the phrase");
    }
};

QTEST_MAIN(VoiceTest)
#include "voice_test.moc"
