#include "ui/app_icon.h"

#include <QPainter>
#include <QPixmap>

namespace lumo {

QIcon appIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0x2a, 0x7a, 0xd4));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
        painter.setPen(QPen(Qt::white, std::max(2, size / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const qreal m = size * 0.32;
        painter.drawPolyline(QPolygonF({QPointF(m, m * 0.8), QPointF(m, size - m), QPointF(size - m * 0.9, size - m)}));
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace lumo
