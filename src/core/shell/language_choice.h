// Which language the windows speak. Chinese is the program's own text; English is a
// translation. The player's choice (remembered in the settings) wins; without one, the
// system's locale decides as POSIX orders it: LC_ALL, then LC_MESSAGES, then LANG.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumo {

enum class Language { Chinese, English };

// What the player chose in the "&Language" menu; the values are the menu's order.
enum class LanguageSetting { System = 0, Chinese = 1, English = 2 };

// The remembered setting as stored ("system", "zh", "en"). Anything else (an edited or
// damaged settings file) counts as no choice: the system's locale decides.
LanguageSetting parseLanguageSetting(std::string_view stored);
std::string_view languageSettingValue(LanguageSetting setting);
// The menu's index (RoutedCommand::index) as a setting; nothing for an index out of range.
std::optional<LanguageSetting> languageSettingFromIndex(int index);

// The locale's variables as the environment holds them; an empty one counts as unset.
struct LocaleEnvironment {
    std::string lcAll;
    std::string lcMessages;
    std::string lang;
};

// The language of a locale name such as "en_US.UTF-8": English for "en" and its regions, the
// program's own Chinese for every other (C, POSIX, zh_CN, and languages without a translation).
Language languageOfLocale(const LocaleEnvironment& environment);
Language chooseLanguage(LanguageSetting setting, const LocaleEnvironment& environment);

}  // namespace lumo
