#pragma once

#include <QIcon>

namespace lumo {

// The program's icon, drawn at start so that no image files need shipping.
QIcon appIcon();

}  // namespace lumo
