// The small marks a member's row carries, drawn rather than loaded (the skins ship no icons for
// them), so that the main window's list and the overlay's show a member the same way.
#pragma once

#include <QIcon>

namespace lumo {

// Four rising bars, green up to `levelPercent` (0..100; any sound lights one) and grey above.
QIcon talkingMark(int levelPercent);

enum class KeyMark { None, Sealed, Changed };
// A small padlock (sealed) or a red exclamation mark (a changed key); no icon for None.
QIcon keyMark(KeyMark mark);

}  // namespace lumo
