// Texts of the pure code that a window shows: the code keeps the Chinese source text, and the
// Qt layer passes it through QCoreApplication::translate with the context named at the marker,
// so the core marks its texts for translation without linking Qt.
#pragma once

// Expands to the text itself. lupdate (the lumo_lupdate target) reads it as QT_TRANSLATE_NOOP,
// so the text lands in the translation files under the given context.
#define LUMO_TRANSLATE_NOOP(context, text) text
