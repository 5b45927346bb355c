// Window layouts are given in dialog units, which scale with the dialog's font: a horizontal unit
// is a quarter of the font's average character width, a vertical one an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace lumo {

// The program's dialog font: 9-point SimSun where installed, otherwise a CJK font, so that the
// Chinese texts always render.
QFont dialogFont(int pointSize = 9);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    int baseWidth_;
    int baseHeight_;
};

}  // namespace lumo
