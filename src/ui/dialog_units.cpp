#include "ui/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace lumo {

QFont dialogFont(int pointSize)
{
    static const QString family = [] {
        const QStringList installed = QFontDatabase::families();
        for (const QString& wanted : {QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                                      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("AR PL UMing CN")}) {
            if (installed.contains(wanted, Qt::CaseInsensitive)) return wanted;
        }
        return QString();
    }();
    QFont font;
    if (!family.isEmpty()) font.setFamily(family);
    font.setPointSize(pointSize);
    return font;
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    static const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseWidth_ = std::max(1, (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2);
    baseHeight_ = std::max(1, metrics.height());
}

int DialogUnits::x(int units) const { return (units * baseWidth_ + 2) / 4; }
int DialogUnits::y(int units) const { return (units * baseHeight_ + 4) / 8; }

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    return QRect(x(left), y(top), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const { return QSize(x(width), y(height)); }

}  // namespace lumo
