#include "ui/cursor_blink_limit.h"

#include <QApplication>
#include <QEvent>

namespace lumo {

CursorBlinkLimit::CursorBlinkLimit(int idleMs, QObject* parent) : QObject(parent), flashTime_(QApplication::cursorFlashTime())
{
    idle_.setSingleShot(true);
    idle_.setInterval(idleMs);
    connect(&idle_, &QTimer::timeout, this, &CursorBlinkLimit::rest);
    qApp->installEventFilter(this);
    idle_.start();
}

CursorBlinkLimit::~CursorBlinkLimit()
{
    if (qApp) qApp->removeEventFilter(this);
    if (!blinking_) QApplication::setCursorFlashTime(flashTime_);
}

bool CursorBlinkLimit::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
    case QEvent::InputMethod: wake(); break;
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

void CursorBlinkLimit::wake()
{
    // Every widget sends the event on to its parent: restart the wait once per event loop pass
    // at most, not once per widget.
    if (blinking_ && idle_.isActive() && idle_.remainingTime() > idle_.interval() - 50) return;
    if (!blinking_) {
        blinking_ = true;
        QApplication::setCursorFlashTime(flashTime_);
    }
    idle_.start();
}

void CursorBlinkLimit::rest()
{
    if (!blinking_) return;
    blinking_ = false;
    QApplication::setCursorFlashTime(0);  // the cursor stays lit, nothing repaints
}

}  // namespace lumo
