// The overlay bridge between a real GroupEndpoint and the overlay's end of the link (a recording
// mailbox "gamein"): questions about new talkers go to the overlay only while its pipe is open,
// the overlay's requests become the session's commands, and a pipe that cannot be created is
// told to the player by the window.
#include "app/main_dialog.h"
#include "app/overlay_bridge.h"
#include "fake_peer.h"
#include "overlay_test_support.h"
#include "quiet_directory.h"

#include <QtTest>

using namespace lumo;
using namespace lumo::test;
namespace to_main = lumo::link::to_main;
namespace to_overlay = lumo::link::to_overlay;

class OverlayBridgeTest : public QObject {
    Q_OBJECT

    const Ipv4 me = loopback(70), hostAddress = loopback(71), talkers = loopback(72);
    std::unique_ptr<GroupEndpoint> endpoint;
    std::unique_ptr<OverlayBridge> bridge;
    std::unique_ptr<FakePeer> host, peer;
    std::vector<int> windowAsked;  // AskVoice events the window would ask about itself
    int noMicrophone = 0;

    void voiceFrom(int id, std::uint32_t sequence)
    {
        VoiceRecord record;
        record.sequence = sequence;
        peer->send(makeVoiceDatagram(cmd::VoiceGroup, 2, idByte(id), record), {me, MemberPort});
    }

private slots:
    // A group of three, joined: ann (0) and bob (1) talk from one address, the endpoint is 2.
    void init()
    {
        windowAsked.clear();
        noMicrophone = 0;
        endpoint = std::make_unique<GroupEndpoint>(me);
        bridge = std::make_unique<OverlayBridge>(*endpoint);
        host = std::make_unique<FakePeer>(hostAddress, HostPort);
        peer = std::make_unique<FakePeer>(talkers, MemberPort);
        QVERIFY(endpoint->socketsBound() && host->bound() && peer->bound());
        connect(endpoint.get(), &GroupEndpoint::sessionEvent, this, [this](const SessionEvent& event) {
            noMicrophone += event.kind == SessionEvent::Kind::NoMicrophone;
            if (event.kind == SessionEvent::Kind::AskVoice && !bridge->askInOverlay(event.memberId))
                windowAsked.push_back(event.memberId);
        });
        QCOMPARE(endpoint->connectTo("me", hostAddress), MemberSession::ConnectProblem::None);
        QVERIFY(host->next(1000, cmd::JoinRequest));
        Roster roster;
        roster.count = 3;
        roster.records[0] = memberAt(0, "ann", talkers);
        roster.records[1] = memberAt(1, "bob", talkers);
        roster.records[2] = memberAt(2, "me", me);
        host->send(makeRosterUpdate(2, roster), {me, MemberPort});
        QTRY_COMPARE(endpoint->session().roster().count, 3);
    }
    void cleanup()
    {
        bridge.reset();
        endpoint.reset();
        host.reset();
        peer.reset();
    }

    void questionsGoToTheOverlayOnlyWhileItsPipeIsOpen()
    {
        RecordingMailbox overlay("gamein");
        QVERIFY(overlay.opened);
        // No pipe: the window asks about ann.
        voiceFrom(0, 1);
        voiceFrom(0, 2);
        QTRY_COMPARE(windowAsked, std::vector<int>{0});
        QVERIFY(!overlay.next(to_overlay::CallRequest, 50));

        // With the pipe the overlay asks about bob, and the main list's column reads "不聊".
        bridge->pipeServer().openOverlayPipe(link::PipeNumber);
        QVERIFY(bridge->pipeOpen());
        voiceFrom(1, 1);
        voiceFrom(1, 2);
        const std::optional<link::Post> asked = overlay.next(to_overlay::CallRequest);
        QVERIFY(asked);
        QCOMPARE(asked->value, 1);
        QCOMPARE(windowAsked, std::vector<int>{0});
        QCOMPARE(endpoint->session().status(1).voice, VoiceState::NotChatting);
        // The overlay's answer reaches the session.
        bridge->pipeServer().onLinkMessage(to_main::AcceptVoice, 3 - 1 - 1);  // row 1 shows member 1
        QCOMPARE(endpoint->session().status(1).voice, VoiceState::Chatting);
    }

    void theOverlaysRequestsBecomeTheSessionsCommands()
    {
        RecordingMailbox overlay("gamein");
        bridge->pipeServer().openOverlayPipe(link::PipeNumber);
        QLocalSocket pipe;  // the overlay reads the pipe: the selection is written there
        pipe.connectToServer(linkSocketPath(QStringLiteral("pipe0")));
        QVERIFY(pipe.waitForConnected(1000));
        // Row 2 is member 0: ticked, and the overlay hears the selection, also when a repeated
        // request changes nothing.
        for (int round = 0; round < 2; ++round) {
            bridge->pipeServer().onLinkMessage(to_main::SelectMember, 2);
            QVERIFY(endpoint->session().status(0).ticked);
            QVERIFY2(overlay.next(to_overlay::SelectionSent), qPrintable(QStringLiteral("round %1").arg(round)));
        }
        // The talk button: no microphone is connected to this endpoint, so the player hears there
        // is none and nothing talks.
        bridge->pipeServer().onLinkMessage(to_main::VoiceToggle, 1);
        QVERIFY(!endpoint->session().talking());
        QCOMPARE(noMicrophone, 1);
    }

    void aPipeThatCannotBeCreatedIsToldByTheWindow()
    {
        cleanup();
        RecordingBoxes boxes;
        QuietDirectory directory;
        MainDialogOptions options;
        options.bindAddress = loopback(73);
        options.directoryHttp = &directory;
        MainDialog dialog(options);
        QLocalServer squatter;  // something else holds the pipe's name
        QVERIFY(listenPrivately(squatter, QString::fromStdString(link::pipeName(link::PipeNumber))));
        dialog.overlay().pipeServer().onLinkMessage(to_main::OverlayOpened, 0);
        QVERIFY(!dialog.overlay().pipeOpen());
        QTRY_COMPARE(boxes.texts, QStringList{QStringLiteral("服务器创建管道失败！")});
        QCOMPARE(boxes.captions, QStringList{QStringLiteral("LUMO")});
    }
};

QTEST_MAIN(OverlayBridgeTest)
#include "overlay_bridge_test.moc"
