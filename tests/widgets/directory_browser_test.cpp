// The group browser offscreen, against a recording main window and scripted directory replies.
#include "directory/group_browser_dialog.h"
#include "widgets/directory_test_support.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>
#include <thread>

using namespace lumo;
using namespace lumo::test;

namespace {

// Types text the way a keyboard (or an input method) delivers it, one character at a time.
void typeText(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

const QString SysIni = QStringLiteral(
    "[urllist]\r\n"
    "本机目录=http://127.0.0.1:8080\r\n"
    "第二目录=http://10.1.2.3/dir\r\n"
    "\r\n"
    "[server]\r\n"
    "http=http://127.0.0.1:8080/lumo\r\n");

const std::string ThreeGroups =
    "myserverlist\r\n"
    "127.0.0.1 \r\n"
    "1 \xB5\xDA\xD2\xBB 192.0.2.1 3555 \xD4\xDA\xCF\xDF \r\n"  // 第一, 在线
    "2 second 192.0.2.2 3555 ok \r\n"
    "3 third 192.0.2.3 4000 ok \r\n";

struct Browser {
    explicit Browser(const QString& sysIni = SysIni) : run(sysIni), dialog(owner, &http)
    {
        owner.browser = &dialog;
        dialog.show();
    }
    template <typename T>
    T* child(const char* name)
    {
        auto* widget = dialog.findChild<T*>(QString::fromLatin1(name));
        if (!widget) qFatal("no child %s", name);
        return widget;
    }
    QTreeWidget* list() { return child<QTreeWidget>("groupList"); }
    QPushButton* refresh() { return child<QPushButton>("refreshButton"); }
    QPushButton* create() { return child<QPushButton>("createButton"); }
    QLabel* hint() { return child<QLabel>("hintLabel"); }
    QLineEdit* groupName() { return child<QLineEdit>("groupNameEdit"); }
    QLineEdit* nickname() { return child<QLineEdit>("nicknameEdit"); }
    QComboBox* servers() { return child<QComboBox>("serverChoice"); }
    QStringList column(int c)
    {
        QStringList texts;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) texts << list()->topLevelItem(i)->text(c);
        return texts;
    }
    // Requests run on the browser's request thread: waits until the ones the player started
    // have ended and the window shows their outcome.
    bool settle() { return QTest::qWaitFor([this] { return !dialog.requestRunning(); }, 5000); }
    // Lists and selects a row; for join tests.
    void listAndSelect(int row)
    {
        http.answer(ThreeGroups);
        dialog.refreshGroups();
        if (!settle()) qFatal("the list request did not end");
        list()->topLevelItem(row)->setSelected(true);
    }

    RecordingBoxes boxes;
    RunDirectory run;
    FakeOwner owner;
    FakeDirectory http;
    GroupBrowserDialog dialog;
};

}  // namespace

class DirectoryBrowserTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithTheConfiguredServersAndWaits()
    {
        Browser b;
        QCOMPARE(b.servers()->count(), 2);
        QCOMPARE(b.servers()->itemText(0), QStringLiteral("本机目录"));
        QCOMPARE(b.servers()->currentIndex(), 0);
        QCOMPARE(b.dialog.baseUrl(), QStringLiteral("http://127.0.0.1:8080"));
        QCOMPARE(b.refresh()->text(), QStringLiteral("请等待"));
        QVERIFY(b.refresh()->isEnabled());
        QVERIFY(!b.create()->isEnabled());
        QCOMPARE(b.hint()->text(), QStringLiteral("我要建群!"));
        QVERIFY(b.owner.calls.isEmpty());
        QVERIFY(b.http.urls().empty());  // the main window runs the first refresh
    }

    void withoutSysIniNothingIsConfiguredAndRequestsFail()
    {
        Browser b(QStringLiteral("[server]\nhttp=http://x/lumo\n"));
        QCOMPARE(b.servers()->count(), 0);
        QVERIFY(b.dialog.baseUrl().isEmpty());
        b.http.failToOpen();
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.http.urls().front(), std::string("/lumo.asp"));
        // The player is told which file is missing, not to try again.
        QCOMPARE(b.boxes.texts.size(), 1);
        QVERIFY(b.boxes.texts.front().contains(QStringLiteral("sys/sys.ini")));
        QVERIFY(b.boxes.texts.front().startsWith(QStringLiteral("找不到群目录服务器")));
    }

    void refreshListsTheLastGroupOnTopAndOffersCreation()
    {
        Browser b;
        bool refreshDisabledDuringRequest = false;
        b.http.duringRequest = [&] { refreshDisabledDuringRequest = !b.refresh()->isEnabled(); };
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());

        QVERIFY(refreshDisabledDuringRequest);
        QCOMPARE(b.http.urls().front(), std::string("http://127.0.0.1:8080/lumo.asp"));
        QVERIFY(b.boxes.texts.isEmpty());
        QCOMPARE(b.column(0), (QStringList{"3", "2", "1"}));
        QCOMPARE(b.column(1), (QStringList{"third", "second", "第一"}));
        QCOMPARE(b.column(4).last(), QStringLiteral("在线"));
        QCOMPARE(b.hint()->text(), GroupBrowserDialog::HostHint);
        QVERIFY(b.create()->isEnabled());
        QCOMPARE(b.refresh()->text(), QStringLiteral("刷 新"));
        QVERIFY(b.refresh()->isEnabled());
        QCOMPARE(b.owner.calls, QStringList{"showOwnAddress"});
    }

    void directorySeeingTheSecondAddressSwitchesTheOwnAddress()
    {
        Browser b;
        b.owner.own = 0xC0A80002;     // 192.168.0.2
        b.owner.second = 0xCB007109;  // 203.0.113.9
        b.http.answer("myserverlist\n203.0.113.9 \n");
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.owner.calls, (QStringList{"setOwnAddress 203.0.113.9", "showOwnAddress"}));
        QVERIFY(b.create()->isEnabled());

        b.owner.calls.clear();
        b.http.answer("myserverlist\n198.51.100.1 \n");  // now behind a translator
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.owner.calls, QStringList{"showOwnAddress"});
        QCOMPARE(b.hint()->text(), GroupBrowserDialog::IntranetHint);
        QVERIFY(!b.create()->isEnabled());
    }

    void failedRefreshesKeepTheLastVerdict()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.owner.calls.clear();

        // A reply that is not a list: message, empty list, verdict kept, own address shown.
        bool refreshDisabledDuringBox = false;
        b.boxes.onInform = [&] { refreshDisabledDuringBox = !b.refresh()->isEnabled(); };
        b.http.answer("<html>Internal Server Error</html>");
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::NotAListMessage});
        QCOMPARE(b.boxes.captions, QStringList{"LUMO"});
        QVERIFY(refreshDisabledDuringBox);
        QCOMPARE(b.list()->topLevelItemCount(), 0);
        QCOMPARE(b.hint()->text(), GroupBrowserDialog::HostHint);
        QVERIFY(b.create()->isEnabled());
        QCOMPARE(b.owner.calls, QStringList{"showOwnAddress"});
        QVERIFY(b.refresh()->isEnabled());

        // A directory that cannot be reached: the button is back before the message shows, and
        // the own address is not rewritten.
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.owner.calls.clear();
        b.boxes.texts.clear();
        bool refreshEnabledDuringBox = false;
        b.boxes.onInform = [&] { refreshEnabledDuringBox = b.refresh()->isEnabled(); };
        b.http.failToOpen();
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::CannotOpenMessage});
        QVERIFY(refreshEnabledDuringBox);
        QCOMPARE(b.refresh()->text(), QStringLiteral("刷 新"));
        QCOMPARE(b.list()->topLevelItemCount(), 0);
        QVERIFY(b.owner.calls.isEmpty());
        QVERIFY(b.create()->isEnabled());
    }

    void atStartAnInvalidListLeavesCreationOff()
    {
        Browser b;
        b.http.answer("myserverlist \n127.0.0.1 \n");
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.hint()->text(), GroupBrowserDialog::InitialHint);
        QVERIFY(!b.create()->isEnabled());
    }

    void createRegistersRefreshesAndKeepsTheSubmittedName()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());

        typeText(b.groupName(), QStringLiteral("群a&b"));
        bool createDisabledDuringRequest = false;
        b.http.duringRequest = [&] {
            if (b.http.urls().size() == 2) createDisabledDuringRequest = !b.create()->isEnabled();
        };
        b.http.answer("ok\r\n");
        b.http.answer("myserverlist\n198.51.100.1 \n9 mine 127.0.0.1 3555 ok \n");  // refresh: now ineligible
        QTest::mouseClick(b.create(), Qt::LeftButton);
        QVERIFY(b.settle());

        QVERIFY(createDisabledDuringRequest);
        QCOMPARE(b.http.urls().size(), std::size_t(3));
        QCOMPARE(b.http.urls()[1], std::string("http://127.0.0.1:8080/lumoadd.asp?name=%C8%BAa%26b&ip=127.0.0.1&port=3555"));
        QCOMPARE(b.http.urls()[2], std::string("http://127.0.0.1:8080/lumo.asp"));
        QVERIFY(b.dialog.groupRegistered());
        QCOMPARE(b.column(1), QStringList{"mine"});
        QVERIFY(b.boxes.texts.isEmpty());
        QVERIFY(b.create()->isEnabled());  // enabled when the add ends, whatever the refresh said
        QCOMPARE(b.groupName()->text(), QStringLiteral("群a&b"));

        // Text typed but not submitted is replaced by the submitted name on the next valid list.
        b.groupName()->setText(QStringLiteral("draft"));
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.groupName()->text(), QStringLiteral("群a&b"));
    }

    // Names the directory refuses are explained at once and never sent; the creator with a
    // nickname (the remembered name, unless one was typed) joins its own group as its first
    // member; without one the hint says how to join.
    void createExplainsRefusedNamesAndJoinsTheCreator()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        for (const char* name : {"", "raid night", " "}) {
            b.groupName()->setText(QString::fromUtf8(name));
            b.dialog.createGroup();
            QVERIFY(b.settle());
        }
        QCOMPARE(b.boxes.texts, (QStringList{GroupBrowserDialog::EmptyGroupNameMessage, GroupBrowserDialog::SpaceInGroupNameMessage,
                                             GroupBrowserDialog::SpaceInGroupNameMessage}));
        QCOMPARE(b.http.urls().size(), std::size_t(1));  // only the first list
        QVERIFY(b.create()->isEnabled());

        b.dialog.offerNickname(QStringLiteral("remembered"));
        QCOMPARE(b.nickname()->text(), QStringLiteral("remembered"));
        b.nickname()->setText(QStringLiteral("typed"));
        b.dialog.offerNickname(QStringLiteral("remembered"));
        QCOMPARE(b.nickname()->text(), QStringLiteral("typed"));
        b.owner.calls.clear();
        b.groupName()->setText(QStringLiteral("raid"));
        b.http.answer("ok");
        b.http.answer(ThreeGroups);
        b.dialog.createGroup();
        QVERIFY(b.settle());
        QVERIFY(b.dialog.hostsGroup());
        QVERIFY(b.owner.calls.contains(QStringLiteral("setRemoteAddress 127.0.0.1")));
        QVERIFY(b.owner.calls.contains(QStringLiteral("connectToHost")));
        QVERIFY(b.owner.calls.indexOf(QStringLiteral("connectToHost")) > b.owner.calls.indexOf(QStringLiteral("setRemoteAddress 127.0.0.1")));
        b.dialog.removeRegistration();
        QVERIFY(!b.dialog.hostsGroup());

        Browser nameless;
        nameless.http.answer(ThreeGroups);
        nameless.dialog.refreshGroups();
        QVERIFY(nameless.settle());
        nameless.groupName()->setText(QStringLiteral("raid"));
        nameless.http.answer("ok");
        nameless.http.answer(ThreeGroups);
        nameless.dialog.createGroup();
        QVERIFY(nameless.settle());
        QVERIFY(!nameless.owner.calls.contains(QStringLiteral("connectToHost")));
        QCOMPARE(nameless.child<QLabel>("hintLabel")->text(), GroupBrowserDialog::JoinOwnGroupHint.toString());
    }

    void refusedOrUnreachableCreateReportsAndReenables()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());

        b.groupName()->setText(QStringLiteral("full"));
        b.http.answer("error: the directory is full");
        b.dialog.createGroup();
        QVERIFY(b.settle());
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::CreateFailedMessage});
        QCOMPARE(b.http.urls().size(), std::size_t(2));  // no refresh after a refusal
        QVERIFY(b.create()->isEnabled());
        QVERIFY(!b.dialog.groupRegistered());
        QCOMPARE(b.list()->topLevelItemCount(), 3);

        b.http.failToOpen();
        b.dialog.createGroup();
        QVERIFY(b.settle());
        QCOMPARE(b.boxes.texts.last(), GroupBrowserDialog::CannotOpenMessage);
        QVERIFY(b.create()->isEnabled());
        QVERIFY(!b.dialog.groupRegistered());

        b.dialog.removeRegistration();
        QCOMPARE(b.http.urls().size(), std::size_t(3));  // nothing registered, nothing removed
    }

    // The removal goes to the directory that registered the group, not to the one picked
    // since: only there is anything to remove.
    void removalAtClosingIsSentOnceToTheServerThatRegistered()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.groupName()->setText(QStringLiteral("mine"));
        b.http.answer("ok");
        b.http.answer(ThreeGroups);
        b.dialog.createGroup();
        QVERIFY(b.settle());
        b.servers()->setCurrentIndex(1);
        emit b.servers()->activated(1);
        b.dialog.removeRegistration();
        b.dialog.removeRegistration();
        QCOMPARE(b.http.urls().size(), std::size_t(4));
        QCOMPARE(b.http.urls().back(), std::string("http://127.0.0.1:8080/lumomove.asp?name=id&ip=127.0.0.1&port=3555"));
    }

    // A directory that takes its time holds up neither the window nor the program: the window
    // keeps handling events and shows that it waits; afterwards it shows what it always showed.
    void slowDirectoryDoesNotHoldTheWindow()
    {
        RecordingBoxes boxes;
        RunDirectory run(SysIni);
        FakeOwner owner;
        FakeDirectory http;
        http.gated = true;
        auto browser = std::make_unique<GroupBrowserDialog>(owner, &http);
        GroupBrowserDialog& dialog = *browser;
        dialog.show();
        auto* refresh = dialog.findChild<QPushButton*>("refreshButton");
        auto* list = dialog.findChild<QTreeWidget*>("groupList");

        dialog.refreshGroups();
        QVERIFY(QTest::qWaitFor([&] { return http.requestCount() == 1; }, 5000));
        bool timerRan = false;
        QTimer::singleShot(10, [&] { timerRan = true; });
        QTRY_VERIFY(timerRan);  // the window thread is free while the directory is silent
        QVERIFY(dialog.requestRunning());
        QVERIFY(!refresh->isEnabled());
        QCOMPARE(refresh->text(), GroupBrowserDialog::WaitText);
        QCOMPARE(dialog.cursor().shape(), Qt::BusyCursor);

        http.answer(ThreeGroups);
        QTRY_VERIFY(!dialog.requestRunning());
        QCOMPARE(list->topLevelItemCount(), 3);
        QVERIFY(refresh->isEnabled());
        QCOMPARE(refresh->text(), GroupBrowserDialog::RefreshText);
        QCOMPARE(dialog.cursor().shape(), Qt::ArrowCursor);
        QVERIFY(boxes.texts.isEmpty());

        // The browser goes while a request hangs: it ends once the request does, and what the
        // request concluded is dropped, not shown in a window that is gone.
        dialog.refreshGroups();
        QVERIFY(QTest::qWaitFor([&] { return http.requestCount() == 2; }, 5000));
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            http.answer(ThreeGroups);
        });
        browser.reset();
        releaser.join();
        QCoreApplication::sendPostedEvents();  // what the request left queued, if anything
        QVERIFY(boxes.texts.isEmpty());
    }

    // A registered group is renewed by repeating its add request until the window closes; the
    // removal is the last request, and nothing is renewed after it.
    void registeredGroupIsRenewedUntilRemoved()
    {
        Browser b;
        b.dialog.setRenewInterval(std::chrono::milliseconds(20));
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.groupName()->setText(QStringLiteral("renewed"));
        b.http.answer("ok");
        b.http.answer(ThreeGroups);
        b.dialog.createGroup();
        QVERIFY(b.settle());
        const std::string add = "http://127.0.0.1:8080/lumoadd.asp?name=renewed&ip=127.0.0.1&port=3555";
        const auto adds = [&] {
            const auto urls = b.http.urls();
            return std::count(urls.begin(), urls.end(), add);
        };
        QTRY_VERIFY(adds() >= 4);
        // A renewal that fails (no answer scripted) is simply tried again later.
        b.servers()->setCurrentIndex(1);
        emit b.servers()->activated(1);
        const auto before = adds();
        QTRY_VERIFY(adds() >= before + 2);  // still to the directory that registered it

        b.dialog.removeRegistration();
        QVERIFY(b.http.urls().back().find("/lumomove.asp") != std::string::npos);
        const auto total = b.http.urls().size();
        // Five renewal intervals go by on the same event loop: nothing more is asked.
        int intervals = 0;
        QTimer interval;
        connect(&interval, &QTimer::timeout, [&] { ++intervals; });
        interval.start(20);
        QTRY_VERIFY(intervals >= 5);
        QCOMPARE(b.http.urls().size(), total);
        QVERIFY(b.boxes.texts.isEmpty());
    }

    void oversizedOrCutListsAreSaidSo()
    {
        Browser b;
        HttpReply tooLarge;
        tooLarge.tooLarge = true;
        b.http.reply(tooLarge);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::TooLargeMessage});
        QVERIFY(b.refresh()->isEnabled());

        auto* caption = b.child<QLabel>("listCaption");
        std::string body = "myserverlist\r\n127.0.0.1 \r\n";
        for (std::size_t i = 0; i < MaxGroupRows + 5; ++i) body += std::to_string(i) + " g 192.0.2.1 3555 ok \r\n";
        b.http.answer(body);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.list()->topLevelItemCount(), static_cast<int>(MaxGroupRows));
        QCOMPARE(caption->text(), QStringLiteral("显示前 4096 个群"));
        QCOMPARE(caption->toolTip(), QStringLiteral("另有 5 个群未显示"));

        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(caption->text(), GroupBrowserDialog::ListCaption);
        QCOMPARE(b.boxes.texts.size(), 1);
    }

    void groupNameIsLimitedToTwentyGbkBytes()
    {
        Browser b;
        typeText(b.groupName(), QStringLiteral("一二三四五六七八九十百千"));
        QCOMPARE(b.groupName()->text(), QStringLiteral("一二三四五六七八九十"));
        b.groupName()->clear();
        typeText(b.groupName(), QStringLiteral("abcdefghijklmnopqrs一"));  // 19 + 2 bytes
        QCOMPARE(b.groupName()->text(), QStringLiteral("abcdefghijklmnopqrs"));
    }

    void joinNeedsANicknameThenUsesOnlyTheAddress()
    {
        Browser b;
        b.listAndSelect(0);  // group 3, port 4000
        b.owner.calls.clear();

        b.dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&b.dialog));
        b.dialog.joinSelectedGroup();
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::NoNicknameMessage});
        QVERIFY(b.nickname()->hasFocus());
        QVERIFY(b.owner.calls.isEmpty());

        b.nickname()->setText(QStringLiteral("小明"));
        b.dialog.joinSelectedGroup();
        QCOMPARE(b.owner.calls, (QStringList{"setRemoteAddress 192.0.2.3", "setMemberName 小明 browserVisible=0",
                                             "connectToHost"}));
        QVERIFY(!b.dialog.isVisible());
    }

    void joinWithoutSelectionDoesNothingButAnEmptyNicknameIsStillReported()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.list()->clearSelection();
        b.owner.calls.clear();
        b.dialog.joinSelectedGroup();
        QCOMPARE(b.boxes.texts, QStringList{GroupBrowserDialog::NoNicknameMessage});

        b.nickname()->setText(QStringLiteral("nick"));
        b.dialog.joinSelectedGroup();
        QCOMPARE(b.boxes.texts.size(), 1);
        QVERIFY(b.owner.calls.isEmpty());
        QVERIFY(b.dialog.isVisible());
    }

    void mouseDoubleClickJoinsAndRightClickHides()
    {
        Browser b;
        b.listAndSelect(2);
        b.nickname()->setText(QStringLiteral("nick"));
        b.owner.calls.clear();
        auto* viewport = b.list()->viewport();
        const QPoint onSecondRow = b.list()->visualItemRect(b.list()->topLevelItem(1)).center();
        // A double-click as the window system delivers it: a click, then the double-click.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, onSecondRow);
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, onSecondRow);
        QCOMPARE(b.owner.calls.value(0), QStringLiteral("setRemoteAddress 192.0.2.2"));
        QVERIFY(!b.dialog.isVisible());

        b.dialog.showAgain();
        QVERIFY(b.dialog.isVisible());
        QTest::mouseClick(viewport, Qt::RightButton, {}, onSecondRow);
        QVERIFY(!b.dialog.isVisible());

        b.dialog.showAgain();
        QTest::mouseDClick(&b.dialog, Qt::LeftButton, {}, QPoint(2, 2));  // the window's own surface
        QVERIFY(!b.dialog.isVisible());
        b.dialog.showAgain();
        QTest::mouseClick(b.hint(), Qt::RightButton);  // labels pass clicks to the window
        QVERIFY(!b.dialog.isVisible());
    }

    void serverButtonShowsAndOffersRefreshWithoutRefreshing()
    {
        Browser b;
        b.dialog.hide();
        b.refresh()->setEnabled(false);
        b.dialog.showAgain();
        QVERIFY(b.dialog.isVisible());
        QCOMPARE(b.refresh()->text(), QStringLiteral("刷 新"));
        QVERIFY(b.refresh()->isEnabled());
        QVERIFY(b.http.urls().empty());
    }

    void choosingAServerSetsTheBaseUrlAndTheSiteLink()
    {
        Browser b;
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        b.owner.calls.clear();

        b.servers()->setCurrentIndex(1);
        emit b.servers()->activated(1);
        QCOMPARE(b.dialog.baseUrl(), QStringLiteral("http://10.1.2.3/dir"));
        QCOMPARE(b.owner.calls, QStringList{"setSiteUrl http://10.1.2.3/dir"});
        QCOMPARE(b.list()->topLevelItemCount(), 3);  // old list stays until the next refresh
        QCOMPARE(b.http.urls().size(), std::size_t(1));

        // The file lost the entry since start: the display name itself becomes the base URL.
        b.run.writeSysIni(QStringLiteral("[urllist]\nsomething=http://else\n"));
        emit b.servers()->activated(0);
        QCOMPARE(b.dialog.baseUrl(), QStringLiteral("本机目录"));
    }

    // The server chosen in the last run is chosen again at start, before the first refresh; one
    // the server list no longer names leaves the first.
    void aRememberedServerIsChosenAgain()
    {
        Browser b;
        QSignalSpy chosen(&b.dialog, &GroupBrowserDialog::serverChosen);
        QVERIFY(!b.dialog.chooseServer(QStringLiteral("gone")));
        QCOMPARE(b.servers()->currentIndex(), 0);
        QCOMPARE(b.dialog.baseUrl(), QStringLiteral("http://127.0.0.1:8080"));
        QVERIFY(b.owner.calls.isEmpty());

        const QString second = b.servers()->itemText(1);
        QVERIFY(b.dialog.chooseServer(second));
        QCOMPARE(b.servers()->currentIndex(), 1);
        QCOMPARE(b.owner.calls, QStringList{"setSiteUrl http://10.1.2.3/dir"});
        b.http.answer(ThreeGroups);
        b.dialog.refreshGroups();
        QVERIFY(b.settle());
        QCOMPARE(b.http.urls().size(), std::size_t(1));
        QVERIFY(QString::fromStdString(b.http.urls()[0]).startsWith(QStringLiteral("http://10.1.2.3/dir/")));
        QCOMPARE(chosen.size(), 0);  // restoring is not the player's choice

        // The player's choice is announced, to be remembered.
        b.servers()->setCurrentIndex(0);
        emit b.servers()->activated(0);
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toString(), QStringLiteral("本机目录"));
    }
};

QTEST_MAIN(DirectoryBrowserTest)
#include "directory_browser_test.moc"
