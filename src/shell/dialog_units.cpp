#include "shell/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace lumo {

QFont dialogFont(int pointSize)
{
    for (const QString& family : {QStringLiteral("宋体"), QStringLiteral("SimSun")}) {
        if (QFontDatabase::hasFamily(family)) return QFont(family, pointSize);
    }
    return QFont(QStringLiteral("WenQuanYi Micro Hei"), pointSize);
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    averageWidth_ = qMax(1, metrics.averageCharWidth());
    height_ = qMax(1, metrics.height());
}

int DialogUnits::x(int units) const { return (units * averageWidth_ + 2) / 4; }
int DialogUnits::y(int units) const { return (units * height_ + 4) / 8; }

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    return QRect(x(left), y(top), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const { return QSize(x(width), y(height)); }

}  // namespace lumo
