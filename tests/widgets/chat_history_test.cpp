// The chat inbox and the log file on simulated time, without a window: a flood of 15,000 texts
// all kept in order while the boxes stay at their bound, which texts get a box, a long text
// that the sender split arriving as one message, the unread count, copying from the history
// window, and the log file with its limits and failures.
#include "app/chat_history_window.h"
#include "app/chat_inbox.h"
#include "app/chat_log_writer.h"
#include "core/text/gbk.h"

#include <QApplication>
#include <QClipboard>
#include <QListView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

#include <sys/stat.h>

using namespace lumo;

namespace {

const QString Ann = QStringLiteral("ann");
const std::string AnnKey = "0@127.0.0.2:3550";

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// A long text cut into parts the way the sender cuts it.
std::vector<std::string> splitAsSent(const std::string& gbk)
{
    std::vector<std::string> parts;
    std::string_view rest = gbk;
    do {
        const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
        parts.emplace_back(rest.substr(0, length));
        rest.remove_prefix(length);
    } while (!rest.empty());
    return parts;
}

// An inbox on a clock the test moves, recording the boxes it asks for and what the status line
// and the unread count would show. Boxes stay open until the test closes them.
struct Inbox {
    Inbox()
        : inbox(ChatInbox::Hooks{[this] { return overlay; }, [this] { return historyShown; }, [this] { return nowMs; },
                                 [this] { return std::int64_t(1'800'000'000'000) + nowMs; }})
    {
        QObject::connect(&inbox, &ChatInbox::boxDue, [this](const QString& text) { boxes << text; });
        QObject::connect(&inbox, &ChatInbox::statusText, [this](const QString& text) { status = text; });
        QObject::connect(&inbox, &ChatInbox::unreadChanged, [this](int count) { unread = count; });
        QObject::connect(&inbox, &ChatInbox::textBegun, [this](const QString& name, const QString& part) {
            begun << name + QLatin1Char('|') + part;
        });
    }
    void receive(const std::string& gbk, const std::string& key = AnnKey) { inbox.received(key, Ann, gbk); }
    void after(std::int64_t ms)
    {
        nowMs += ms;
        inbox.advance();
    }
    QString historyText(std::uint64_t serial) const
    {
        const ChatMessage* message = inbox.history().at(serial);
        return message ? QString::fromStdString(message->text) : QStringLiteral("<missing>");
    }

    bool overlay = false;
    bool historyShown = false;
    std::int64_t nowMs = 0;
    ChatInbox inbox;
    QStringList boxes, begun;
    QString status;
    int unread = 0;
};

}  // namespace

class ChatHistoryTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;

    static bool writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    }
    static QByteArray readAll(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void floodIsKeptWholeAndInOrderWhileBoxesStayBounded()
    {
        Inbox in;
        const long before = residentKb();
        constexpr int Texts = 15000;
        for (int i = 0; i < Texts; ++i) in.receive("flood " + std::to_string(i));
        QCOMPARE(in.boxes.size(), ChatInbox::MaxChatBoxes);
        QCOMPARE(in.boxes.first(), QStringLiteral("ann说：flood 0"));
        QCOMPARE(in.inbox.boxesOpen(), ChatInbox::MaxChatBoxes);
        QCOMPARE(int(in.inbox.history().size()), Texts);
        for (int i = 0; i < Texts; ++i)
            if (in.historyText(std::uint64_t(i)) != QStringLiteral("flood %1").arg(i))
                QFAIL(qPrintable(QStringLiteral("text %1 of the history is '%2'").arg(i).arg(in.historyText(std::uint64_t(i)))));
        QCOMPARE(in.inbox.history().droppedCount(), 0u);
        QCOMPARE(in.begun.size(), Texts);  // every text is offered to the desktop's notifications
        // Every text beyond the boxes is on the status line in turn and counted unread.
        QCOMPARE(in.status, QStringLiteral("ann说：flood %1").arg(Texts - 1));
        QCOMPARE(in.unread, Texts - ChatInbox::MaxChatBoxes);
        QCOMPARE(ChatInbox::historyButtonText(in.unread), QStringLiteral("聊天记录（%1 条未读）").arg(Texts - 8));

        // The history window shows them all.
        ChatHistoryWindow window(in.inbox.history());
        window.open();
        QCOMPARE(window.model().rowCount(), Texts);
        QCOMPARE(window.model().data(window.model().index(Texts - 1), Qt::UserRole).toString().section(QLatin1Char(' '), 1),
                 QStringLiteral("ann说：flood %1").arg(Texts - 1));
        in.inbox.historyOpened();
        QCOMPARE(in.unread, 0);
        const long after = residentKb();
        qInfo("chat history flood: %d texts, %zu bytes of text kept; this process's VmRSS %ld kB before, %ld kB after (%+ld kB)",
              Texts, in.inbox.history().textBytes(), before, after, after - before);

        // A closed box makes room for the next text.
        in.inbox.boxClosed();
        in.receive("after the flood");
        QCOMPARE(in.boxes.last(), QStringLiteral("ann说：after the flood"));
        QCOMPARE(in.unread, 0);
    }

    // Where a text goes: a box while there is room and the overlay is not showing texts, else
    // the status line; texts not boxed count unread unless the history is open.
    void whereATextGoes_data()
    {
        QTest::addColumn<bool>("overlay");
        QTest::addColumn<bool>("historyShown");
        QTest::addColumn<int>("boxesOpen");
        QTest::addColumn<bool>("boxed");
        QTest::addColumn<int>("unread");
        QTest::newRow("room for a box") << false << false << 7 << true << 0;
        QTest::newRow("boxes full") << false << false << 8 << false << 1;
        QTest::newRow("boxes full, history open") << false << true << 8 << false << 0;
        QTest::newRow("overlay connected") << true << false << 0 << false << 1;
        QTest::newRow("overlay connected, history open") << true << true << 0 << false << 0;
    }
    void whereATextGoes()
    {
        QFETCH(bool, overlay);
        QFETCH(bool, historyShown);
        QFETCH(int, boxesOpen);
        QFETCH(bool, boxed);
        QFETCH(int, unread);
        Inbox in;
        for (int i = 0; i < boxesOpen; ++i) in.receive("earlier " + std::to_string(i));
        in.boxes.clear();
        in.overlay = overlay;
        in.historyShown = historyShown;
        in.receive(utf8ToGbk("开黑吗"));
        QCOMPARE(in.boxes, boxed ? QStringList{QStringLiteral("ann说：开黑吗")} : QStringList{});
        QCOMPARE(in.status, boxed ? QString() : QStringLiteral("ann说：开黑吗"));
        QCOMPARE(in.unread, unread);
        QCOMPARE(in.begun.last(), QStringLiteral("ann|开黑吗"));
        // Texts counted while the history was hidden are read once it shows.
        in.historyShown = true;
        QTRY_COMPARE(in.unread, 0);
    }

    // Whether the parts come back to back or a while apart (within the history's continuation
    // window), the long text opens one box, whole, and is one text of the history.
    void longTextArrivesAsOneMessageInItsBoxAndTheHistory_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::newRow("back to back") << 0;
        QTest::newRow("at the end of the window") << int(ChatHistory::ContinueWithinMs);
    }
    void longTextArrivesAsOneMessageInItsBoxAndTheHistory()
    {
        QFETCH(int, gapMs);
        Inbox in;
        QString whole;
        for (int i = 0; i < 300; ++i) whole += (i % 3) ? QStringLiteral("长") : QStringLiteral("x文");
        const std::vector<std::string> parts = splitAsSent(utf8ToGbk(whole.toStdString()));
        QCOMPARE(int(parts.size()), 3);
        for (const std::string& part : parts) {
            QVERIFY2(in.boxes.isEmpty(), "the box opened before the text was whole");
            in.after(gapMs);
            in.receive(part);
        }
        QCOMPARE(in.boxes, QStringList{QStringLiteral("ann说：") + whole});
        in.receive("short one");
        QCOMPARE(in.boxes.size(), 2);
        QCOMPARE(in.boxes[1], QStringLiteral("ann说：short one"));
        QCOMPARE(int(in.inbox.history().size()), 2);
        QCOMPARE(in.historyText(0), whole);
        QCOMPARE(in.begun.size(), 2);
        QCOMPARE(in.unread, 0);  // both were shown in boxes
    }

    // A text whose last part was full length waits for the rest only as long as the history
    // would still join it: then its box opens with what came, and a later part is a new text.
    void theBoxOfAFullPartWaitsNoLongerThanTheContinuationWindow()
    {
        Inbox in;
        const std::string full(MaxChatTextBytes, 'a');
        in.receive(full);
        QVERIFY(in.inbox.nextDeadline());
        QCOMPARE(*in.inbox.nextDeadline(), ChatHistory::ContinueWithinMs + 1);
        in.after(ChatHistory::ContinueWithinMs);
        QVERIFY(in.boxes.isEmpty());
        in.after(1);
        QCOMPARE(in.boxes, QStringList{QStringLiteral("ann说：") + QString::fromStdString(full)});
        QVERIFY(!in.inbox.nextDeadline());
        in.receive("late");
        QCOMPARE(int(in.inbox.history().size()), 2);
        QCOMPARE(in.boxes.last(), QStringLiteral("ann说：late"));

        // On the inbox's own clock, a timer opens it.
        ChatInbox timed;
        QSignalSpy boxes(&timed, &ChatInbox::boxDue);
        timed.received(AnnKey, Ann, full);
        QVERIFY(boxes.isEmpty());
        QTRY_COMPARE(boxes.size(), 1);
    }

    // Texts from another member, or from a member whose id now belongs to someone else, never
    // join the text before; a part whose first part went to the status line follows it there.
    void partsJoinOnlyTheirOwnSendersText()
    {
        Inbox in;
        const std::string full(MaxChatTextBytes, 'a');
        in.receive(full);
        in.receive("b", "0@127.0.0.9:3550");  // id 0 again, at another address
        QCOMPARE(int(in.inbox.history().size()), 2);
        QCOMPARE(in.boxes.size(), 2);
        QVERIFY(in.boxes[0].endsWith(QString::fromStdString(full)));
        QCOMPARE(in.boxes[1], QStringLiteral("ann说：b"));

        in.overlay = true;
        in.receive(full);
        in.overlay = false;  // the overlay closes before the rest comes
        in.receive("end");
        QCOMPARE(in.boxes.size(), 2);
        QCOMPARE(in.status, QStringLiteral("ann说：") + QString::fromStdString(full) + QStringLiteral("end"));
        QCOMPARE(in.unread, 1);

        Roster roster;
        roster.count = 1;
        roster.records[0].publicAddress = 0x7F000002;
        roster.records[0].publicPort = 3550;
        QCOMPARE(chatSenderKey(roster, 0), AnnKey);
        QCOMPARE(chatSenderKey(roster, 5), std::string("5"));
    }

    void historyWindowCopiesTextsAndSentTextsAreKept()
    {
        Inbox in;
        in.receive(utf8ToGbk("第一\n第二行"));
        in.inbox.sent(Ann, QStringLiteral("回复"));
        QCOMPARE(int(in.inbox.history().size()), 2);
        QVERIFY(in.inbox.history().at(1)->outgoing);

        ChatHistoryWindow window(in.inbox.history());
        window.open();
        QListView* list = window.list();
        QCOMPARE(list->model()->rowCount(), 2);
        list->selectAll();
        QTest::keySequence(list, QKeySequence::Copy);
        const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);  // the received text keeps its line break
        QVERIFY2(lines[0].endsWith(QStringLiteral(" ann说：第一")), qPrintable(lines[0]));
        QCOMPARE(lines[1], QStringLiteral("第二行"));
        QVERIFY2(lines[2].endsWith(QStringLiteral(" 我对ann说：回复")), qPrintable(lines[2]));
        // The row itself stays one line high.
        QVERIFY(!list->model()->data(list->model()->index(0, 0)).toString().contains(QLatin1Char('\n')));
    }

    void logFileIsOffByDefaultAndWritesEachTextOnce()
    {
        Inbox in;
        ChatLogWriter log(in.inbox.history(), [&] { return in.nowMs; }, [] { return 0xC0A80114u; });
        log.setFolder(folder.path());
        const QString path = folder.filePath(QStringLiteral("192.168.1.20.log"));
        QCOMPARE(log.filePath(), path);
        in.receive("before");
        log.writeAll();
        QVERIFY2(!QFile::exists(path), "a log file was written with logging off");

        // Switched on, the texts of the run so far are written too, then each new one once: a
        // long text only when its last part is in, or when it can no longer grow.
        log.setLogging(true);
        for (const std::string& part : splitAsSent(std::string(600, 'L'))) in.receive(part);
        in.receive("evil\nline");
        in.receive(std::string(MaxChatTextBytes, 'F'));  // may still be continued
        log.writeSettled();
        QCOMPARE(readAll(path).count('\n'), 3);
        in.nowMs += ChatHistory::ContinueWithinMs + 1;
        log.writeSettled();
        log.writeAll();
        const QStringList lines = QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[0].endsWith(QStringLiteral(" ann说：before")));
        QVERIFY(lines[1].endsWith(QStringLiteral(" ann说：") + QString(600, QLatin1Char('L'))));
        QVERIFY(lines[2].endsWith(QStringLiteral(" ann说：evil\\nline")));
        QVERIFY(lines[3].endsWith(QStringLiteral(" ann说：") + QString(MaxChatTextBytes, QLatin1Char('F'))));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")).match(lines[0]).hasMatch());

        // New texts are written in a batch after they came, without being asked.
        QObject::connect(&in.inbox, &ChatInbox::historyChanged, &log, &ChatLogWriter::historyChanged);
        in.receive("by itself");
        QTRY_VERIFY(readAll(path).endsWith(" ann说：by itself\n"));
        QFile::remove(path);
    }

    // A file that cannot be written, or is past the limit, stops logging with a message and
    // loses nothing: the texts are written, whole, once logging is turned on again.
    void aFailureStopsLoggingAndTheTextsWaitForTheNextTry_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("cannot be opened") << false;
        QTest::newRow("past 64 MB") << true;
    }
    void aFailureStopsLoggingAndTheTextsWaitForTheNextTry()
    {
        QFETCH(bool, full);
        Inbox in;
        ChatLogWriter log(in.inbox.history(), [&] { return in.nowMs; }, [] { return 0x7F000015u; });
        const QString path = folder.filePath(QStringLiteral("127.0.0.21.log"));
        QFile::remove(path);
        QFile blocker(folder.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        log.setFolder(full ? folder.path() : blocker.fileName());
        if (full) {
            QFile big(path);
            QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(ChatLogWriter::MaxLogBytes - 10));  // sparse
        }
        QSignalSpy failed(&log, &ChatLogWriter::failed);
        log.setLogging(true);
        in.receive("one");
        in.receive("two");
        log.writeSettled();
        QCOMPARE(failed.size(), 1);
        const QString told = failed.first().first().toString();
        if (full) QCOMPARE(told, QStringLiteral("聊天记录文件 %1 已超过 64 MB，不再写入。").arg(path));
        else QVERIFY2(told.startsWith(QStringLiteral("无法写入聊天记录文件 %1/127.0.0.21.log：").arg(blocker.fileName())), qPrintable(told));
        QVERIFY(!log.logging());
        in.receive("three");
        log.writeSettled();
        QCOMPARE(failed.size(), 1);  // told once

        if (full) QVERIFY(QFile(path).resize(0));
        log.setFolder(folder.path());
        log.setLogging(true);
        const QStringList lines = QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(QStringLiteral("说：one")) && lines[2].endsWith(QStringLiteral("说：three")));
        QCOMPARE(failed.size(), 1);
        QFile::remove(path);
    }

    // Under a file-size limit the program lives on: the write past it fails (EFBIG), the file
    // keeps whole lines only, the player is told, and the texts wait for the next try.
    void aFileSizeLimitStopsTheLogNotTheProgram()
    {
        ChatLogWriter::surviveFileSizeLimit();
        rlimit before{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
        rlimit limited = before;
        limited.rlim_cur = 300;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        Inbox in;
        ChatLogWriter log(in.inbox.history(), [&] { return in.nowMs; }, [] { return 0x7F000017u; });
        log.setFolder(folder.path());
        const QString path = folder.filePath(QStringLiteral("127.0.0.23.log"));
        QFile::remove(path);
        QSignalSpy failed(&log, &ChatLogWriter::failed);
        log.setLogging(true);
        int sent = 0;
        for (; sent < 40 && failed.isEmpty(); ++sent) {
            in.receive(("text number " + std::to_string(sent) + " of a long conversation").c_str());
            log.writeSettled();
        }
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &before) == 0);
        QCOMPARE(failed.size(), 1);
        QVERIFY2(failed.first().first().toString().contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
                 qPrintable(failed.first().first().toString()));
        const QByteArray kept = readAll(path);
        QVERIFY(kept.size() <= 300 && kept.endsWith('\n'));
        // Turned on again without the limit, every text is in the file, each once.
        log.setLogging(true);
        const QStringList lines = QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), sent);
        QFile::remove(path);
    }

    // The log goes only into a regular file of its own, readable by this user alone: never
    // through a link placed at its path, never into a pipe (which would hang the program).
    void theLogIsAPrivateRegularFile_data()
    {
        QTest::addColumn<QString>("atPath");
        QTest::addColumn<bool>("written");
        QTest::newRow("nothing yet") << QString() << true;
        QTest::newRow("a readable log") << QStringLiteral("file") << true;
        QTest::newRow("a link to another file") << QStringLiteral("link") << false;
        QTest::newRow("a pipe") << QStringLiteral("pipe") << false;
    }
    void theLogIsAPrivateRegularFile()
    {
        QFETCH(QString, atPath);
        QFETCH(bool, written);
        Inbox in;
        ChatLogWriter log(in.inbox.history(), [&] { return in.nowMs; }, [] { return 0x7F000016u; });
        log.setFolder(folder.path());
        const QString path = folder.filePath(QStringLiteral("127.0.0.22.log"));
        const QString target = folder.filePath(QStringLiteral("victim"));
        QFile::remove(path);
        QFile::remove(target);
        QVERIFY(writeFile(target, "keep\n"));
        if (atPath == QStringLiteral("file")) {
            QVERIFY(writeFile(path, ""));
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        }
        if (atPath == QStringLiteral("link")) QVERIFY(QFile::link(target, path));
        if (atPath == QStringLiteral("pipe")) QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QSignalSpy failed(&log, &ChatLogWriter::failed);
        log.setLogging(true);
        in.receive("secret");
        log.writeAll();
        QCOMPARE(failed.size(), written ? 0 : 1);
        QCOMPARE(readAll(target), QByteArray("keep\n"));
        if (written) {
            QVERIFY(readAll(path).endsWith("说：secret\n"));
            QCOMPARE(QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
        QFile::remove(path);
        QFile::remove(target);
    }
};

QTEST_MAIN(ChatHistoryTest)
#include "chat_history_test.moc"
