// Boxes of one window open one at a time, in order, never on top of each other; a burst of the
// same request shows one box; the companion browser goes where it hides nothing.
#include "recording_boxes.h"
#include "ui/window_placement.h"

#include <QDialog>
#include <QPointer>
#include <QtTest>

using namespace lumo;
using namespace lumo::test;

namespace {

// Each box stays open for one pass of the event loop, as a modal box does while the player
// reads it: requests queued meanwhile are handled then.
void stayOpenForOnePass(RecordingBoxes& boxes)
{
    boxes.closeWhen = [&boxes, seen = qsizetype(0)]() mutable {
        if (seen == boxes.shown.size()) return true;
        seen = boxes.shown.size();  // a box (this one, or one opened on top of it) just opened
        return false;
    };
}

// Runs `then` while the first box is open, once.
std::function<void()> once(std::function<void()> then)
{
    return [then = std::move(then), done = false]() mutable {
        if (!std::exchange(done, true)) then();
    };
}

}  // namespace

class BoxQueueTest : public QObject {
    Q_OBJECT

private slots:
    void burstsShowOneBoxAtATimeInOrderAndRepeatsOnce()
    {
        RecordingBoxes boxes;
        stayOpenForOnePass(boxes);
        QDialog window;
        BoxQueue queue(&window);
        QStringList answers;
        for (int i = 0; i < 20000; ++i) queue.inform(QStringLiteral("LUMO"), QStringLiteral("alone"));
        queue.ask(QStringLiteral("LUMO"), QStringLiteral("carl?"), [&](bool yes) { answers << (yes ? "carl yes" : "carl no"); });
        // Requests arriving while a box is open wait their turn.
        boxes.onInform = once([&] {
            queue.ask(QStringLiteral("LUMO"), QStringLiteral("dora?"), [&](bool yes) { answers << (yes ? "dora yes" : "dora no"); });
            queue.inform(QStringLiteral("LUMO"), QStringLiteral("alone"));  // the one open: not again
        });
        QVERIFY(queue.busy());
        QVERIFY(boxes.shown.isEmpty());  // never inside the caller
        QTRY_VERIFY(!queue.busy());
        QCOMPARE(boxes.shown, (QStringList{"alone", "carl?", "dora?"}));
        QCOMPARE(answers, (QStringList{"carl yes", "dora yes"}));
        QCOMPARE(boxes.mostOpen, 1);
    }

    void capacityBoundsWhatWaitsAndClearDropsIt()
    {
        RecordingBoxes boxes;
        stayOpenForOnePass(boxes);
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
        boxes.onInform = once([&] { queue.clear(); });
        QTRY_VERIFY(idle);
        QCOMPARE(boxes.shown, QStringList{"first"});
    }

    void windowClosedWhileABoxIsOpenEndsTheQueueSafely()
    {
        RecordingBoxes boxes;
        stayOpenForOnePass(boxes);
        auto* window = new QDialog;
        QPointer<BoxQueue> queue = new BoxQueue(window);
        bool answered = false;
        queue->ask(QStringLiteral("LUMO"), QStringLiteral("q"), [&](bool) { answered = true; });
        queue->inform(QStringLiteral("LUMO"), QStringLiteral("never"));
        boxes.onAsk = once([&] { delete window; });
        QTRY_VERIFY(queue.isNull());
        QCoreApplication::sendPostedEvents();  // whatever the queue left queued
        QCoreApplication::processEvents();
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
