// Dialog windows are laid out in dialog units, as their templates give them: a horizontal unit
// is a quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace lumo {

// The dialogs' font: "宋体" (SimSun) when installed, otherwise WenQuanYi Micro Hei, so Chinese
// texts always have glyphs.
QFont dialogFont(int pointSize);

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

private:
    int averageWidth_;
    int height_;
};

}  // namespace lumo
