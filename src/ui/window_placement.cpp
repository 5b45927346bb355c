#include "ui/window_placement.h"

#include <algorithm>

namespace lumo {

QPoint besideWindow(const QRect& main, const QSize& size, const QRect& screen, int gap)
{
    const QPoint candidates[] = {
        {main.right() + 1 + gap, main.top()},                 // right
        {main.left() - gap - size.width(), main.top()},       // left
        {main.left(), main.bottom() + 1 + gap},               // below
        {main.left(), main.top() - gap - size.height()},      // above
    };
    if (!screen.isValid()) return candidates[0];
    for (const QPoint& at : candidates)
        if (screen.contains(QRect(at, size))) return at;
    // Nowhere without overlap: keep it on the screen, as far from the main window's left as it can.
    const int x = std::clamp(candidates[0].x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width()));
    const int y = std::clamp(main.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return {x, y};
}

}  // namespace lumo
