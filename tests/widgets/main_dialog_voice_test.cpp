// The main window's voice offscreen: the voice button, where captured blocks go, what arriving
// voice does, the answers and the call prompt. Sound devices are fakes; datagrams are real UDP.
#include "app/call_prompt_dialog.h"
#include "app/main_dialog.h"
#include "app/remembered_settings.h"
#include "app/sound_controller.h"
#include "app/sound_dialog.h"
#include "app/voice_io.h"
#include "app/member_list.h"
#include "fake_audio.h"
#include "dialog_harness.h"
#include "core/voice_test_support.h"
#include "core/voice/voice_codec.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QSettings>
#include <QSlider>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <cmath>
#include <optional>
#include <set>

using namespace lumo;
using namespace lumo::test;

namespace {

// Everything a fake speaker was given, in order (the player writes 10 ms buffers).
std::vector<std::int16_t> playedBy(FakeDevice* speaker)
{
    std::vector<std::int16_t> all;
    for (const auto& buffer : speaker->writtenSoFar()) all.insert(all.end(), buffer.begin(), buffer.end());
    return all;
}

// Samples that are not silence, from `from` on.
std::size_t audible(const std::vector<std::int16_t>& samples, std::size_t from)
{
    if (samples.size() <= from) return 0;
    return std::size_t(std::count_if(samples.begin() + std::ptrdiff_t(from), samples.end(), [](std::int16_t v) { return v != 0; }));
}

std::vector<std::int16_t> tone(int amplitude, int offset = 0)
{
    std::vector<std::int16_t> samples(BlockSamples);
    for (int i = 0; i < BlockSamples; ++i)
        samples[i] = static_cast<std::int16_t>(amplitude * std::sin((i + offset) * 2 * M_PI * 440 / 8000));
    return samples;
}

// The sound choices as the settings file holds them now.
SoundSettings saved() { return RememberedSettings().sound(); }

VoiceRecord encodedTone(std::uint32_t sequence)
{
    static VoiceCodec codec;
    VoiceRecord record;
    record.sequence = sequence;
    const auto samples = tone(6000, int(sequence) * BlockSamples);
    codec.Encode(samples.data(), BlockBytes, record.speech.data(), nullptr);
    return record;
}

}  // namespace

class MainDialogVoiceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeAudio> audio;
    std::unique_ptr<DialogHarness> h;

    // The fake member speaks for all 17 others.
    FakePeer& peer() const { return h->member(0); }
    VoiceRecord sendVoice(int from, std::uint32_t sequence)
    {
        const VoiceRecord record = encodedTone(sequence);
        peer().send(makeVoiceDatagram(cmd::VoiceGroup, 17, idByte(from), record), h->toWindow());
        return record;
    }
    const PeerSlot* slotOf(int id)
    {
        for (const PeerSlot& slot : h->session().voiceSlots().all())
            if (slot.memberId == id) return &slot;
        return nullptr;
    }

    // A new window on the same sound system and settings, as in the player's next run.
    void restart(bool devicesFromCommandLine = false)
    {
        h.reset();
        start(devicesFromCommandLine);
    }
    // The window joins the fake host's group of 18 as member 17.
    void start(bool devicesFromCommandLine = false)
    {
        DialogHarness::Options options;
        options.firstAddress = 24;
        options.members = 1;
        options.audio = audio.get();
        options.devicesFromCommandLine = devicesFromCommandLine;
        h = std::make_unique<DialogHarness>(options);
        QVERIFY(h->ready());
        Roster roster;
        roster.count = 18;
        for (int i = 0; i < 17; ++i) roster.records[i] = memberAt(i, ("m" + std::to_string(i)).c_str(), h->memberAddress(0));
        roster.records[17] = memberAt(17, "me", h->address());
        QVERIFY(h->join(roster, 17));
    }

private slots:
    void init()
    {
        // Every case starts from no remembered sound choices (a private config folder).
        QSettings(RememberedSettings::defaultFileName(), QSettings::IniFormat).clear();
        audio = std::make_unique<FakeAudio>();
        start();
    }
    void cleanup()
    {
        h.reset();
        audio.reset();
    }

    void voiceButtonAloneInTheGroupSaysSoAndStaysOff()
    {
        h->control<QPushButton>("voiceButton")->click();
        QTRY_COMPARE(h->boxes.texts, QStringList{QStringLiteral("就你一个人怎么群聊啊，去拉点人来吧！...*_*")});
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("语聊"));
        QVERIFY(!h->session().talking());
    }

    void talkingSendsNumberedBlocksToTheTickedMembersOnly()
    {
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        h->rowOf(5)->setCheckState(0, Qt::Checked);
        h->control<QPushButton>("voiceButton")->click();
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("终止"));
        QVERIFY(h->session().talking());
        QCOMPARE(h->session().voiceTargets().count, 2);

        QVERIFY(audio->deliver(tone(8000)) > 0);  // a loud block
        QVERIFY(audio->deliver(tone(0)) > 0);     // a quiet one: sent as the word's hang-over
        QVERIFY(audio->deliver(tone(8000)) > 0);
        std::vector<FakePeer::Received> voice;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
            for (auto& r : peer().collect(20))
                if (r.bytes[0] == cmd::VoiceGroup) voice.push_back(r);
            return voice.size() >= 6;
        }()), 3000);
        QCOMPARE(voice.size(), size_t(6));
        std::multiset<std::pair<int, std::uint32_t>> seen;  // (recipient, sequence)
        for (const auto& r : voice) {
            QCOMPARE(r.bytes.size(), VoiceDatagramSize);
            QCOMPARE(r.bytes[2], 17);
            QCOMPARE(r.from, h->toWindow());
            seen.insert({r.bytes[1], decodeVoiceRecord(r.bytes.data() + 4).sequence});
        }
        const std::multiset<std::pair<int, std::uint32_t>> expected{{3, 1}, {5, 1}, {3, 2}, {5, 2}, {3, 3}, {5, 3}};
        QVERIFY(seen == expected);

        // Pressing again stops talking.
        h->control<QPushButton>("voiceButton")->click();
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("语聊"));
        QVERIFY(!h->session().talking());
    }

    void unpluggingWhileTalkingStopsAndPluggingBackRestarts()
    {
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        auto* voice = h->control<QPushButton>("voiceButton");
        voice->click();
        QVERIFY(h->session().talking());
        QVERIFY(audio->deliver(tone(8000)) > 0);
        QVERIFY(peer().next(3000, cmd::VoiceGroup));

        audio->inputUnplugged = true;
        test::FakeDevice* microphone = audio->device();
        QVERIFY(microphone);
        microphone->lose();
        QTRY_VERIFY_WITH_TIMEOUT(!h->session().talking(), 3000);
        QCOMPARE(voice->text(), QStringLiteral("语聊"));
        QTRY_COMPARE(h->boxes.texts, QStringList{QStringLiteral("麦克风已断开，语聊已停止。\n接好后再按“语聊”。")});
        QCOMPARE(h->status(), QStringLiteral("麦克风已断开"));
        QCOMPARE(audio->liveDevices.load(), 0);  // closed, nothing held
        QVERIFY(!h->dialog().voice().capturing());

        // Still away: the button says there is no microphone and stays "语聊".
        voice->click();
        QTRY_COMPARE(h->boxes.texts.size(), 2);
        QVERIFY(h->boxes.texts.last().startsWith(QStringLiteral("无法开始语聊")));
        QCOMPARE(voice->text(), QStringLiteral("语聊"));

        // Plugged back: talking starts again, numbering goes on.
        audio->inputUnplugged = false;
        peer().collect(50);
        voice->click();
        QCOMPARE(voice->text(), QStringLiteral("终止"));
        QVERIFY(audio->deliver(tone(8000)) > 0);
        const std::optional<FakePeer::Received> sent = peer().next(3000, cmd::VoiceGroup);
        QVERIFY(sent);
        QCOMPARE(decodeVoiceRecord(sent->bytes.data() + 4).sequence, 2u);
        voice->click();
    }

    // On the endpoint's clock, moved by skipTime: a limit far beyond what the test itself takes,
    // so the wall clock never decides.
    void aMicrophoneThatFallsSilentWhileTalkingIsTakenAsGone()
    {
        constexpr Millis Limit = 600'000;
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        h->dialog().voice().setCaptureStallLimit(Limit);
        h->control<QPushButton>("voiceButton")->click();
        QVERIFY(h->session().talking());
        // Blocks keep it alive, however long apart within the limit...
        for (int i = 0; i < 3; ++i) {
            QVERIFY(audio->deliver(tone(8000)) > 0);
            QVERIFY(peer().next(3000, cmd::VoiceGroup));  // the capture has seen the block
            h->skipTime(Limit * 3 / 4);
            QVERIFY(h->session().talking());
        }
        // ...a device that gives nothing more for longer is let go, as if it said it was unplugged.
        h->skipTime(Limit / 2);
        QVERIFY(h->session().talking());
        h->skipTime(Limit / 2 + 1);
        QVERIFY(!h->session().talking());
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("语聊"));
        QTRY_COMPARE(h->boxes.texts, QStringList{QStringLiteral("麦克风已断开，语聊已停止。\n接好后再按“语聊”。")});
        QCOMPARE(audio->liveDevices.load(), 0);
    }

    void pushToTalkSendsWhileHeldWithTheGateOpen()
    {
        // The gate judges the blocks as captured here: levels are compared below.
        audio->setVoiceProcessing({false, false, false, false});
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        h->dialog().voice().setQuietLimit(100);  // a gate that holds back even a loud tone
        h->dialog().voice().pushToTalk(true);
        QVERIFY(h->session().talking());
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("终止"));
        QVERIFY(audio->deliver(tone(300)) > 0);  // whisper-quiet: sent all the same while held
        QVERIFY(peer().next(3000, cmd::VoiceGroup));

        h->dialog().voice().pushToTalk(false);
        QVERIFY(!h->session().talking());
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("语聊"));
        // The voice button talks by the gate again: the tone stays below the chosen threshold.
        h->control<QPushButton>("voiceButton")->click();
        const auto loud = tone(8000);
        const int loudLevel = gateLevel(reinterpret_cast<const std::uint8_t*>(loud.data()), BlockBytes);
        QVERIFY(loudLevel > DefaultQuietLimit && loudLevel <= 100);
        QVERIFY(audio->deliver(loud) > 0);
        QTRY_COMPARE(h->dialog().voice().inputLevel(), loudLevel);
        QVERIFY(!peer().next(300, cmd::VoiceGroup));
        h->dialog().voice().setQuietLimit(DefaultQuietLimit);
        QVERIFY(audio->deliver(loud) > 0);
        QVERIFY(peer().next(3000, cmd::VoiceGroup));
    }

    // Mute stops what goes out without ending the talk; deafen stops what is played, and the
    // member's voice plays again once hearing again. The talking marker follows arriving voice.
    void muteAndDeafenStopSendingAndPlayingAndTheMarkerShowsWhoTalks()
    {
        audio->setVoiceProcessing({false, false, false, false});
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        h->control<QPushButton>("voiceButton")->click();
        QVERIFY(h->session().talking());
        auto* mute = h->control<QPushButton>("muteButton");
        mute->click();
        QVERIFY(h->dialog().voice().muted());
        QCOMPARE(h->status(), QStringLiteral("已闭麦：你说的话不会发出。"));
        for (int i = 0; i < 3; ++i) QVERIFY(audio->deliver(tone(8000)) > 0);
        QVERIFY2(!peer().next(400, cmd::VoiceGroup), "muted: nothing goes out");
        QVERIFY2(h->session().talking(), "still talking, to go on at once");
        QVERIFY(h->rowOf(17)->data(MemberList::NameColumn, MemberList::TalkingRole).isValid());
        h->dialog().findChild<QAction*>(QStringLiteral("muteAction"))->trigger();  // the menu's entry
        QVERIFY(!mute->isChecked());
        QVERIFY(audio->deliver(tone(8000)) > 0);
        QVERIFY2(peer().next(3000, cmd::VoiceGroup), "unmuted: sent again");
        h->control<QPushButton>("voiceButton")->click();
        QTRY_VERIFY(!h->rowOf(17)->data(MemberList::NameColumn, MemberList::TalkingRole).isValid());

        // m4 talks and is accepted; his row shows him talking, then not once he stops.
        h->boxes.answer = true;
        sendVoice(4, 200);
        QTRY_VERIFY(audio->outputFor(4));
        QCOMPARE(h->rowOf(4)->data(MemberList::NameColumn, MemberList::TalkingRole), QVariant(100));
        sendVoice(4, 201);
        QTRY_COMPARE(slotOf(4)->answer, VoiceAnswer::Accepted);
        QTRY_VERIFY(!h->rowOf(4)->data(MemberList::NameColumn, MemberList::TalkingRole).isValid());

        h->control<QPushButton>("deafenButton")->click();
        QVERIFY(h->dialog().voice().deafened());
        for (std::uint32_t sequence = 210; sequence < 214; ++sequence) {
            sendVoice(4, sequence);
            QTest::qWait(60);
        }
        QTRY_VERIFY(h->rowOf(4)->data(MemberList::NameColumn, MemberList::TalkingRole).isValid());
        QVERIFY2(!audio->outputFor(4), "deafened: nothing plays m4");
        h->control<QPushButton>("deafenButton")->click();
        for (std::uint32_t sequence = 220; sequence < 226; ++sequence) {
            sendVoice(4, sequence);
            QTest::qWait(60);
            if (FakeDevice* speaker = audio->outputFor(4)) speaker->held.completeAll();
        }
        QTRY_VERIFY((audio->outputFor(4) && (audio->outputFor(4)->held.completeAll(), audible(playedBy(audio->outputFor(4)), 0) > 0)));
    }

    void memberVolumeScalesWhatIsPlayedAndIsRememberedByName()
    {
        h->dialog().sound().setMemberVolume(4, 50);
        QCOMPARE(h->dialog().voice().memberVolume(4), 50);
        QCOMPARE(saved().volumeOf("m4"), 50);
        // The first block of member 4 plays at once, at half volume.
        const VoiceRecord first = sendVoice(4, 1);
        QTRY_VERIFY(audio->outputFor(4));
        QTRY_COMPARE(playedBy(audio->outputFor(4)).size(), size_t(BlockSamples));
        VoiceCodec fresh;
        std::vector<std::int16_t> full(BlockSamples);
        fresh.Decode(first.speech.data(), int(VoiceSpeechSize), full.data(), nullptr);
        QVERIFY(audible(full, 0) > 100);
        const auto half = playedBy(audio->outputFor(4));
        for (int i = 0; i < BlockSamples; ++i)
            QCOMPARE(int(half[std::size_t(i)]), int(full[std::size_t(i)]) * 50 / 100);
        // Changed while the member is heard: its player takes it at once.
        h->dialog().sound().setMemberVolume(4, 300);
        QCOMPARE(h->dialog().voice().memberVolume(4), 300);
        QCOMPARE(saved().volumeOf("m4"), 300);
        h->dialog().sound().setMemberVolume(4, 50);

        // A new window (the next run) gives m4 its volume back once m4 is in the roster.
        restart();
        QCOMPARE(h->dialog().voice().memberVolume(4), 50);
        QCOMPARE(h->dialog().voice().memberVolume(6), 100);
    }

    void soundDialogListsDevicesMetersTheMicrophoneAndRemembersChoices()
    {
        audio->deviceList = {{0, "ALSA", "USB Headset", 1, 2, false, false},
                             {1, "ALSA", "default", 2, 2, true, true},
                             {2, "ALSA", "HDMI 0", 0, 8, false, false}};
        restart();
        SoundDialog* sound = h->dialog().openSoundDialog();
        sound->show();
        auto* input = sound->findChild<QComboBox*>(QStringLiteral("inputDevice"));
        auto* output = sound->findChild<QComboBox*>(QStringLiteral("outputDevice"));
        QCOMPARE(input->count(), 3);  // the default entry, the headset, default; HDMI has no input
        QCOMPARE(output->count(), 4);
        QCOMPARE(input->itemText(2), QStringLiteral("ALSA: default（默认）"));
        input->setCurrentIndex(1);
        QCOMPARE(audio->choice.input, std::string("ALSA: USB Headset"));
        QCOMPARE(saved().devices.input, std::string("ALSA: USB Headset"));

        // The cleaning steps: noise suppression and gain on, echo cancellation as the output
        // device suggests (a headset needs none) until the player chooses, voice detection off.
        auto box = [sound](const char* name) { return sound->findChild<QCheckBox*>(QLatin1String(name)); };
        QVERIFY(box("noiseSuppression")->isChecked() && box("gainControl")->isChecked());
        QVERIFY(box("echoCancellation")->isChecked() && !box("voiceDetection")->isChecked());
        QCOMPARE(audio->voiceProcessing(), (VoiceProcessingChoice{true, true, true, false}));
        output->setCurrentIndex(1);  // the headset
        QVERIFY(!box("echoCancellation")->isChecked());
        QCOMPARE(audio->voiceProcessing(), (VoiceProcessingChoice{true, true, false, false}));
        QVERIFY(!saved().echoCancellation.has_value());
        box("echoCancellation")->click();  // the player wants it all the same: remembered
        QCOMPARE(saved().echoCancellation, std::optional<bool>(true));
        output->setCurrentIndex(0);
        QVERIFY(box("echoCancellation")->isChecked());
        box("voiceDetection")->click();
        QCOMPARE(audio->voiceProcessing(), (VoiceProcessingChoice{true, true, true, true}));
        QVERIFY(saved().voiceDetection);

        // The dialog listens itself while the player does not talk: the meter shows the level
        // after cleaning. Uncleaned, a soft block is measured as it is.
        for (const char* name : {"noiseSuppression", "gainControl", "echoCancellation", "voiceDetection"})
            box(name)->click();
        QCOMPARE(audio->voiceProcessing(), (VoiceProcessingChoice{false, false, false, false}));
        const SoundSettings remembered = saved();
        QVERIFY(!remembered.noiseSuppression && !remembered.gainControl && !remembered.voiceDetection);
        std::vector<std::int16_t> soft(BlockSamples, 0);
        for (std::size_t i = 0; i < soft.size(); i += 2) soft[i] = 1000;
        QTRY_VERIFY(audio->device() && audio->held() > 0);
        QVERIFY(audio->deliver(soft) > 0);
        QTRY_COMPARE(sound->meter()->level(), 3);
        // With noise suppression, the same steady block (a hum, to the suppressor) sinks on the
        // meter within a second or two.
        box("noiseSuppression")->click();
        for (int k = 0; k < 40; ++k) {
            QTRY_VERIFY(audio->held() > 0);
            QVERIFY(audio->deliver(soft) > 0);
        }
        QTRY_VERIFY(sound->meter()->level() < 3);
        // The threshold slider is the gate's limit, remembered.
        sound->findChild<QSlider*>(QStringLiteral("threshold"))->setValue(10);
        QCOMPARE(sound->meter()->threshold(), 10);
        QCOMPARE(saved().quietLimit, 10);
        // The test tone: 600 ms of a 440 Hz sine on an output of its own, released afterwards.
        auto* testTone = sound->findChild<QPushButton*>(QStringLiteral("testTone"));
        testTone->click();
        QVERIFY(!testTone->isEnabled());
        QTRY_VERIFY(audio->outputFor(128));
        QTRY_VERIFY(playedBy(audio->outputFor(128)).size() >= 4800u);
        const auto played = playedBy(audio->outputFor(128));
        int peak = 0;
        for (std::size_t i = 0; i < 4800; ++i) peak = std::max(peak, std::abs(int(played[i])));
        QVERIFY2(peak > 7500 && peak <= 8000, qPrintable(QString::number(peak)));
        QTRY_VERIFY_WITH_TIMEOUT(testTone->isEnabled(), 3000);
        QVERIFY(!audio->outputFor(128));

        sound->setPushToTalkKey(0xffc6, QStringLiteral("F9"));
        QCOMPARE(saved().pushToTalkKeysym, 0xffc6u);
        QVERIFY(!h->dialog().sound().pushToTalkWatched());  // offscreen: no X11 to watch keys on

        // Unplugged while the dialog listens: it says so and does not hang.
        audio->inputUnplugged = true;
        test::FakeDevice* microphone = audio->device();
        QVERIFY(microphone);
        microphone->lose();
        QTRY_COMPARE(sound->statusLabel()->text(), QStringLiteral("录音设备已断开。"));
        sound->hide();

        // A new window takes the remembered choices; a remembered device not plugged in is kept
        // but the defaults serve.
        audio->deviceList.erase(audio->deviceList.begin());
        audio->inputUnplugged = false;
        restart();
        QCOMPARE(h->dialog().sound().settings().quietLimit, 10);
        QCOMPARE(h->dialog().sound().settings().devices.input, std::string("ALSA: USB Headset"));
        QCOMPARE(audio->choice.input, std::string());
    }

    void devicesFromTheCommandLineHoldForTheRunOnly()
    {
        audio->deviceList = {{0, "ALSA", "USB Headset", 1, 2, false, false}, {1, "ALSA", "default", 2, 2, true, true}};
        audio->choice = {"ALSA: USB Headset", "ALSA: USB Headset"};  // as --audio portaudio:0:0 leaves it
        restart(true);
        QCOMPARE(h->dialog().sound().settings().devices.input, std::string("ALSA: USB Headset"));
        // Another choice in the dialog is saved; the command line's devices are not.
        h->dialog().openSoundDialog()->findChild<QSlider*>(QStringLiteral("threshold"))->setValue(5);
        QCOMPARE(saved().quietLimit, 5);
        QCOMPARE(saved().devices, DeviceChoice{});
        auto* output = h->dialog().openSoundDialog()->findChild<QComboBox*>(QStringLiteral("outputDevice"));
        output->setCurrentIndex(output->findData(QStringLiteral("ALSA: default")));
        QCOMPARE(saved().devices, (DeviceChoice{"ALSA: USB Headset", "ALSA: default"}));
    }

    void moreThanEightTicksTalkToTheFirstEightRows()
    {
        for (int row = 0; row < 10; ++row) h->memberList()->topLevelItem(row)->setCheckState(0, Qt::Checked);
        QCOMPARE(h->session().voiceTargets().count, 8);
        for (int i = 0; i < 8; ++i) QCOMPARE(h->session().voiceTargets().ids[i], 17 - i);  // row r shows member 17 - r
    }

    void untickingWhileTalkingStopsSendingThere()
    {
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        h->control<QPushButton>("voiceButton")->click();
        QVERIFY(h->session().talking());
        h->rowOf(3)->setCheckState(0, Qt::Unchecked);
        h->rowOf(4)->setCheckState(0, Qt::Checked);
        h->memberList()->setCurrentItem(h->rowOf(4));
        emit h->memberList()->itemClicked(h->rowOf(4), 0);
        QCOMPARE(h->control<QPushButton>("voiceButton")->text(), QStringLiteral("终止"));
        audio->deliver(tone(8000));  // this block may still go by the old ticks
        QTest::qWait(200);
        peer().collect(0);
        audio->deliver(tone(8000));
        auto r = peer().next(2000, cmd::VoiceGroup);
        QVERIFY(r);
        QCOMPARE(r->bytes[1], 4);
    }

    void stoppingTellsTheChatPartnerOnly()
    {
        auto* voiceButton = h->control<QPushButton>("voiceButton");
        h->rowOf(3)->setCheckState(0, Qt::Checked);
        voiceButton->click();
        voiceButton->click();
        QVERIFY(!h->session().talking());
        QVERIFY(!peer().next(200, cmd::VoiceStopNotice));  // no partner yet
        h->memberList()->setCurrentItem(h->rowOf(2));
        emit h->memberList()->itemClicked(h->rowOf(2), 0);
        QCOMPARE(h->session().partner(), 2);
        voiceButton->click();
        voiceButton->click();
        auto notice = peer().next(1000, cmd::VoiceStopNotice);
        QVERIFY(notice);
        QCOMPARE(notice->bytes, (Bytes{13, 2, 17, 2}));
    }

    void firstBlockPlaysAtOnceUndoubledThenTheQuestionThenAcceptedVoice()
    {
        h->control<QCheckBox>("gainBoost")->setChecked(true);
        h->boxes.answer = true;
        const VoiceRecord first = sendVoice(4, 100);
        QTRY_VERIFY(audio->outputFor(4));
        FakeDevice* speaker = audio->outputFor(4);
        QTRY_COMPARE(playedBy(speaker).size(), size_t(BlockSamples));
        // The first block is the record decoded by a fresh decoder, never doubled.
        VoiceCodec fresh;
        std::vector<std::int16_t> expected(BlockSamples);
        fresh.Decode(first.speech.data(), int(VoiceSpeechSize), expected.data(), nullptr);
        QVERIFY(playedBy(speaker) == expected);
        QCOMPARE(h->status(), QStringLiteral("m4说："));
        QVERIFY(h->boxes.questions.isEmpty());

        // The second datagram asks; while the question is open nothing more plays.
        sendVoice(4, 101);
        QTRY_COMPARE(h->boxes.questions.size(), 1);
        QCOMPARE(h->boxes.questions.first(), QStringLiteral("m4想和你聊天，接受吗？"));
        QTRY_COMPARE(slotOf(4)->answer, VoiceAnswer::Accepted);
        QCOMPARE(h->rowOf(4)->checkState(0), Qt::Checked);

        // Accepted voice is played from the first accepted record on, as the speaker plays
        // (returns) what it holds.
        for (std::uint32_t sequence = 110; sequence < 114; ++sequence) {
            sendVoice(4, sequence);
            QTest::qWait(60);  // one block every 60 ms, as a talker sends them
            speaker->held.completeAll();
        }
        QTRY_VERIFY((speaker->held.completeAll(), audible(playedBy(speaker), BlockSamples) > 0));
        QCOMPARE(h->rowOf(4)->text(MainDialog::VoiceColumn), QStringLiteral("聊天中"));
        QCOMPARE(h->boxes.questions.size(), 1);
    }

    void refusedVoiceIsDroppedAndThePromptChangesTheAnswer()
    {
        h->boxes.answer = false;
        sendVoice(6, 50);
        sendVoice(6, 51);
        QTRY_COMPARE(h->boxes.questions.size(), 1);
        QTRY_COMPARE(h->rowOf(6)->text(MainDialog::VoiceColumn), QStringLiteral("不聊"));
        QCOMPARE(slotOf(6)->answer, VoiceAnswer::Refused);
        FakeDevice* speaker = audio->outputFor(6);
        QVERIFY(speaker);
        sendVoice(6, 60);
        QTest::qWait(200);
        QCOMPARE(playedBy(speaker).size(), size_t(BlockSamples));  // only the first block

        // A right-click on the row opens the prompt for that member; "同意通话" accepts.
        h->memberList()->setCurrentItem(h->rowOf(6));
        emit h->memberList()->customContextMenuRequested(QPoint(40, 40));
        CallPromptDialog& prompt = h->dialog().callPrompt();
        QVERIFY(prompt.isVisible());
        QCOMPARE(prompt.memberId(), 6);
        prompt.findChild<QPushButton*>(QStringLiteral("acceptButton"))->click();
        QVERIFY(!prompt.isVisible());
        QCOMPARE(slotOf(6)->answer, VoiceAnswer::Accepted);
        QCOMPARE(h->rowOf(6)->text(MainDialog::VoiceColumn), QStringLiteral("聊天中"));
        sendVoice(6, 70);
        QTRY_VERIFY((speaker->held.completeAll(), audible(playedBy(speaker), BlockSamples) > 0));

        // "下次提示" makes the next datagram ask again.
        emit h->memberList()->customContextMenuRequested(QPoint(40, 40));
        prompt.findChild<QPushButton*>(QStringLiteral("askAgainButton"))->click();
        QCOMPARE(h->rowOf(6)->text(MainDialog::VoiceColumn), QStringLiteral("等待"));
        sendVoice(6, 71);
        QTRY_COMPARE(h->boxes.questions.size(), 2);

        // A member that has sent nothing has no slot: the prompt changes nothing.
        h->memberList()->setCurrentItem(h->rowOf(9));
        emit h->memberList()->customContextMenuRequested(QPoint(40, 40));
        prompt.findChild<QPushButton*>(QStringLiteral("refuseButton"))->click();
        QVERIFY(!slotOf(9));
        QVERIFY(h->rowOf(9)->text(MainDialog::VoiceColumn).isEmpty());
    }

    void seventeenthTalkerIsNotPlayedButNamed()
    {
        for (int id = 0; id < 16; ++id) sendVoice(id, 1);
        QTRY_VERIFY(slotOf(15));
        sendVoice(16, 1);
        QTRY_COMPARE(h->status(), QStringLiteral("m16说："));
        QVERIFY(!slotOf(16));
        QVERIFY(!audio->outputFor(16));
    }

    void silentMembersLoseTheirSlotAndAreAskedAgain()
    {
        h->boxes.answer = true;
        sendVoice(2, 1);
        sendVoice(2, 2);
        QTRY_COMPARE(slotOf(2) ? slotOf(2)->answer : VoiceAnswer::NotAsked, VoiceAnswer::Accepted);
        // The sweep runs on the ticks that start with the first connect.
        h->pressConnect();
        h->skipTime(600 * MemberSession::TickMs);
        QVERIFY(!slotOf(2));
        QTRY_COMPARE(audio->liveDevices.load(), 0);
        sendVoice(2, 30);
        QTRY_VERIFY(slotOf(2));
        QCOMPARE(slotOf(2)->answer, VoiceAnswer::NotAsked);
        sendVoice(2, 31);
        QTRY_COMPARE(h->boxes.questions.size(), 2);
    }
};

QTEST_MAIN(MainDialogVoiceTest)
#include "main_dialog_voice_test.moc"
