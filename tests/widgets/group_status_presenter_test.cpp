// What the main window shows of the group and what the player's actions decide, read from a
// member session driven by hand: no window, no sockets. Every signal the presenter gives is
// written down as one line, so a case states all the window would do and nothing more.
#include "app/chat_inbox.h"
#include "app/group_status_presenter.h"
#include "core/text/gbk.h"
#include "fake_peer.h"

#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

constexpr Ipv4 Host = 0x0A000001, Own = 0x0A000002;
using Event = SessionEvent::Kind;
using Problem = MemberSession::ConnectProblem;

QString q(const char* utf8) { return QString::fromUtf8(utf8); }

struct Window {
    MemberSession session;
    std::vector<std::pair<int, bool>> answers;  // the voice questions answered
    bool overlayAsks = false;
    std::optional<std::pair<std::string, std::optional<Ipv4>>> connectedTo;
    std::vector<std::string> sent;
    GroupStatusPresenter presenter;
    std::function<void(bool)> pendingAnswer;
    QStringList shown;

    Window()
        : presenter(session, GroupStatusPresenter::Hooks{
                                 [this](int) { return overlayAsks; },
                                 [this](int id, bool yes) { answers.emplace_back(id, yes); },
                                 [this](const std::string& name, std::optional<Ipv4> host) {
                                     connectedTo.emplace(name, host);
                                     return session.connect(name, host, 0);
                                 },
                                 [this](const std::string& gbk) { sent.push_back(gbk); }, nullptr})
    {
        session.setOwnLocalAddress(Own);
        using P = GroupStatusPresenter;
        auto line = [this](const QString& text) { shown << text; };
        QObject::connect(&presenter, &P::rosterChanged, [=](const MemberSession&) { line(q("roster")); });
        QObject::connect(&presenter, &P::memberChanged, [=](const MemberSession&, int id) { line(q("member %1").arg(id)); });
        QObject::connect(&presenter, &P::chatArrived, [=](const std::string& key, const QString& name, const std::string& gbk) {
            line(q("chat %1 %2 %3").arg(QString::fromStdString(key), name, QString::fromStdString(gbkToUtf8(gbk))));
        });
        QObject::connect(&presenter, &P::statusText, [=](const QString& text) { line(q("status ") + text); });
        QObject::connect(&presenter, &P::connectEnabled, [=](bool on) { line(q(on ? "connect on" : "connect off")); });
        QObject::connect(&presenter, &P::connectText, [=](const QString& text) { line(q("connect ") + text); });
        QObject::connect(&presenter, &P::voiceButtonText, [=](const QString& text) { line(q("voice ") + text); });
        QObject::connect(&presenter, &P::partnerText, [=](const QString& text) { line(q("partner ") + text); });
        QObject::connect(&presenter, &P::notification,
                         [=](const QString& summary, const QString& body) { line(q("notify %1 %2").arg(summary, body)); });
        QObject::connect(&presenter, &P::informLater,
                         [=](const QString& caption, const QString& text) { line(q("later %1 %2").arg(caption, text)); });
        QObject::connect(&presenter, &P::inform,
                         [=](const QString& caption, const QString& text) { line(q("box %1 %2").arg(caption, text)); });
        QObject::connect(&presenter, &P::ask, [this, line](const QString& caption, const QString& text,
                                                           const std::function<void(bool)>& answered) {
            line(q("ask %1 %2").arg(caption, text));
            pendingAnswer = answered;
        });
        QObject::connect(&presenter, &P::refused, [=](const QString& text, P::Field field) {
            line(q(field == P::Field::Name ? "refused name " : "refused address ") + text);
        });
        QObject::connect(&presenter, &P::textSent,
                         [=](const QString& to, const QString& text) { line(q("sent %1 %2").arg(to, text)); });
    }

    void receive(const Bytes& bytes)
    {
        const WireRead read = readMessage(ByteView(bytes.data(), bytes.size()));
        QVERIFY(read.message);
        session.receive(*read.message, Endpoint{Host, HostPort}, 0);
    }
    // Joins as member 1 (me) beside ann (0) and 小明 (2).
    void join()
    {
        QCOMPARE(session.connect("me", Host, 0), Problem::None);
        receive(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost));
        Roster roster;
        roster.count = 3;
        roster.records[0] = memberAt(0, "ann", 0x0A000003);
        roster.records[1] = memberAt(1, "me", Own);
        roster.records[2] = memberAt(2, "cyd", 0x0A000004);
        roster.records[2].setName(utf8ToGbk("小明"));
        receive(makeRosterUpdate(1, roster));
        session.advance(3 * MemberSession::TickMs);  // the join is judged a moment after the Ack
        QVERIFY(session.joined());
        session.takeOutput();
    }
    QStringList show(Event kind, int memberId = -1, const std::string& text = {})
    {
        shown.clear();
        presenter.showEvent(SessionEvent{kind, memberId, text});
        return shown;
    }
};

}  // namespace

class GroupStatusPresenterTest : public QObject {
    Q_OBJECT

private slots:
    void eachEventSaysWhatTheWindowShows_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("memberId");
        QTest::addColumn<QStringList>("shown");
        const auto row = [](const char* name, Event kind, int id, QStringList shown) {
            QTest::newRow(name) << int(kind) << id << shown;
        };
        row("roster, then the voice button", Event::RosterChanged, -1, {q("roster"), q("voice 语聊")});
        row("one member's row", Event::MemberChanged, 2, {q("member 2")});
        row("the talker", Event::VoiceHeard, 2, {q("status 小明说：")});
        row("connect state", Event::ConnectChanged, -1, {q("connect on"), q("connect 更新")});
        row("no answer to the join", Event::ConnectFailed, -1, {q("later LUMO 连接失败，请检查设置是否正确！")});
        row("group full", Event::GroupFull, -1, {q("later LUMO 群已满，或群主没有回应。")});
        row("host gone", Event::HostGone, -1, {q("status 主机已离开")});
        row("text not reached", Event::PathFailed, 0, {q("status 无法连通ann：刚才的文字可能没有送到。")});
        row("voice button", Event::TalkingChanged, -1, {q("voice 语聊")});
        row("alone", Event::Alone, -1, {q("box LUMO 就你一个人怎么群聊啊，去拉点人来吧！...*_*")});
        row("no partner", Event::NoPartner, -1, {q("box LUMO 你要和谁对话，你不说我怎么知道！要你就说吗！...*_*")});
        row("no microphone", Event::NoMicrophone, -1,
            {q("box LUMO 无法开始语聊：打不开录音设备。\n请接上麦克风或耳机，检查声音设置，然后再按“语聊”。")});
        row("microphone lost", Event::MicrophoneLost, -1,
            {q("voice 语聊"), q("status 麦克风已断开"), q("box LUMO 麦克风已断开，语聊已停止。\n接好后再按“语聊”。")});
        row("selection", Event::SelectionChanged, -1, {});
        row("partner, none chosen", Event::PartnerChanged, -1, {q("partner ")});
    }
    void eachEventSaysWhatTheWindowShows()
    {
        QFETCH(int, kind);
        QFETCH(int, memberId);
        QFETCH(QStringList, shown);
        Window w;
        w.join();
        QCOMPARE(w.show(Event(kind), memberId), shown);
    }

    void connectButtonFollowsTheJoin()
    {
        Window w;
        QCOMPARE(w.show(Event::ConnectChanged), (QStringList{q("connect on"), q("connect 连接")}));
        QCOMPARE(w.session.connect("me", Host, 0), Problem::None);
        QCOMPARE(w.show(Event::ConnectChanged), (QStringList{q("connect off"), q("connect 连接")}));
        w.join();
        QCOMPARE(w.show(Event::ConnectChanged), (QStringList{q("connect on"), q("connect 更新")}));
    }

    void chatAndLeavingNameTheSenderFromGbk()
    {
        Window w;
        w.join();
        QCOMPARE(w.show(Event::ChatArrived, 2, utf8ToGbk("你好")),
                 QStringList{q("chat %1 小明 你好").arg(QString::fromStdString(chatSenderKey(w.session.roster(), 2)))});
        w.shown.clear();
        w.presenter.showMemberLeftHost(utf8ToGbk("小明"));
        QCOMPARE(w.shown, QStringList{q("status 小明离开了！")});
    }

    // The partner label names the chosen member, or the one who left; outside group mode nobody.
    void partnerLabel()
    {
        Window w;
        w.join();
        w.session.select(0);
        QCOMPARE(w.show(Event::PartnerChanged, 0), QStringList{q("partner ann")});
        w.session.select(-1);  // a click on no row keeps the partner
        QCOMPARE(w.show(Event::PartnerChanged, 0), QStringList{q("partner ann")});
        Window gone;
        gone.join();
        QCOMPARE(gone.show(Event::PartnerChanged, -1, utf8ToGbk("小红")), QStringList{q("partner 小红（已离开）")});
        gone.session.setGroupMode(false);
        QCOMPARE(gone.show(Event::PartnerChanged, -1, utf8ToGbk("小红")), QStringList{q("partner ")});
    }

    // A voice question goes to the overlay when it can ask; otherwise a notification and a box
    // in the queue, whose answer goes back to the session for that member.
    void voiceQuestionGoesToTheOverlayOrToABox()
    {
        Window w;
        w.join();
        w.overlayAsks = true;
        QVERIFY(w.show(Event::AskVoice, 2).isEmpty());
        w.overlayAsks = false;
        QCOMPARE(w.show(Event::AskVoice, 2),
                 (QStringList{q("notify LUMO 小明想和你聊天，接受吗？"), q("ask LUMO 小明想和你聊天，接受吗？")}));
        QVERIFY(w.answers.empty());
        w.pendingAnswer(false);
        QCOMPARE(w.answers, (std::vector<std::pair<int, bool>>{{2, false}}));
    }

    // The session judges the fields (a partial address is never taken as this machine); a name
    // too long for the wire is refused before it is asked.
    void connectRefusalsSayWhyAndWhereToGoBack_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("asked");  // whether the session was asked at all
        QTest::addColumn<QStringList>("shown");
        const QString tooLong = q("refused name 名字太长了：最多 16 个字节（8 个汉字）。");
        const QString noName = q("refused name 你忘了写上你的名字了！");
        const QString partial = q("refused address 远端IP不完整：请填写群主的完整地址，四段数字，例如 192.168.1.20。");
        QTest::newRow("joins") << q("me") << q("10.0.0.1") << true << QStringList{};
        QTest::newRow("nine Chinese characters") << q("一二三四五六七八九") << q("10.0.0.1") << false << QStringList{tooLong};
        QTest::newRow("eight fit") << q("一二三四五六七八") << q("10.0.0.1") << true << QStringList{};
        QTest::newRow("no name") << QString() << q("10.0.0.1") << true << QStringList{noName};
        QTest::newRow("no address") << q("cyd") << QString() << true << QStringList{partial};
        QTest::newRow("two parts") << q("cyd") << q("127.0") << true << QStringList{partial};
        QTest::newRow("any address") << q("cyd") << q("0.0.0.0") << true << QStringList{partial};
    }
    void connectRefusalsSayWhyAndWhereToGoBack()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(bool, asked);
        QFETCH(QStringList, shown);
        Window w;
        w.presenter.connectToHost(name, address);
        QCOMPARE(w.shown, shown);
        QCOMPARE(w.connectedTo.has_value(), asked);
        if (asked) {
            QCOMPARE(w.connectedTo->first, utf8ToGbk(name.toStdString()));
            QCOMPARE(w.connectedTo->second, parseDottedAddress(address.toStdString()));
        }
        QCOMPARE(w.session.connecting(), shown.isEmpty());
    }
    // Text goes to the session in GBK when someone is to take it: the partner, the ticked
    // members, or both; the field clears and the history keeps it under all their names. With
    // nobody chosen or ticked the player is told so, and nothing goes.
    void sentTextNamesEveryRecipient()
    {
        Window w;
        w.join();
        w.presenter.sendText(q("一二三四五六七八九"), q("lost"));
        QCOMPARE(w.shown, QStringList{q("refused name 名字太长了：最多 16 个字节（8 个汉字）。")});
        QVERIFY(w.sent.empty());
        w.shown.clear();
        w.presenter.sendText(q("me"), q("nobody"));
        QCOMPARE(w.shown, QStringList{q("status 请先点选或勾选要发给的成员。")});
        QVERIFY(w.sent.empty());
        w.shown.clear();
        w.session.tick(0, true);
        w.presenter.sendText(q("me"), q("ticked"));
        QCOMPARE(w.shown, QStringList{q("sent ann ticked")});
        w.shown.clear();
        w.session.select(2);
        w.presenter.sendText(q("me"), q("你好"));
        QCOMPARE(w.shown, QStringList{q("sent 小明, ann 你好")});
        QCOMPARE(w.sent, (std::vector<std::string>{"ticked", utf8ToGbk("你好")}));
    }
    // Characters GBK lacks still go (as "?", the wire's GBK allows no better), and the sender
    // is told which ones the others will not see; each is named once.
    void charactersGbkLacksAreNamedToTheSender()
    {
        Window w;
        w.join();
        w.session.select(0);
        w.presenter.sendText(q("me"), q("gg 😀 好 😀 ★ 🎮"));
        QCOMPARE(w.shown, (QStringList{q("sent ann gg 😀 好 😀 ★ 🎮"), q("status 对方收到的文字里，这些字符会变成“?”：😀🎮")}));
        QCOMPARE(w.sent.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(gbkToUtf8(w.sent[0])), q("gg ? 好 ? ★ ?"));
    }
    // While the group is joined again by itself, a failed attempt opens no box; the player's
    // own join does.
    void failedRejoinIsNoBox()
    {
        bool rejoining = true;
        MemberSession session;
        GroupStatusPresenter presenter(session, {nullptr, nullptr, nullptr, nullptr, [&] { return rejoining; }});
        QStringList boxes;
        QObject::connect(&presenter, &GroupStatusPresenter::informLater,
                         [&](const QString&, const QString& text) { boxes << text; });
        presenter.showEvent(SessionEvent{Event::ConnectFailed, -1, {}});
        presenter.showEvent(SessionEvent{Event::GroupFull, -1, {}});
        QVERIFY(boxes.isEmpty());
        rejoining = false;
        presenter.showEvent(SessionEvent{Event::ConnectFailed, -1, {}});
        QCOMPARE(boxes, QStringList{q("连接失败，请检查设置是否正确！")});
    }
};

QTEST_MAIN(GroupStatusPresenterTest)
#include "group_status_presenter_test.moc"
