// Boxes of one window open one at a time, in order, never on top of each other; a burst of the
// same request shows one box; the companion browser goes where it hides nothing.
#include "ui/message_box.h"
#include "ui/window_placement.h"

#include <QDialog>
#include <QPointer>
#include <QtTest>

using namespace lumo;

namespace {

// Stands in for real boxes: each one "stays open" for a while, running the event loop as a
// modal box does, and records how deeply boxes were nested.
class LoopingBoxes final : public MessageBoxes {
public:
    LoopingBoxes() { MessageBoxes::install(this); }
    ~LoopingBoxes() override { MessageBoxes::install(nullptr); }
    void inform(QWidget*, const QString&, const QString& text) override { open(text); }
    bool ask(QWidget*, const QString&, const QString& text) override
    {
        open(text);
        return answer;
    }
    QStringList shown;
    int depth = 0;
    int deepest = 0;
    bool answer = true;
    std::function<void()> whileOpen;  // runs while the next box is open

private:
    void open(const QString& text)
    {
        shown << text;
        deepest = std::max(deepest, ++depth);
        // Runs once, while the first box is open.
        if (auto once = std::exchange(whileOpen, nullptr)) once();
        QTest::qWait(20);  // other events, queued requests among them, are handled meanwhile
        --depth;
    }
};

}  // namespace

class BoxQueueTest : public QObject {
    Q_OBJECT

private slots:
    void burstsShowOneBoxAtATimeInOrderAndRepeatsOnce()
    {
        LoopingBoxes boxes;
        QDialog window;
        BoxQueue queue(&window);
        QStringList answers;
        for (int i = 0; i < 20000; ++i) queue.inform(QStringLiteral("LUMO"), QStringLiteral("alone"));
        queue.ask(QStringLiteral("LUMO"), QStringLiteral("carl?"), [&](bool yes) { answers << (yes ? "carl yes" : "carl no"); });
        // Requests arriving while a box is open wait their turn.
        boxes.whileOpen = [&] {
            queue.ask(QStringLiteral("LUMO"), QStringLiteral("dora?"), [&](bool yes) { answers << (yes ? "dora yes" : "dora no"); });
            queue.inform(QStringLiteral("LUMO"), QStringLiteral("alone"));  // the one open: not again
        };
        QVERIFY(queue.busy());
        QVERIFY(boxes.shown.isEmpty());  // never inside the caller
        QTRY_VERIFY(!queue.busy());
        QCOMPARE(boxes.shown, (QStringList{"alone", "carl?", "dora?"}));
        QCOMPARE(answers, (QStringList{"carl yes", "dora yes"}));
        QCOMPARE(boxes.deepest, 1);
    }

    void capacityBoundsWhatWaitsAndClearDropsIt()
    {
        LoopingBoxes boxes;
        QDialog window;
        BoxQueue queue(&window, 3);
        int answered = 0;
        for (int i = 0; i < 10; ++i)
            queue.ask(QStringLiteral("LUMO"), QString::number(i), [&](bool) { ++answered; });
        QCOMPARE(queue.waiting(), 3);
        QTRY_VERIFY(!queue.busy());
        QCOMPARE(boxes.shown, (QStringList{"0", "1", "2"}));
        QCOMPARE(answered, 3);

        boxes.shown.clear();
        bool idle = false;
        queue.setIdleHandler([&] { idle = true; });
        queue.inform(QStringLiteral("LUMO"), QStringLiteral("first"));
        queue.inform(QStringLiteral("LUMO"), QStringLiteral("second"));
        boxes.whileOpen = [&] { queue.clear(); };
        QTRY_VERIFY(idle);
        QCOMPARE(boxes.shown, QStringList{"first"});
    }

    void windowClosedWhileABoxIsOpenEndsTheQueueSafely()
    {
        LoopingBoxes boxes;
        auto* window = new QDialog;
        QPointer<BoxQueue> queue = new BoxQueue(window);
        bool answered = false;
        queue->ask(QStringLiteral("LUMO"), QStringLiteral("q"), [&](bool) { answered = true; });
        queue->inform(QStringLiteral("LUMO"), QStringLiteral("never"));
        boxes.whileOpen = [&] { delete window; };
        QTRY_VERIFY(queue.isNull());
        QTest::qWait(50);
        QCOMPARE(boxes.shown, QStringList{"q"});
        QVERIFY(!answered);  // its window is gone: nobody to tell
    }

    void browserGoesWhereItHidesNothing()
    {
        const QSize browser(425, 238);
        const QRect wide(0, 0, 1920, 1080);
        const QRect narrow(0, 0, 1280, 800);
        // Room to the right.
        QCOMPARE(besideWindow(QRect(100, 100, 558, 338), browser, wide), QPoint(666, 100));
        // A 1280 screen with the main window in the middle: neither side has room; below has.
        const QRect centred(351, 191, 558, 338);
        const QPoint below = besideWindow(centred, browser, narrow);
        QCOMPARE(below, QPoint(351, 537));
        QVERIFY(!QRect(below, browser).intersects(centred));
        QVERIFY(narrow.contains(QRect(below, browser)));
        // Main window at the right edge: to its left.
        QCOMPARE(besideWindow(QRect(800, 100, 460, 338), browser, narrow), QPoint(367, 100));
        // A screen too small for any: kept on the screen.
        const QRect tiny(0, 0, 800, 600);
        QVERIFY(tiny.contains(QRect(besideWindow(QRect(100, 100, 558, 338), browser, tiny), browser)));
    }
};

QTEST_MAIN(BoxQueueTest)
#include "box_queue_test.moc"
