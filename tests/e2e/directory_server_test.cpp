// lumo-directory as a player's client meets it: started on a free loopback port, driven over
// HTTP by the program's own directory client and group browser, restarted on the same store.
#include "directory/curl_http_client.h"
#include "directory/directory_client.h"
#include "directory/group_browser_dialog.h"
#include "widgets/directory_test_support.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>

#include "directory_server.h"
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

#ifndef LUMO_DIRECTORY_BINARY
#define LUMO_DIRECTORY_BINARY ""  // not built: every test skips
#endif

namespace {

constexpr Ipv4 Loopback = 0x7F000001;
const std::string Online = "\xD4\xDA\xCF\xDF";  // "在线" in GBK

std::string fetch(const std::string& url)
{
    CurlHttpClient http;
    const auto reply = http.get(url, InteractiveLimits);
    return reply.opened ? reply.body : std::string("<not opened>");
}

struct Run {
    int exitCode = -1;
    QString output;
};
Run runDirectory(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(LUMO_DIRECTORY_BINARY), arguments);
    process.waitForFinished(5000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

}  // namespace

class DirectoryServerTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        if (QString(LUMO_DIRECTORY_BINARY).isEmpty()) QSKIP("lumo-directory is not built");
        QVERIFY(store_.isValid());
    }

    void registersListsAndRemovesWithNamesUnchanged()
    {
        DirectoryServer server(store_.filePath("groups.db"));
        QVERIFY(server.running());
        QCOMPARE(fetch(server.url() + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));

        CurlHttpClient http;
        DirectoryClient client(http);
        // GBK bytes including a trail byte of 0x5C and characters that mean something in a URL.
        const std::string name = "\xD5\x5C\xB6\xD3+&%=";
        QCOMPARE(client.addGroup(server.url(), name, Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(fetch(server.url() + "/lumo.asp"),
                 "myserverlist\r\n127.0.0.1 \r\n1 " + name + " 127.0.0.1 3555 " + Online + " \r\n");

        const auto listed = client.fetchList(server.url());
        QCOMPARE(listed.status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(listed.reply.rows.size(), std::size_t(1));
        QCOMPARE(listed.reply.rows[0], (GroupRow{{"1", name, "127.0.0.1", "3555", Online}}));

        // Registering again from the same address replaces the name instead of adding a group.
        QCOMPARE(client.addGroup(server.url(), "second", Loopback), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(1));
        QCOMPARE(client.fetchList(server.url()).reply.rows[0].columns[NameColumn], std::string("second"));

        client.removeRegistration();
        QCOMPARE(client.fetchList(server.url()).reply.rows.size(), std::size_t(0));
        QVERIFY(server.stop());
    }

    void storeSurvivesARestart()
    {
        const QString database = store_.filePath("restart.db");
        CurlHttpClient http;
        {
            DirectoryServer server(database, {"--any-ip"});
            QVERIFY(server.running());
            DirectoryClient client(http);
            QCOMPARE(client.addGroup(server.url(), "kept", 0xC0000201), DirectoryClient::AddStatus::Registered);
            QVERIFY(server.stop());
        }
        DirectoryServer again(database, {"--any-ip"});
        QVERIFY(again.running());
        DirectoryClient client(http);
        QCOMPARE(client.addGroup(again.url(), "new", 0xC0000202), DirectoryClient::AddStatus::Registered);
        const auto rows = client.fetchList(again.url()).reply.rows;
        QCOMPARE(rows.size(), std::size_t(2));
        // Newest first.
        QCOMPARE(rows[0].columns[IdColumn], std::string("2"));
        QCOMPARE(rows[1], (GroupRow{{"1", "kept", "192.0.2.1", "3555", Online}}));
    }

    void badRequestsGetAClearErrorAndChangeNothing()
    {
        DirectoryServer server(store_.filePath("bad.db"));
        QVERIFY(server.running());
        const std::string base = server.url();
        const auto errorLine = [](const std::string& body) { return body.substr(0, body.find('\r')); };

        QCOMPARE(errorLine(fetch(base + "/lumoadd.asp?name=g&port=3555")), std::string("error: missing parameter ip"));
        QCOMPARE(errorLine(fetch(base + "/lumoadd.asp?ip=127.0.0.1&port=3555")), std::string("error: missing parameter name"));
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.01&port=3555").rfind("error: ip", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.1&port=0").rfind("error: port", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=127.0.0.1&port=65536").rfind("error: port", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=" + std::string(65, 'n') + "&ip=127.0.0.1&port=3555").rfind("error: name", 0) == 0);
        // A space or line break would split the served line and forge fields or groups.
        QVERIFY(fetch(base + "/lumoadd.asp?name=a%20b&ip=127.0.0.1&port=3555").rfind("error: name", 0) == 0);
        QVERIFY(fetch(base + "/lumoadd.asp?name=a%0D%0A9&ip=127.0.0.1&port=3555").rfind("error: name", 0) == 0);
        // Nobody registers or removes an address other than the one they connect from.
        QVERIFY(fetch(base + "/lumoadd.asp?name=g&ip=192.0.2.1&port=3555").rfind("error: ip is not the address", 0) == 0);
        QVERIFY(fetch(base + "/lumomove.asp?name=id&ip=127.0.0.1&port=3555").rfind("error: no group", 0) == 0);
        QVERIFY(fetch(base + "/other.asp").rfind("error: no such page", 0) == 0);

        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.addGroup(base, "a b", Loopback), DirectoryClient::AddStatus::Refused);
        QCOMPARE(client.addGroup(base, "g", 0xC0000201), DirectoryClient::AddStatus::Refused);
        QCOMPARE(fetch(base + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));
    }

    void prefixAndCapacity()
    {
        DirectoryServer server(store_.filePath("prefix.db"), {"--prefix", "/lumo/", "--max-groups", "1", "--any-ip"});
        QVERIFY(server.running());
        const std::string base = server.url();  // already carries the prefix
        QVERIFY(base.ends_with("/lumo"));
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(base).status, DirectoryClient::ListStatus::Listed);
        QCOMPARE(client.fetchList(base.substr(0, base.size() - 5)).status, DirectoryClient::ListStatus::NotAList);
        QCOMPARE(client.addGroup(base, "one", 0xC0000201), DirectoryClient::AddStatus::Registered);
        QCOMPARE(client.addGroup(base, "two", 0xC0000202), DirectoryClient::AddStatus::Refused);  // full
        QCOMPARE(client.addGroup(base, "one-renamed", 0xC0000201), DirectoryClient::AddStatus::Registered);
    }

    void commandLine()
    {
        const Run help = runDirectory({"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.contains("--prefix"));
        QCOMPARE(runDirectory({"--bogus"}).exitCode, 2);
        QCOMPARE(runDirectory({"--port", "70000"}).exitCode, 2);

        DirectoryServer server(store_.filePath("busy.db"));
        QVERIFY(server.running());
        const QString port = QString::fromStdString(server.url().substr(server.url().rfind(':') + 1));
        const Run busy = runDirectory({"--port", port, "--db", store_.filePath("busy2.db")});
        QCOMPARE(busy.exitCode, 1);
        QVERIFY(busy.output.contains("cannot listen"));
    }

    // The group browser against the real server: the directory sees 127.0.0.1, which is the
    // client's own address, so it may create a group; the group shows up and goes at closing.
    void browserCreatesAndRemovesAGroup()
    {
        DirectoryServer server(store_.filePath("browser.db"));
        QVERIFY(server.running());
        RecordingBoxes boxes;
        RunDirectory run(QStringLiteral("[urllist]\n本机目录=%1\n").arg(QString::fromStdString(server.url())));
        FakeOwner owner;
        GroupBrowserDialog browser(owner);
        browser.show();
        browser.refreshGroups();
        QTRY_VERIFY(!browser.requestRunning());
        QVERIFY(boxes.texts.isEmpty());
        auto* create = browser.findChild<QPushButton*>("createButton");
        QVERIFY(create->isEnabled());
        QCOMPARE(browser.findChild<QLabel*>("hintLabel")->text(), GroupBrowserDialog::HostHint);

        browser.findChild<QLineEdit*>("groupNameEdit")->setText(QStringLiteral("测试群"));
        QTest::mouseClick(create, Qt::LeftButton);
        QTRY_VERIFY(!browser.requestRunning());
        QVERIFY(boxes.texts.isEmpty());
        QVERIFY(browser.groupRegistered());
        auto* list = browser.findChild<QTreeWidget*>("groupList");
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(1), QStringLiteral("测试群"));
        QCOMPARE(list->topLevelItem(0)->text(4), QStringLiteral("在线"));

        browser.removeRegistration();
        QCOMPARE(fetch(server.url() + "/lumo.asp"), std::string("myserverlist\r\n127.0.0.1 \r\n"));
    }

private:
    QTemporaryDir store_;
};

QTEST_MAIN(DirectoryServerTest)
#include "directory_server_test.moc"
