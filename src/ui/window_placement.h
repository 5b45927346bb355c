// Where a companion window (the group browser) goes beside the main window: to its right, to
// its left, below or above it, whichever fits the screen first, so that neither hides the other.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace lumo {

// The top-left corner for a window of `size` next to `main`, inside `screen` (an invalid screen
// means no limits). When it fits nowhere, it goes as far right as the screen allows.
QPoint besideWindow(const QRect& main, const QSize& size, const QRect& screen, int gap = 8);

}  // namespace lumo
