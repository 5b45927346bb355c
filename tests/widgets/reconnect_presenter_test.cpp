// Joining again by itself, on simulated time: after the host went quiet or the network changed,
// the presenter joins again under the same name at the same host with growing waits, saying so on
// the status line, until a join succeeds or the player takes over. The status line keeps the line
// about the host standing while texts pass beside it, and a member's leaving clears once the
// member is back. Leaving asks first only while hosting or in a group.
#include "app/leave_question.h"
#include "app/reconnect_presenter.h"
#include "app/status_line.h"

#include <QtTest>

using namespace lumo;

namespace {

QString q(const char* utf8) { return QString::fromUtf8(utf8); }
using Event = SessionEvent::Kind;

struct Player {
    ReconnectSchedule::Millis now = 0;
    bool joined = false;
    NetworkIdentity network{{0xC0A80205}, "eth0 0102A8C0"};
    std::vector<std::pair<std::string, std::optional<Ipv4>>> joins;
    QStringList conditions;
    int networkChanges = 0;
    ReconnectPresenter presenter;

    Player()
        : presenter({[this] { return now; }, [this] { return joined; }, [] { return std::optional<Ipv4>(0x0A000001); },
                     [] { return std::string("ann"); },
                     [this](const std::string& name, std::optional<Ipv4> host) {
                         joins.emplace_back(name, host);
                         return MemberSession::ConnectProblem::None;
                     },
                     [this] { return network; }})
    {
        QObject::connect(&presenter, &ReconnectPresenter::hostCondition, [this](const QString& line) { conditions << line; });
        QObject::connect(&presenter, &ReconnectPresenter::networkChanged, [this] { ++networkChanges; });
    }
    void joinNow()
    {
        joined = true;
        presenter.showEvent(SessionEvent{Event::ConnectChanged, -1, {}});
    }
    void hostGone()
    {
        joined = false;
        presenter.showEvent(SessionEvent{Event::HostGone, -1, {}});
        presenter.showEvent(SessionEvent{Event::ConnectChanged, -1, {}});
    }
    // Seconds pass as the presenter's one-second timer would run.
    std::vector<ReconnectSchedule::Millis> runFor(int seconds)
    {
        std::vector<ReconnectSchedule::Millis> at;
        for (int i = 0; i < seconds; ++i) {
            now += 1000;
            const std::size_t before = joins.size();
            presenter.runDue();
            if (joins.size() > before) at.push_back(now);
        }
        return at;
    }
};

}  // namespace

class ReconnectPresenterTest : public QObject {
    Q_OBJECT

private slots:
    void rejoinsWithGrowingWaitsUntilJoined()
    {
        Player p;
        p.joinNow();
        p.conditions.clear();
        p.hostGone();
        QCOMPARE(p.conditions, QStringList{q("主机已离开，1 秒后重新连接……")});
        QVERIFY(p.presenter.retrying());
        const std::vector<ReconnectSchedule::Millis> at = p.runFor(70);
        QCOMPARE(at, (std::vector<ReconnectSchedule::Millis>{1000, 3000, 7000, 15000, 31000, 61000}));
        QCOMPARE(p.joins.front(), (std::pair<std::string, std::optional<Ipv4>>{"ann", 0x0A000001}));
        QVERIFY(p.conditions.contains(q("正在重新连接……")));
        QCOMPARE(p.conditions.last(), q("主机已离开，21 秒后重新连接……"));
        p.joinNow();
        QCOMPARE(p.conditions.last(), QString());  // "主机已离开" ends with the rejoin
        QVERIFY(!p.presenter.retrying());
        QVERIFY(p.runFor(100).empty());
    }
    void thePlayersConnectEndsTheAttempts()
    {
        Player p;
        p.joinNow();
        p.hostGone();
        p.runFor(2);
        p.presenter.playerTookOver();
        QVERIFY(!p.presenter.retrying());
        QCOMPARE(p.conditions.last(), QString());
        QVERIFY(p.runFor(100).empty());
    }
    // Never joined: nothing to join again.
    void hostGoneBeforeAnyJoinDoesNothing()
    {
        Player p;
        p.presenter.showEvent(SessionEvent{Event::HostGone, -1, {}});
        QVERIFY(!p.presenter.retrying());
        QVERIFY(p.runFor(10).empty());
    }
    void aNetworkChangeRejoinsEvenWhileTheHostStillAnswers()
    {
        Player p;
        p.joinNow();
        p.presenter.checkNetwork();
        QVERIFY(!p.presenter.retrying());  // nothing changed
        p.network.defaultRoute = "wlan0 0101A8C0";
        p.presenter.checkNetwork();
        QCOMPARE(p.networkChanges, 1);
        QVERIFY(p.presenter.retrying());
        QCOMPARE(p.conditions.last(), q("网络已变化，1 秒后重新连接……"));
        QCOMPARE(p.runFor(1), (std::vector<ReconnectSchedule::Millis>{1000}));
        // Changed again while retrying: the waits start over.
        p.runFor(2);
        p.network.addresses = {0xC0A80207};
        p.presenter.checkNetwork();
        QCOMPARE(p.runFor(1), (std::vector<ReconnectSchedule::Millis>{4000}));
    }

    void hostLineStandsWhileTextsPassBesideIt()
    {
        StatusLine line;
        line.show(q("ann说："));
        line.setHostCondition(q("主机已离开，1 秒后重新连接……"));
        QCOMPARE(line.text(), q("主机已离开，1 秒后重新连接……"));
        line.show(q("bob：hi"));
        QCOMPARE(line.text(), q("主机已离开，1 秒后重新连接…… | bob：hi"));
        line.setHostCondition(QString());
        QCOMPARE(line.text(), QString());
        line.show(q("bob：again"));
        QCOMPARE(line.text(), q("bob：again"));
    }
    void memberLeftClearsOnceTheMemberIsBack()
    {
        StatusLine line;
        QStringList shown;
        QObject::connect(&line, &StatusLine::textChanged, [&](const QString& text) { shown << text; });
        line.memberLeft(q("bob"), q("bob离开了！"));
        line.membersPresent({q("ann")});
        QCOMPARE(line.text(), q("bob离开了！"));
        line.membersPresent({q("ann"), q("bob")});
        QCOMPARE(line.text(), QString());
        // A later line is not cleared by bob's coming back.
        line.memberLeft(q("bob"), q("bob离开了！"));
        line.show(q("ann说："));
        line.membersPresent({q("bob")});
        QCOMPARE(line.text(), q("ann说："));
        QCOMPARE(shown, (QStringList{q("bob离开了！"), QString(), q("bob离开了！"), q("ann说：")}));
        Roster roster;
        roster.count = 2;
        roster.records[0].setName("ann");
        roster.records[1].setName("bob");
        roster.records[2].setName("ghost");  // past the count: not in the group
        QCOMPARE(StatusLine::namesOf(roster), (std::set<QString>{q("ann"), q("bob")}));
    }

    void leavingAsksOnlyInAGroup_data()
    {
        QTest::addColumn<bool>("listed");
        QTest::addColumn<int>("hostMembers");
        QTest::addColumn<bool>("joined");
        QTest::addColumn<int>("groupMembers");
        QTest::addColumn<QString>("question");
        QTest::newRow("alone") << false << 0 << false << 0 << QString();
        QTest::newRow("member") << false << 0 << true << 4 << q("你在一个有 4 名成员的群里。确定退出吗？");
        QTest::newRow("host with members")
            << true << 3 << true << 3 << q("你是这个群的主机，群里有 3 名成员。\n退出后他们会失去主机。确定退出吗？");
        QTest::newRow("listed, nobody yet")
            << true << 0 << false << 0 << q("你是这个群的主机，群里有 0 名成员。\n退出后他们会失去主机。确定退出吗？");
        QTest::newRow("members without a listing")
            << false << 2 << false << 0 << q("你是这个群的主机，群里有 2 名成员。\n退出后他们会失去主机。确定退出吗？");
    }
    void leavingAsksOnlyInAGroup()
    {
        QFETCH(bool, listed);
        QFETCH(int, hostMembers);
        QFETCH(bool, joined);
        QFETCH(int, groupMembers);
        QFETCH(QString, question);
        QCOMPARE(leaveQuestion({listed, hostMembers, joined, groupMembers}), question);
    }
};

QTEST_MAIN(ReconnectPresenterTest)
#include "reconnect_presenter_test.moc"
