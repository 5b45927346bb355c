// The boxes the program opens by itself, real ones offscreen: shown without activation and
// refusing the focus, no button that Return would press until the player clicked into the box,
// a long text scrolling inside a box that fits the screen, boxes cascading; and where a box goes.
#include "ui/message_box.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QWindow>
#include <QtTest>

using namespace lumo;

namespace {

std::vector<QDialog*> openBoxes()
{
    std::vector<QDialog*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible() && d->findChild<QScrollArea*>(QStringLiteral("boxScroll"), Qt::FindDirectChildrenOnly))
            boxes.push_back(d);
    return boxes;
}

bool anyDefault(QDialog* box)
{
    for (QPushButton* b : box->findChildren<QPushButton*>())
        if (b->isDefault()) return true;
    return false;
}

QPushButton* buttonOf(QDialog* box, QDialogButtonBox::StandardButton which)
{
    return qobject_cast<QPushButton*>(box->findChild<QDialogButtonBox*>()->button(which));
}

}  // namespace

class QuietBoxTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (QDialog* box : openBoxes()) delete box;
    }

    void placesCascadeInsideTheScreen_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<int>("open");
        QTest::addColumn<QPoint>("expected");
        const QRect screen(0, 0, 1024, 768);
        QTest::newRow("first: centred on its window") << QRect(100, 100, 400, 300) << 0 << QPoint(199, 199);
        QTest::newRow("third: two steps down and right") << QRect(100, 100, 400, 300) << 2 << QPoint(247, 247);
        QTest::newRow("ninth: a new row, a little right") << QRect(100, 100, 400, 300) << 8 << QPoint(207, 199);
        QTest::newRow("near the corner: kept on screen") << QRect(900, 700, 200, 200) << 7 << QPoint(824, 668);
        QTest::newRow("off the top left: kept on screen") << QRect(-500, -500, 100, 100) << 0 << QPoint(0, 0);
    }
    void placesCascadeInsideTheScreen()
    {
        QFETCH(QRect, anchor);
        QFETCH(int, open);
        QFETCH(QPoint, expected);
        QCOMPARE(cascadedBoxPlace(anchor, QSize(200, 100), QRect(0, 0, 1024, 768), open), expected);
    }

    void takesNoFocusAndNoKeyAnswersUntilClicked()
    {
        QDialog window;
        window.resize(400, 300);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        std::optional<bool> answer;
        MessageBoxes::current().askThen(&window, QStringLiteral("LUMO"), QStringLiteral("carl?"), [&](bool yes) { answer = yes; });
        int closed = 0;
        MessageBoxes::current().informThen(&window, QStringLiteral("LUMO"), QStringLiteral("gg"), [&] { ++closed; });
        QTRY_COMPARE(int(openBoxes().size()), 2);
        QCoreApplication::processEvents();
        for (QDialog* box : openBoxes()) {
            QVERIFY(box->testAttribute(Qt::WA_ShowWithoutActivating));
            QVERIFY(box->windowHandle()->flags() & Qt::WindowDoesNotAcceptFocus);
            QVERIFY(!box->isModal());
            QVERIFY2(!anyDefault(box), "no button takes Return");
        }
        // (Offscreen activates every window it shows; the player suite watches the X focus.)
        QVERIFY2(openBoxes()[0]->pos() != openBoxes()[1]->pos(), "the boxes cascade");
        // Keys that reach a box the player has not clicked (the X focus handed to it by someone
        // else) answer nothing: no default for Return, no focused button for Space.
        for (QDialog* box : openBoxes()) {
            box->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(box));
            QVERIFY2(!qobject_cast<QAbstractButton*>(box->focusWidget()), "no button holds the keys");
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Y}) QTest::keyClick(box, key);
        }
        QCoreApplication::processEvents();
        QVERIFY(!answer && closed == 0);
        QCOMPARE(int(openBoxes().size()), 2);

        // The player's click into the question: it takes the focus, and Return says Yes.
        QDialog* question = nullptr;
        for (QDialog* box : openBoxes())
            if (buttonOf(box, QDialogButtonBox::Yes)) question = box;
        QVERIFY(question);
        QTest::mouseClick(question->windowHandle(), Qt::LeftButton, {}, QPoint(20, 10));
        QVERIFY(!(question->windowHandle()->flags() & Qt::WindowDoesNotAcceptFocus));
        QVERIFY(buttonOf(question, QDialogButtonBox::Yes)->isDefault());
        QCOMPARE(question->focusWidget(), question->findChild<QLabel*>(QStringLiteral("boxText")));  // to select and copy
        QTest::keyClick(question, Qt::Key_Return);
        QTRY_VERIFY(answer.has_value());
        QVERIFY(*answer);
        QCOMPARE(closed, 0);
        QTRY_COMPARE(int(openBoxes().size()), 1);
        buttonOf(openBoxes()[0], QDialogButtonBox::Ok)->click();
        QCOMPARE(closed, 1);
    }

    void aLongTextScrollsInABoxThatFitsTheScreen()
    {
        QString text;
        for (int i = 0; i < 400; ++i) text += QStringLiteral("line %1 of a long text\n").arg(i);
        MessageBoxes::current().informThen(nullptr, QStringLiteral("LUMO"), text, {});
        QTRY_COMPARE(int(openBoxes().size()), 1);
        QDialog* box = openBoxes()[0];
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY2(screen.contains(box->frameGeometry()), "the whole box, its OK button too, is on the screen");
        QVERIFY(buttonOf(box, QDialogButtonBox::Ok)->isVisible());
        QVERIFY2(box->findChild<QScrollArea*>()->verticalScrollBar()->maximum() > 0, "the text scrolls");
    }

    void aMembersTextIsShownAsWritten()
    {
        // Text from the network is never read as markup (a link, a picture, a huge heading).
        const QString text = QStringLiteral("bob说：<h1>big</h1><img src=\"file:///etc/passwd\">");
        MessageBoxes::current().informThen(nullptr, QStringLiteral("LUMO"), text, {});
        QTRY_COMPARE(int(openBoxes().size()), 1);
        auto* label = openBoxes()[0]->findChild<QLabel*>(QStringLiteral("boxText"));
        QVERIFY(label);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->text(), text);
    }

    void aBoxWhoseWindowGoesCallsNothing()
    {
        auto* window = new QDialog;
        window->show();
        bool called = false;
        MessageBoxes::current().askThen(window, QStringLiteral("LUMO"), QStringLiteral("dora?"), [&](bool) { called = true; });
        QTRY_COMPARE(int(openBoxes().size()), 1);
        delete window;
        QCoreApplication::processEvents();
        QVERIFY(openBoxes().empty());
        QVERIFY(!called);
    }
};

QTEST_MAIN(QuietBoxTest)
#include "quiet_box_test.moc"
