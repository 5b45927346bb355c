// The directory stays true: registrations live for --ttl seconds, renewals keep them, removals
// end them at once; per-address and rate limits answer clearly; two directory processes on one
// store serve one directory. Every case runs against an SQLite file and against a throw-away
// PostgreSQL cluster (reported as skipped when PostgreSQL is not installed). Finally a hosting
// program keeps its group listed for several lifetimes, and killed, loses it within one.
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "directory/curl_http_client.h"
#include "directory/directory_client.h"
#include "directory/group_browser_dialog.h"
#include "directory_server.h"
#include "fake_peer.h"
#include "pg_cluster.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <cstdio>

using namespace lumo;
using namespace lumo::test;

namespace {

constexpr Ipv4 Loopback = 0x7F000001;
const char* const HostingChildVariable = "LUMO_TEST_HOSTING_CHILD";

std::string fetch(const std::string& url)
{
    CurlHttpClient http;
    const auto reply = http.get(url, InteractiveLimits);
    return reply.opened ? reply.body : std::string("<not opened>");
}

std::vector<std::string> listedNames(const std::string& base)
{
    CurlHttpClient http;
    DirectoryClient client(http);
    std::vector<std::string> names;
    for (const auto& row : client.fetchList(base).reply.rows) names.push_back(row.columns[NameColumn]);
    return names;
}

bool listed(const std::string& base, const std::string& name)
{
    const auto names = listedNames(base);
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The hosting program, run as a child process of the test: a main window bound to its own
// loopback address registers a group through its browser and renews it every few hundred ms.
int runHostingChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    const Ipv4 address = loopback(qEnvironmentVariableIntValue("LUMO_TEST_HOST_LAST"));
    RecordingBoxes boxes;
    CurlHttpClient http(dottedAddress(address));
    MainDialog host(MainDialogOptions{address, &http});
    host.show();
    GroupBrowserDialog& browser = host.groupBrowser();
    browser.setRenewInterval(std::chrono::milliseconds(qEnvironmentVariableIntValue("LUMO_TEST_RENEW_MS")));
    auto* create = browser.findChild<QPushButton*>("createButton");
    bool asked = false;
    QTimer step;
    QObject::connect(&step, &QTimer::timeout, [&] {
        if (!boxes.texts.isEmpty()) {
            std::fprintf(stderr, "hosting child: %s\n", qPrintable(boxes.texts.join(' ')));
            QCoreApplication::exit(1);
        }
        if (!asked && create->isEnabled() && !browser.requestRunning()) {
            browser.findChild<QLineEdit*>("groupNameEdit")->setText(QStringLiteral("hosted"));
            create->click();
            asked = true;
        } else if (asked && browser.groupRegistered() && !browser.requestRunning()) {
            std::printf("hosting\n");
            std::fflush(stdout);
            step.stop();
        }
    });
    step.start(20);
    return app.exec();
}

}  // namespace

class DirectoryLivenessTest : public QObject {
    Q_OBJECT

private:
    // A fresh store for the current data row: an SQLite file, or a new PostgreSQL database.
    QString freshStore()
    {
        static int counter = 0;
        const QString kind = QTest::currentDataTag();
        if (kind == QLatin1String("sqlite")) return work_.filePath(QStringLiteral("store%1.db").arg(++counter));
        return QString::fromStdString(PgCluster::shared().createDatabase("liveness" + std::to_string(++counter)));
    }
    // Both stores, or the one LUMO_TEST_STORE names (CTest runs them as two tests, so that
    // the PostgreSQL one can be reported as skipped on its own).
    void stores()
    {
        QTest::addColumn<int>("unused");
        const QString only = qEnvironmentVariable("LUMO_TEST_STORE");
        for (const char* kind : {"sqlite", "postgresql"}) {
            if (only.isEmpty() || only == QLatin1String(kind)) QTest::newRow(kind) << 0;
        }
    }

private slots:
    void initTestCase()
    {
        if (QString(LUMO_DIRECTORY_BINARY).isEmpty()) QSKIP("lumo-directory is not built");
        QVERIFY(work_.isValid());
    }

    void registrationsLiveUntilTheirTtl_data() { stores(); }
    void registrationsLiveUntilTheirTtl()
    {
        const QString store = freshStore();
        if (store.isEmpty() && PgCluster::shared().uri().empty()) QSKIP(PgCluster::shared().why().c_str());
        QVERIFY2(!store.isEmpty(), "cannot create a database in the cluster");
        DirectoryServer server(store, {"--ttl", "2", "--any-ip"});
        QVERIFY(server.running());
        CurlHttpClient http;
        DirectoryClient renewed(http);
        DirectoryClient abandoned(http);
        DirectoryClient removed(http);
        QCOMPARE(renewed.addGroup(server.url(), "renewed", 0xC0000201), DirectoryClient::AddStatus::Registered);
        QCOMPARE(abandoned.addGroup(server.url(), "abandoned", 0xC0000202), DirectoryClient::AddStatus::Registered);
        QCOMPARE(removed.addGroup(server.url(), "removed", 0xC0000203), DirectoryClient::AddStatus::Registered);
        QCOMPARE(listedNames(server.url()), (std::vector<std::string>{"removed", "abandoned", "renewed"}));

        // The removal takes effect at once, long before the lifetime ends.
        removed.removeRegistration();
        QCOMPARE(listedNames(server.url()), (std::vector<std::string>{"abandoned", "renewed"}));

        // Renewed every 700 ms for 3 s, past its lifetime: still there; the other lapses.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 3000) {
            QTest::qWait(700);
            QCOMPARE(renewed.renewRegistration(), DirectoryClient::AddStatus::Registered);
        }
        QCOMPARE(listedNames(server.url()), std::vector<std::string>{"renewed"});
        // A renewal after the lapse registers the group anew.
        QCOMPARE(abandoned.renewRegistration(), DirectoryClient::AddStatus::Registered);
        QCOMPARE(listedNames(server.url()), (std::vector<std::string>{"abandoned", "renewed"}));
        QVERIFY(server.stop());
    }

    void limitsAnswerClearly_data() { stores(); }
    void limitsAnswerClearly()
    {
        const QString store = freshStore();
        if (store.isEmpty() && PgCluster::shared().uri().empty()) QSKIP(PgCluster::shared().why().c_str());
        QVERIFY2(!store.isEmpty(), "cannot create a database in the cluster");
        DirectoryServer server(store, {"--any-ip", "--max-per-address", "2", "--rate", "5", "--burst", "8",
                                       "--list-cap", "1"});
        QVERIFY(server.running());
        const std::string base = server.url();
        const auto add = [&](int last) {
            return fetch(base + "/lumoadd.asp?name=g" + std::to_string(last) + "&ip=192.0.2." + std::to_string(last) +
                         "&port=3555");
        };
        QCOMPARE(add(1), std::string("ok"));
        QCOMPARE(add(2), std::string("ok"));
        QCOMPARE(add(3), std::string("error: your address already has 2 groups registered\r\n"));
        QCOMPARE(add(1), std::string("ok"));  // a renewal is not a new group
        // The list carries the newest groups up to its cap.
        QCOMPARE(fetch(base + "/lumo.asp"), "myserverlist\r\n127.0.0.1 \r\n2 g2 192.0.2.2 3555 " +
                                                std::string("\xD4\xDA\xCF\xDF") + " \r\n");
        // Too long a request is refused before anything else.
        QVERIFY(fetch(base + "/lumo.asp?" + std::string(2000, 'x')).rfind("error: request too long", 0) == 0);
        // The ninth request from this address within the burst is refused, with when to return.
        for (int i = 0; i < 3; ++i) fetch(base + "/lumo.asp");
        const std::string refused = fetch(base + "/lumo.asp");
        QVERIFY2(refused.rfind("error: too many requests from your address; try again in 1 s", 0) == 0, refused.c_str());
        CurlHttpClient http;
        DirectoryClient client(http);
        QCOMPARE(client.fetchList(base).status, DirectoryClient::ListStatus::NotAList);
        // The health page is for the service manager and is not counted.
        QCOMPARE(fetch(base + "/health"), std::string("ok\r\n"));
        QTest::qWait(1100);
        QCOMPARE(client.fetchList(base).status, DirectoryClient::ListStatus::Listed);
    }

    // Two directory processes on one store: either lists what the other registered, removes
    // what the other registered, and the per-address limit counts both.
    void twoDirectoriesServeOneDirectory_data() { stores(); }
    void twoDirectoriesServeOneDirectory()
    {
        const QString store = freshStore();
        if (store.isEmpty() && PgCluster::shared().uri().empty()) QSKIP(PgCluster::shared().why().c_str());
        QVERIFY2(!store.isEmpty(), "cannot create a database in the cluster");
        DirectoryServer first(store, {"--any-ip", "--max-per-address", "3"});
        DirectoryServer second(store, {"--any-ip", "--max-per-address", "3"});
        QVERIFY(first.running() && second.running());
        CurlHttpClient http;
        DirectoryClient a(http), b(http), c(http), d(http);
        QCOMPARE(a.addGroup(first.url(), "one", 0xC0000201), DirectoryClient::AddStatus::Registered);
        // Listed by the other process within its check of the store (a tenth of a second).
        QTRY_COMPARE_WITH_TIMEOUT(listedNames(second.url()), std::vector<std::string>{"one"}, 2000);
        QCOMPARE(b.addGroup(second.url(), "two", 0xC0000202), DirectoryClient::AddStatus::Registered);
        QCOMPARE(c.addGroup(first.url(), "three", 0xC0000203), DirectoryClient::AddStatus::Registered);
        QCOMPARE(d.addGroup(second.url(), "four", 0xC0000204), DirectoryClient::AddStatus::Refused);
        QTRY_COMPARE_WITH_TIMEOUT(listedNames(first.url()), (std::vector<std::string>{"three", "two", "one"}), 2000);
        QCOMPARE(fetch(second.url() + "/lumomove.asp?name=id&ip=192.0.2.1&port=3555"), std::string("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(listedNames(first.url()), (std::vector<std::string>{"three", "two"}), 2000);
        QCOMPARE(fetch(first.url() + "/health"), std::string("ok\r\n"));
    }

    // A real hosting program: registered through its browser, it renews on its own and stays
    // listed past several lifetimes; killed outright (no removal sent), its group leaves the
    // list within one lifetime.
    void hostingProgramStaysListedAndGoesWhenKilled_data() { stores(); }
    void hostingProgramStaysListedAndGoesWhenKilled()
    {
        const QString store = freshStore();
        if (store.isEmpty() && PgCluster::shared().uri().empty()) QSKIP(PgCluster::shared().why().c_str());
        QVERIFY2(!store.isEmpty(), "cannot create a database in the cluster");
        const int ttlMs = 2000;
        DirectoryServer server(store, {"--ttl", "2"});
        QVERIFY(server.running());

        QTemporaryDir run;
        QVERIFY(QDir(run.path()).mkpath(QStringLiteral("sys")));
        QFile ini(run.filePath(QStringLiteral("sys/sys.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(("[urllist]\r\n" + utf8ToGbk("测试目录") + "=" + server.url() + "\r\n").c_str());
        ini.close();

        const int last = QTest::currentDataTag() == QLatin1String("sqlite") ? 71 : 72;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(HostingChildVariable), QStringLiteral("1"));
        env.insert(QStringLiteral("LUMO_TEST_HOST_LAST"), QString::number(last));
        env.insert(QStringLiteral("LUMO_TEST_RENEW_MS"), QString::number(ttlMs / 4));
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(run.path());
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted(5000));
        QElapsedTimer waited;
        waited.start();
        while (!child.canReadLine() && waited.elapsed() < 10000 && child.state() == QProcess::Running)
            child.waitForReadyRead(100);
        QCOMPARE(child.readLine().trimmed(), QByteArray("hosting"));

        // Listed at every look for three lifetimes.
        QElapsedTimer clock;
        clock.start();
        int looks = 0;
        while (clock.elapsed() < 3 * ttlMs) {
            QVERIFY2(listed(server.url(), "hosted"), qPrintable(QStringLiteral("gone after %1 ms").arg(clock.elapsed())));
            ++looks;
            QTest::qWait(200);
        }
        QVERIFY(looks >= 10);

        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(5000));
        clock.restart();
        while (listed(server.url(), "hosted") && clock.elapsed() < 3 * ttlMs) QTest::qWait(50);
        const qint64 gone = clock.elapsed();
        qInfo("the killed host's group left the list %lld ms after the kill", static_cast<long long>(gone));
        // Its last renewal came at most a renewal interval before the kill, so the group must be
        // gone one lifetime after the kill at the latest (plus one list request's time).
        QVERIFY2(gone <= ttlMs + 300, qPrintable(QString::number(gone)));
    }

private:
    QTemporaryDir work_;
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(HostingChildVariable)) return runHostingChild(argc, argv);
    QApplication app(argc, argv);
    DirectoryLivenessTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "directory_liveness_test.moc"
