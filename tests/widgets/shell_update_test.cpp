// Online update and the web links: a fake updater script in a scratch current directory receives
// the swap of update.rar and its arguments; a fake browser receives the links.
#include "core/text/gbk.h"
#include "ui/hyperlink_label.h"
#include "shell/main_window_shell.h"
#include "shell/online_update.h"
#include "core/shell/update_config.h"
#include "shell_test_support.h"

#include <QDialog>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

class ShellUpdateTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScratchCurrentDir> cwd;
    std::unique_ptr<ShellBoxes> boxes;
    RecordingShellOwner owner;

    QString output() const { return cwd->filePath(QStringLiteral("updater-ran.txt")); }
    // The fake updater: records its working directory and arguments, and which one it is.
    QString writeUpdater(const QString& name, const QString& which)
    {
        const QString script = writeArgumentRecorder(cwd->filePath(name), output());
        QFile file(script);
        file.open(QIODevice::Append);
        file.write(QStringLiteral("# %1\n").arg(which).toUtf8());
        return script;
    }

private slots:
    void init()
    {
        cwd = std::make_unique<ScratchCurrentDir>();
        boxes = std::make_unique<ShellBoxes>();
    }
    void cleanup()
    {
        boxes.reset();
        cwd.reset();
    }

    void downloadedUpdaterReplacesTheOldOneAndGetsTheServerUrl()
    {
        writeUpdater(QStringLiteral("update"), QStringLiteral("old"));
        writeUpdater(QStringLiteral("update.rar"), QStringLiteral("new"));
        // As downloaded: no execute permission.
        QFile::setPermissions(cwd->filePath(QStringLiteral("update.rar")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QByteArray fresh = ScratchCurrentDir::read(cwd->filePath(QStringLiteral("update.rar")));
        cwd->write(QStringLiteral("sys/sys.ini"),
                   "[urllist]\nlocal=http://127.0.0.1:8080\n\n[server]\nhttp = http://updates.example.org/lumo \n");

        QDialog window;
        MainWindowShell shell(window, owner, true);
        shell.createWindowParts();
        shell.command(32778);  // "&在线升级"

        QVERIFY(boxes->texts.isEmpty());
        QVERIFY(!QFile::exists(cwd->filePath(QStringLiteral("update.rar"))));
        QCOMPARE(ScratchCurrentDir::read(cwd->filePath(QStringLiteral("update"))), fresh);
        QTRY_VERIFY(QFile::exists(output()));
        // Started in the program's directory with "lumo" and the URL as two arguments.
        QCOMPARE(readLines(output()), (QStringList{cwd->path(), "lumo", "http://updates.example.org/lumo"}));
    }

    void withoutADownloadTheExistingUpdaterStarts()
    {
        writeUpdater(QStringLiteral("update"), QStringLiteral("old"));
        const QByteArray old = ScratchCurrentDir::read(cwd->filePath(QStringLiteral("update")));
        // No sys/sys.ini: the default server.
        QCOMPARE(runOnlineUpdate(cwd->path()), QString());
        QTRY_VERIFY(QFile::exists(output()));
        QCOMPARE(readLines(output()), (QStringList{cwd->path(), "lumo", DefaultUpdateUrl}));
        QCOMPARE(ScratchCurrentDir::read(cwd->filePath(QStringLiteral("update"))), old);

        // A GBK server URL reaches the updater as text.
        QFile::remove(output());
        cwd->write(QStringLiteral("sys/sys.ini"),
                   QByteArray::fromStdString(utf8ToGbk("[server]\nhttp=http://example.org/升级\n")));
        QCOMPARE(runOnlineUpdate(cwd->path()), QString());
        QTRY_VERIFY(QFile::exists(output()));
        QCOMPARE(readLines(output()).last(), QStringLiteral("http://example.org/升级"));
    }

    void missingUpdaterIsReported()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true);
        shell.createWindowParts();
        shell.command(32778);
        QCOMPARE(boxes->texts, QStringList{UpdaterMissingText.arg(cwd->path())});
        QCOMPARE(boxes->captions, QStringList{"LUMO"});
        QVERIFY(boxes->texts.first().contains(QStringLiteral("找不到升级程序 update")));
    }

    void anUpdaterThatCannotRunIsReported()
    {
        cwd->write(QStringLiteral("update"), "not a program");
        QFile::setPermissions(cwd->filePath(QStringLiteral("update")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const QString problem = runOnlineUpdate(cwd->path());
        QVERIFY2(problem.startsWith(UpdaterNotStartedText.arg(cwd->path(), QString()).trimmed()), qPrintable(problem));
    }

    void aSwapThatFailsIsReportedAndNothingStarts()
    {
        writeUpdater(QStringLiteral("update.rar"), QStringLiteral("new"));
        QDir().mkpath(cwd->filePath(QStringLiteral("update/inside")));  // a directory in the way
        const QString problem = runOnlineUpdate(cwd->path());
        QVERIFY2(problem.startsWith(QStringLiteral("无法用 update.rar 替换 %1 中的升级程序 update：\n").arg(cwd->path())),
                 qPrintable(problem));
        QVERIFY(QFile::exists(cwd->filePath(QStringLiteral("update.rar"))));
        QTest::qWait(200);
        QVERIFY(!QFile::exists(output()));
    }

    void webSiteAndForumOpenInTheBrowser()
    {
        const QString browserOutput = cwd->filePath(QStringLiteral("browser.txt"));
        const QString browser = writeArgumentRecorder(cwd->filePath(QStringLiteral("bin/browser")), browserOutput);
        ScopedEnv env("BROWSER", browser.toUtf8());
        QDialog window;
        MainWindowShell shell(window, owner, true);
        shell.createWindowParts();

        shell.command(32776);  // "&WebSite"
        QTRY_VERIFY(QFile::exists(browserOutput));
        QCOMPARE(readLines(browserOutput).mid(1), QStringList{"http://127.0.0.1:8080/lumo"});
        QFile::remove(browserOutput);

        shell.command(32780);  // "&bbs": the text is appended unchanged
        QTRY_VERIFY(QFile::exists(browserOutput));
        QCOMPARE(readLines(browserOutput).mid(1), QStringList{"http://127.0.0.1:8080/lumo/../bbs"});
        QVERIFY(boxes->texts.isEmpty());
    }

    void linksThatCannotOpenAreReported()
    {
        QDialog window;
        MainWindowShell shell(window, owner, true);
        shell.createWindowParts();
        {
            ScopedEnv env("BROWSER", QByteArray());
            shell.command(32776);
        }
        QCOMPARE(boxes->texts, QStringList{HyperLinkLabel::failureText(owner.baseUrl, HyperLinkLabel::NoAssociationCode)});
        {
            ScopedEnv env("BROWSER", "/nonexistent/browser");
            shell.command(32780);
        }
        QCOMPARE(boxes->texts.last(), HyperLinkLabel::failureText(forumUrl(owner.baseUrl), HyperLinkLabel::FileNotFoundCode));

        owner.baseUrl.clear();  // no directory server configured
        shell.command(32776);
        shell.command(32780);
        QCOMPARE(boxes->texts.mid(2), (QStringList{NoSiteText, NoSiteText}));
        owner.baseUrl = QStringLiteral("http://127.0.0.1:8080/lumo");
    }
};

QTEST_MAIN(ShellUpdateTest)
#include "shell_update_test.moc"
