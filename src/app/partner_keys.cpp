#include "app/partner_keys.h"

#include <QAbstractItemView>
#include <QKeyEvent>

namespace lumo {

PartnerKeys::PartnerKeys(QAbstractItemView& list) : QObject(&list)
{
    list.installEventFilter(this);
}

bool PartnerKeys::eventFilter(QObject* watched, QEvent* event)
{
    // On the release: the list moved its row on the press.
    if (event->type() == QEvent::KeyRelease) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: emit moved(); break;
        default: break;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace lumo
