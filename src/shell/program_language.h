// The windows' language at start: the player's remembered choice (QSettings, key "language")
// or else the system's locale picks Chinese (the program's own texts, with Qt's own buttons in
// Chinese) or English (the translation built into the program, with Qt's buttons as they are).
#pragma once

#include "core/shell/language_choice.h"

#include <QString>

class QCoreApplication;

namespace lumo {

inline constexpr const char* LanguageSettingKey = "language";

// Reads the setting and the locale and installs that language's translations into app. Call
// once the application's organization and name are set (they name the settings file).
Language installProgramLanguage(QCoreApplication& app);

// Installs the translations of one language, replacing those installed before; false when the
// program's translation could not be loaded (the windows then keep their Chinese texts).
bool installLanguage(QCoreApplication& app, Language language);

LanguageSetting savedLanguageSetting();
// An empty text once the choice is saved, otherwise the settings file that could not be written.
QString saveLanguageSetting(LanguageSetting setting);

}  // namespace lumo
