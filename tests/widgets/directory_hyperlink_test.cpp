// The site link: link colours, hover, fitting, opening through $BROWSER and the error texts.
#include "app/chat_history_window.h"
#include "core/text/gbk.h"
#include "ui/hyperlink_label.h"
#include "ui/message_box.h"
#include "widgets/directory_test_support.h"

#include <QFile>
#include <QLabel>
#include <QTextBrowser>
#include <QTemporaryDir>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name))
    {
        if (value.isNull()) qunsetenv(name); else qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (had_) qputenv(name_, old_); else qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// A stand-in web browser that writes its arguments, one a line, into a file.
struct FakeBrowser {
    FakeBrowser()
    {
        script = dir.filePath(QStringLiteral("browser.sh"));
        output = dir.filePath(QStringLiteral("args.txt"));
        QFile file(script);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '%1.tmp' && mv '%1.tmp' '%1'\n")
                       .arg(output).toUtf8());
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    QStringList arguments() const
    {
        QFile file(output);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QTemporaryDir dir;
    QString script;
    QString output;
};

// A widget of that name in any top-level window (a box the program opened).
QWidget* findTopLevelChild(const QString& name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible())
            if (QWidget* found = top->findChild<QWidget*>(name)) return found;
    return nullptr;
}

}  // namespace

class DirectoryHyperlinkTest : public QObject {
    Q_OBJECT

private slots:
    void textAndUrlStandInForEachOther()
    {
        QWidget window;
        HyperLinkLabel noText(QString(), &window);
        noText.SetURL(QStringLiteral("http://127.0.0.1:8080"));
        HyperLinkLabel noUrl(QStringLiteral("访问站点"), &window);
        window.show();
        QVERIFY(noText.attached());
        QCOMPARE(noText.text(), QStringLiteral("http://127.0.0.1:8080"));
        QCOMPARE(noUrl.url(), QStringLiteral("访问站点"));
        QCOMPARE(noUrl.toolTip(), QStringLiteral("访问站点"));
        QVERIFY(noUrl.font().underline());
        QCOMPARE(noUrl.cursor().shape(), Qt::PointingHandCursor);

        noUrl.SetURL(QStringLiteral("http://example.org/"));
        QCOMPARE(noUrl.toolTip(), QStringLiteral("http://example.org/"));
        QCOMPARE(noUrl.text(), QStringLiteral("访问站点"));
    }

    void fitsItselfToItsTextAroundItsAnchor()
    {
        QWidget window;
        window.resize(400, 100);
        HyperLinkLabel left(QStringLiteral("访问站点"), &window);
        left.setAlignment(Qt::AlignLeft | Qt::AlignTop);
        left.setGeometry(10, 10, 200, 40);
        HyperLinkLabel right(QStringLiteral("访问站点"), &window);
        right.setAlignment(Qt::AlignRight | Qt::AlignTop);
        right.setGeometry(10, 50, 200, 40);
        window.show();
        const QFontMetrics metrics(left.font());
        const int width = metrics.horizontalAdvance(left.text());
        QCOMPARE(left.geometry(), QRect(10, 10, width, metrics.height()));
        QCOMPARE(right.geometry().right(), 209);
        QCOMPARE(right.width(), width);
    }

    void hoverColourWhileTheMouseIsOver()
    {
        QWidget window;
        HyperLinkLabel link(QStringLiteral("访问站点"), &window);
        window.show();
        QCOMPARE(link.textColour(), HyperLinkLabel::LinkColour);
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(&link, &enter);
        QVERIFY(link.hovered());
        QCOMPARE(link.textColour(), window.palette().color(QPalette::Highlight));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&link, &leave);
        QVERIFY(!link.hovered());
        QCOMPARE(link.textColour(), HyperLinkLabel::LinkColour);
        link.SetVisited(true);
        QCOMPARE(link.textColour(), HyperLinkLabel::VisitedColour);
    }

    // Web addresses in a member's text are links in its box and in the history: a click opens
    // the browser; nothing else the member wrote is markup, and only http and https ever open.
    void webAddressesInTextsAreLinksAndNothingElse()
    {
        FakeBrowser browser;
        ScopedEnv env("BROWSER", ("\"" + browser.script + "\" \"%1\"").toUtf8());
        const QString text = QStringLiteral("bob说：<b>看</b> https://a.example/p?q=1&r=2。javascript:alert(1)");
        MessageBoxes::current().informThen(nullptr, QStringLiteral("LUMO"), text, {});
        QLabel* label = nullptr;
        QTRY_VERIFY((label = qobject_cast<QLabel*>(findTopLevelChild(QStringLiteral("boxText")))));
        QCOMPARE(label->textFormat(), Qt::RichText);
        QVERIFY(label->text().contains(QStringLiteral("&lt;b&gt;看&lt;/b&gt;")));
        QVERIFY(label->text().contains(QStringLiteral("<a href=\"https://a.example/p?q=1&amp;r=2\">")));
        QCOMPARE(label->text().count(QStringLiteral("<a ")), 1);
        // A click opens it; no key does (a key meant for a game must never open a page).
        QVERIFY(label->textInteractionFlags() & Qt::LinksAccessibleByMouse);
        QVERIFY(!(label->textInteractionFlags() & Qt::LinksAccessibleByKeyboard));
        emit label->linkActivated(QStringLiteral("https://a.example/p?q=1&r=2"));
        QTRY_COMPARE(browser.arguments(), QStringList{"https://a.example/p?q=1&r=2"});
        delete label->window();
        // A text without an address stays plain text, as before.
        MessageBoxes::current().informThen(nullptr, QStringLiteral("LUMO"), QStringLiteral("<i>x</i> http:// no"), {});
        QTRY_VERIFY((label = qobject_cast<QLabel*>(findTopLevelChild(QStringLiteral("boxText")))));
        QCOMPARE(label->textFormat(), Qt::PlainText);
        delete label->window();

        // The history window's full text: the same links, anchors opened by the browser.
        ChatHistory history;
        history.addSent("bob", "<script>x</script> see http://b.example/(1).", 0);
        ChatHistoryWindow window(history);
        window.open();
        QTRY_VERIFY(window.fullText()->toHtml().contains(QStringLiteral("href=\"http://b.example/(1)\"")));
        QVERIFY(window.fullText()->toPlainText().contains(QStringLiteral("<script>x</script> see http://b.example/(1).")));
        QCOMPARE(window.fullText()->openLinks(), false);  // never followed inside the window
        emit window.fullText()->anchorClicked(QUrl(QStringLiteral("http://b.example/(1)")));
        QTRY_COMPARE(browser.arguments(), QStringList{"http://b.example/(1)"});

        // Only web addresses open, whatever a link would carry.
        RecordingBoxes boxes;
        for (const char* refused : {"javascript:alert(1)", "file:///etc/passwd", "http://", "data:text/html,x", "ftp://a.example/"})
            QVERIFY2(!HyperLinkLabel::openWebAddress(QString::fromLatin1(refused), nullptr), refused);
        QVERIFY(boxes.texts.isEmpty());
    }

    void clickOpensTheUrlThroughTheBrowserCommand()
    {
        RecordingBoxes boxes;
        FakeBrowser browser;
        // A quoted program and a quoted placeholder: the URL takes the placeholder's place.
        ScopedEnv env("BROWSER", ("\"" + browser.script + "\" \"%1\"").toUtf8());
        QWidget window;
        HyperLinkLabel link(QStringLiteral("访问站点"), &window);
        link.SetURL(QStringLiteral("http://127.0.0.1:8080/a b?x=1&y=2"));
        window.show();
        QTest::mouseClick(&link, Qt::LeftButton);
        QTRY_COMPARE(browser.arguments(), QStringList{"http://127.0.0.1:8080/a b?x=1&y=2"});
        QVERIFY(link.visited());
        QEvent leave(QEvent::Leave);  // the mouse was over the link for the click
        QApplication::sendEvent(&link, &leave);
        QCOMPARE(link.textColour(), HyperLinkLabel::VisitedColour);
        QVERIFY(boxes.texts.isEmpty());
    }

    void browserCommandWithoutPlaceholderGetsTheUrlAppended()
    {
        FakeBrowser browser;
        ScopedEnv env("BROWSER", (browser.script + " --new-window:/unused/second/choice").toUtf8());
        QCOMPARE(HyperLinkLabel::GotoURL(QStringLiteral("http://example.org/")), HyperLinkLabel::OpenedCode);
        QTRY_COMPARE(browser.arguments(), (QStringList{"--new-window", "http://example.org/"}));
    }

    void failuresAreReportedAndLeaveTheLinkUnvisited()
    {
        RecordingBoxes boxes;
        QWidget window;
        HyperLinkLabel link(QStringLiteral("访问站点"), &window);
        link.SetURL(QStringLiteral("http://127.0.0.1:8080"));
        window.show();
        link.SetVisited(true);
        {
            ScopedEnv env("BROWSER", QByteArray());
            QTest::mouseClick(&link, Qt::LeftButton);
        }
        QVERIFY(!link.visited());
        QCOMPARE(boxes.texts, QStringList{HyperLinkLabel::failureText(link.url(), HyperLinkLabel::NoAssociationCode)});
        {
            ScopedEnv env("BROWSER", "/nonexistent/browser");
            QTest::mouseClick(&link, Qt::LeftButton);
        }
        QCOMPARE(boxes.texts.last(), HyperLinkLabel::failureText(link.url(), HyperLinkLabel::FileNotFoundCode));
        QCOMPARE(boxes.captions.last(), QStringLiteral("LUMO"));
    }

    void errorTexts()
    {
        // The player reads what failed and what to do, in Chinese, with the address.
        const QString text = HyperLinkLabel::failureText(QStringLiteral("http://example.invalid/"), HyperLinkLabel::NoAssociationCode);
        QVERIFY(text.contains(QStringLiteral("http://example.invalid/")));
        QVERIFY(text.contains(QStringLiteral("本机没有可以打开网页的程序")));
        QVERIFY(text.contains(QStringLiteral("BROWSER")));
        QVERIFY(HyperLinkLabel::errorText(4).contains(QStringLiteral("4")));
    }
};

QTEST_MAIN(DirectoryHyperlinkTest)
#include "directory_hyperlink_test.moc"
