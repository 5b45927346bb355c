#include "ui/member_marks.h"

#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace lumo {

QIcon talkingMark(int levelPercent)
{
    QPixmap pixmap(16, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    const int lit = (std::clamp(levelPercent, 0, 100) * 4 + 99) / 100;  // any sound lights one bar
    for (int bar = 0; bar < 4; ++bar) {
        const int height = 4 + bar * 3;
        painter.fillRect(QRect(1 + bar * 4, 14 - height, 3, height), bar < lit ? QColor(0x2e, 0xb8, 0x42) : QColor(0xb0, 0xb0, 0xb0));
    }
    return QIcon(pixmap);
}

QIcon keyMark(KeyMark mark)
{
    if (mark == KeyMark::None) return {};
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (mark == KeyMark::Sealed) {
        painter.setPen(QPen(QColor(0x3a, 0x6a, 0x2a), 1.5));
        painter.drawArc(QRectF(3, 0.75, 6, 7), 0, 180 * 16);
        painter.drawLine(QPointF(3, 4.25), QPointF(3, 6));
        painter.drawLine(QPointF(9, 4.25), QPointF(9, 6));
        painter.fillRect(QRectF(1.5, 5.5, 9, 6), QColor(0x3a, 0x6a, 0x2a));
    } else {
        painter.setBrush(QColor(0xc0, 0x20, 0x20));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(0, 0, 12, 12));
        painter.fillRect(QRectF(5, 2, 2, 5.5), Qt::white);
        painter.fillRect(QRectF(5, 8.5, 2, 2), Qt::white);
    }
    return QIcon(pixmap);
}

}  // namespace lumo
