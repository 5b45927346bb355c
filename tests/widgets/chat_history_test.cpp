// The chat history of the real window and endpoint, fed by a fake member over loopback: a flood
// of 15,000 texts all kept in order while the boxes stay at their bound, a long text that the
// sender split arriving as one message, the unread count, copying from the history window, and
// the log file in the player's data folder.
#include "app/chat_history_window.h"
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "fake_peer.h"
#include "quiet_directory.h"

#include <QAction>
#include <QClipboard>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

const Ipv4 DialogAddress = loopback(60);
const Ipv4 HostAddress = loopback(61);
const Ipv4 AnnAddress = loopback(62);

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Message boxes that stay open as a real one does (a nested event loop, in which datagrams keep
// arriving) until `releaseWhen` holds; they count how many were open at once. What must happen
// while they are open runs from timers, since the test's own code waits under them.
class HoldingBoxes : public MessageBoxes {
public:
    HoldingBoxes() { MessageBoxes::install(this); }
    ~HoldingBoxes() override { MessageBoxes::install(nullptr); }
    void inform(QWidget*, const QString&, const QString& text) override
    {
        texts << text;
        maxOpen = std::max(maxOpen, ++open);
        QEventLoop loop;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if ((releaseWhen && releaseWhen()) || waited.elapsed() > 60000) loop.quit();
        });
        poll.start(20);
        loop.exec();
        --open;
    }
    bool ask(QWidget*, const QString&, const QString&) override { return false; }
    QStringList texts;
    int open = 0;
    int maxOpen = 0;
    std::function<bool()> releaseWhen;
};

// A long text cut into datagrams the way the sender cuts it.
std::vector<Bytes> splitAsSent(const std::string& gbk, int recipient, int sender)
{
    std::vector<Bytes> parts;
    std::string_view rest = gbk;
    do {
        const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
        parts.push_back(makeChatText(idByte(recipient), idByte(sender), rest.substr(0, length)));
        rest.remove_prefix(length);
    } while (!rest.empty());
    return parts;
}

}  // namespace

class ChatHistoryTest : public QObject {
    Q_OBJECT

    QuietDirectory directory;
    std::unique_ptr<MainDialog> dialog;
    std::unique_ptr<FakePeer> host, ann;
    QTemporaryDir dataHome;

    template <typename T>
    T* control(const char* name) { return dialog->findChild<T*>(QLatin1String(name)); }
    Endpoint dialogMember() const { return {DialogAddress, MemberPort}; }

    // Joins the fake host, whose roster has ann as 0 and the dialog as 1.
    void joinGroup()
    {
        control<QLineEdit>("memberName")->setText(QStringLiteral("me"));
        control<QLineEdit>("hostAddress")->setText(loopbackText(61));
        control<QPushButton>("connectButton")->click();
        QVERIFY(host->next(1000, cmd::JoinRequest));
        host->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), dialogMember());
        Roster roster;
        roster.count = 2;
        roster.records[0] = memberAt(0, "ann", AnnAddress);
        roster.records[1] = memberAt(1, "me", DialogAddress);
        host->send(makeRosterUpdate(1, roster), dialogMember());
        QTRY_COMPARE(dialog->endpoint().session().roster().count, 2);
    }
    QString historyText(std::uint64_t serial) const
    {
        const ChatMessage* message = dialog->chatHistory().at(serial);
        return message ? QString::fromStdString(message->text) : QStringLiteral("<missing>");
    }

private slots:
    void initTestCase()
    {
        // The log file goes to the data folder: a private one, never the player's.
        QVERIFY(dataHome.isValid());
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
    }
    void init()
    {
        dialog = std::make_unique<MainDialog>(MainDialogOptions{DialogAddress, &directory});
        dialog->show();
        host = std::make_unique<FakePeer>(HostAddress, HostPort);
        ann = std::make_unique<FakePeer>(AnnAddress, MemberPort);
        QVERIFY(dialog->socketsBound());
        QVERIFY(host->bound() && ann->bound());
    }
    void cleanup()
    {
        dialog.reset();
        host.reset();
        ann.reset();
    }

    void floodIsKeptWholeAndInOrderWhileBoxesStayBounded()
    {
        HoldingBoxes boxes;
        joinGroup();
        const long before = residentKb();
        constexpr int Texts = 15000;
        // Sent from a timer in bursts no bigger than a socket's receive buffer holds (what the
        // kernel drops never reached the program, and the test is about what did).
        int sent = 0;
        QTimer sender;
        connect(&sender, &QTimer::timeout, this, [&] {
            for (int burst = 0; burst < 200 && sent < Texts; ++burst, ++sent)
                ann->send(makeChatText(1, 0, "flood " + std::to_string(sent)), dialogMember());
            if (sent == Texts) sender.stop();
        });
        sender.start(2);
        // The boxes stay open until the whole flood is in the history.
        boxes.releaseWhen = [&] { return dialog->chatHistory().size() >= std::size_t(Texts); };
        QTRY_COMPARE_WITH_TIMEOUT(int(dialog->chatHistory().size()), Texts, 60000);
        QCOMPARE(sent, Texts);
        QVERIFY2(boxes.maxOpen <= 8 && boxes.texts.size() == 8,
                 qPrintable(QStringLiteral("%1 boxes, %2 open at once").arg(boxes.texts.size()).arg(boxes.maxOpen)));
        QCOMPARE(boxes.texts.first(), QStringLiteral("ann说：flood 0"));
        for (int i = 0; i < Texts; ++i)
            if (historyText(std::uint64_t(i)) != QStringLiteral("flood %1").arg(i))
                QFAIL(qPrintable(QStringLiteral("text %1 of the history is '%2'").arg(i).arg(historyText(std::uint64_t(i)))));
        QCOMPARE(dialog->chatHistory().droppedCount(), 0u);
        // Every text beyond the boxes is counted unread, and the view shows them all.
        QTRY_COMPARE(dialog->unreadTexts(), Texts - 8);
        QVERIFY(control<QPushButton>("historyButton")->text().contains(QString::number(Texts - 8)));
        dialog->historyAction()->trigger();
        ChatHistoryWindow& window = dialog->historyWindow();
        QVERIFY(window.isVisible());
        QCOMPARE(window.model().rowCount(), Texts);
        QCOMPARE(window.model().data(window.model().index(Texts - 1), Qt::UserRole).toString().section(QLatin1Char(' '), 1),
                 QStringLiteral("ann说：flood %1").arg(Texts - 1));
        QCOMPARE(dialog->unreadTexts(), 0);
        const long after = residentKb();
        qInfo("chat history flood: %d texts, %zu bytes of text kept; this process's VmRSS %ld kB before, %ld kB after (%+ld kB)",
              Texts, dialog->chatHistory().textBytes(), before, after, after - before);
        QTRY_COMPARE(boxes.open, 0);
        // Still answering the group after the flood.
        ann->send(makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer), dialogMember());
        QVERIFY(ann->next(3000, cmd::PathConfirm));
    }

    // Whether the parts come in one burst or a moment apart (the window's event loop running in
    // between), the long text opens one box, whole.
    void longTextArrivesAsOneMessageInItsBoxAndTheHistory_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::newRow("back to back") << 0;
        QTest::newRow("150 ms apart") << 150;
    }
    void longTextArrivesAsOneMessageInItsBoxAndTheHistory()
    {
        QFETCH(int, gapMs);
        RecordingBoxes boxes;
        joinGroup();
        QString whole;
        for (int i = 0; i < 300; ++i) whole += (i % 3) ? QStringLiteral("长") : QStringLiteral("x文");
        const std::vector<Bytes> parts = splitAsSent(utf8ToGbk(whole.toStdString()), 1, 0);
        QCOMPARE(int(parts.size()), 3);
        for (const Bytes& part : parts) {
            ann->send(part, dialogMember());
            if (gapMs > 0) QTest::qWait(gapMs);
        }
        ann->send(makeChatText(1, 0, "short one"), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 2);
        QCOMPARE(historyText(0), whole);
        QCOMPARE(historyText(1), QStringLiteral("short one"));
        QTRY_COMPARE(boxes.texts.size(), 2);
        QCOMPARE(boxes.texts[0], QStringLiteral("ann说：") + whole);
        QCOMPARE(boxes.texts[1], QStringLiteral("ann说：short one"));
        QCOMPARE(dialog->unreadTexts(), 0);  // both were shown in boxes
    }

    void historyWindowCopiesTextsAndSentTextsAreKept()
    {
        RecordingBoxes boxes;
        joinGroup();
        ann->send(makeChatText(1, 0, utf8ToGbk("第一\n第二行")), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 1);
        // The player writes back: chooses ann as partner and sends.
        dialog->endpoint().select(0);
        control<QLineEdit>("messageText")->setText(QStringLiteral("回复"));
        control<QPushButton>("sendButton")->click();
        QCOMPARE(int(dialog->chatHistory().size()), 2);
        QVERIFY(dialog->chatHistory().at(1)->outgoing);
        QVERIFY(ann->next(2000, cmd::ChatText));

        dialog->openHistory();
        ChatHistoryWindow& window = dialog->historyWindow();
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
        RecordingBoxes boxes;
        joinGroup();
        const QString path = dialog->logFilePath();
        QVERIFY2(path.startsWith(dataHome.path() + QStringLiteral("/lumo/history/")), qPrintable(path));
        QVERIFY(path.endsWith(loopbackText(61) + QStringLiteral(".log")));
        QFile::remove(path);
        ann->send(makeChatText(1, 0, "before"), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 1);
        QTest::qWait(300);
        QVERIFY2(!QFile::exists(path), "a log file was written with logging off");

        // Switched on, the texts of the run so far are written too, then each new one once: a
        // long text only when its last part is in.
        dialog->logAction()->setChecked(true);
        const std::string longText(600, 'L');
        for (const Bytes& part : splitAsSent(longText, 1, 0)) ann->send(part, dialogMember());
        ann->send(makeChatText(1, 0, "evil\nline"), dialogMember());
        QTRY_COMPARE(int(dialog->chatHistory().size()), 3);
        auto written = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(written().count('\n'), 3, 5000);
        const QStringList lines = QString::fromUtf8(written()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(QStringLiteral(" ann说：before")));
        QVERIFY(lines[1].endsWith(QStringLiteral(" ann说：") + QString::fromStdString(longText)));
        QVERIFY(lines[2].endsWith(QStringLiteral(" ann说：evil\\nline")));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")).match(lines[0]).hasMatch());
    }
};

QTEST_MAIN(ChatHistoryTest)
#include "chat_history_test.moc"
