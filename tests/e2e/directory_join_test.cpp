// The directory end to end: lumo-directory runs; one main window registers a group through its
// browser; a second lists it and joins it with a double-click; the registration goes when the
// first window closes. Real HTTP and real UDP on loopback.
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "directory/curl_http_client.h"
#include "directory/group_browser_dialog.h"
#include "directory_server.h"
#include "fake_peer.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 HostAddress = loopback(7);
const Ipv4 JoinerAddress = loopback(8);

std::string listing(const std::string& url)
{
    CurlHttpClient http;
    return http.get(url + "/lumo.asp", HttpLimits{}).body;
}

template <typename T>
T* child(QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QLatin1String(name));
}

}  // namespace

class DirectoryJoinTest : public QObject {
    Q_OBJECT

private slots:
    void silentDirectoryDoesNotStopTheGroup();
    void registerListJoinAndRemove()
    {
        if (QByteArray(LUMO_DIRECTORY_BINARY).isEmpty()) QSKIP("lumo-directory is not built");
        QTemporaryDir work;
        QVERIFY(work.isValid());
        DirectoryServer server(work.filePath(QStringLiteral("groups.db")));
        QVERIFY2(server.running(), "lumo-directory did not start");

        // Both windows read sys/sys.ini from the current directory, as the program does.
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("sys")));
        QFile ini(work.filePath(QStringLiteral("sys/sys.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(("[urllist]\r\n" + utf8ToGbk("测试目录") + "=" + server.url() + "\r\n").c_str());
        ini.close();
        QVERIFY(QDir::setCurrent(work.path()));

        RecordingBoxes boxes;
        CurlHttpClient hostHttp(dottedAddress(HostAddress));
        CurlHttpClient joinerHttp(dottedAddress(JoinerAddress));

        auto host = std::make_unique<MainDialog>(MainDialogOptions{HostAddress, &hostHttp});
        host->show();
        GroupBrowserDialog& hostBrowser = host->groupBrowser();
        // The directory sees the host at its own address, so it may create a group.
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(hostBrowser, "createButton")->isEnabled(), 5000);
        child<QLineEdit>(hostBrowser, "groupNameEdit")->setText(QStringLiteral("夜猫子"));
        child<QPushButton>(hostBrowser, "createButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(hostBrowser.groupRegistered(), 5000);
        // Others see a change within a rendering of the list (a tenth of a second).
        QTRY_VERIFY_WITH_TIMEOUT(listing(server.url()).find(utf8ToGbk("夜猫子")) != std::string::npos, 2000);

        // The second window lists the group and joins it with a double-click.
        auto joiner = std::make_unique<MainDialog>(MainDialogOptions{JoinerAddress, &joinerHttp});
        joiner->show();
        GroupBrowserDialog& browser = joiner->groupBrowser();
        auto* groups = child<QTreeWidget>(browser, "groupList");
        QTRY_COMPARE_WITH_TIMEOUT(groups->topLevelItemCount(), 1, 5000);
        QTreeWidgetItem* group = groups->topLevelItem(0);
        QVERIFY(group->text(1) == QStringLiteral("夜猫子") || group->text(2) == QStringLiteral("夜猫子") ||
                group->text(0) == QStringLiteral("夜猫子"));
        child<QLineEdit>(browser, "nicknameEdit")->setText(QStringLiteral("旅人"));
        const QPoint at = groups->visualItemRect(group).center();
        QTest::mouseMove(groups->viewport(), at);
        QTest::mouseClick(groups->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(group->isSelected());
        QTest::mouseDClick(groups->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(child<QLineEdit>(*joiner, "hostAddress")->text(), loopbackText(7));

        // The join goes to the host's address; the host's table takes the joiner in.
        QTRY_COMPARE_WITH_TIMEOUT(joiner->endpoint().session().roster().count, 1, 5000);
        QCOMPARE(QString::fromStdString(gbkToUtf8(joiner->endpoint().session().roster().records[0].nameBytes())), QStringLiteral("旅人"));
        QCOMPARE(host->endpoint().hostRoster().count, 1);
        QTRY_COMPARE_WITH_TIMEOUT(child<QPushButton>(*joiner, "connectButton")->text(), QStringLiteral("更新"), 3000);

        // The host closes: its registration goes.
        host->close();
        QTRY_VERIFY_WITH_TIMEOUT(listing(server.url()).find(utf8ToGbk("夜猫子")) == std::string::npos, 2000);
        QVERIFY2(!boxes.texts.contains(GroupBrowserDialog::CannotOpenMessage), "a directory request failed");
        joiner->close();
    }
};

// A directory that takes the connection and never answers: the group browser's list request
// hangs until its time-out, and the hosting window meanwhile answers the group's datagrams.
void DirectoryJoinTest::silentDirectoryDoesNotStopTheGroup()
{
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(silent, 8) == 0 &&
            ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("sys")));
    QFile ini(work.filePath(QStringLiteral("sys/sys.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(("[urllist]\r\nsilent=" + url + "\r\n").c_str());
    ini.close();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));

    RecordingBoxes boxes;
    const Ipv4 host = loopback(73);
    CurlHttpClient http(dottedAddress(host));
    auto window = std::make_unique<MainDialog>(MainDialogOptions{host, &http});
    window->show();
    GroupBrowserDialog& browser = window->groupBrowser();
    QTRY_VERIFY(browser.requestRunning());

    // While the list request hangs, the host port acknowledges a request at once.
    FakePeer probe(loopback(74), 0);
    MemberEntry nobody;
    nobody.id = 200;
    probe.send(makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, nobody), {host, HostPort});
    QVERIFY(probe.next(2000, cmd::Ack).has_value());
    QVERIFY2(browser.requestRunning(), "the list request ended before the datagram was answered");

    // Afterwards the browser says what it always said of a directory that cannot be reached.
    QTRY_VERIFY_WITH_TIMEOUT(!browser.requestRunning(), InteractiveLimits.totalTimeout.count() + 5000);
    QCOMPARE(boxes.texts, QStringList{GroupBrowserDialog::CannotOpenMessage});
    window->close();
    window.reset();
    ::close(silent);
    QDir::setCurrent(previous);
}

QTEST_MAIN(DirectoryJoinTest)
#include "directory_join_test.moc"
