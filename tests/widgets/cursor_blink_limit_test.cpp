// A focused text field stops blinking once the player has been idle a while, and blinks again
// at the next key or click: an idle window is not woken twice a second.
#include "ui/cursor_blink_limit.h"

#include <QApplication>
#include <QLineEdit>
#include <QtTest>

using namespace lumo;

class CursorBlinkLimitTest : public QObject {
    Q_OBJECT

private slots:
    void restsWhenIdleAndBlinksAgainOnInput()
    {
        const int desktopBlink = QApplication::cursorFlashTime();
        QVERIFY(desktopBlink > 0);
        QLineEdit field;
        field.show();
        field.setFocus();
        {
            CursorBlinkLimit limit(50);
            QVERIFY(limit.blinking());
            QTRY_VERIFY(!limit.blinking());
            QCOMPARE(QApplication::cursorFlashTime(), 0);
            QTest::keyClick(&field, Qt::Key_A);
            QVERIFY(limit.blinking());
            QCOMPARE(QApplication::cursorFlashTime(), desktopBlink);
            QCOMPARE(field.text(), QStringLiteral("a"));  // the key still reaches the field
            QTRY_VERIFY(!limit.blinking());
            QTest::mouseClick(&field, Qt::LeftButton);
            QVERIFY(limit.blinking());
            QTRY_VERIFY(!limit.blinking());
        }
        QCOMPARE(QApplication::cursorFlashTime(), desktopBlink);  // given back when it goes
    }
};

QTEST_MAIN(CursorBlinkLimitTest)
#include "cursor_blink_limit_test.moc"
