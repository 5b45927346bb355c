#include "core/shell/language_choice.h"

namespace lumo {

namespace {

// Longer than any value this program writes: the rest of such a value is not looked at.
constexpr std::size_t MaxSettingLength = 16;

}  // namespace

LanguageSetting parseLanguageSetting(std::string_view stored)
{
    if (stored.size() > MaxSettingLength) return LanguageSetting::System;
    if (stored == "zh") return LanguageSetting::Chinese;
    if (stored == "en") return LanguageSetting::English;
    return LanguageSetting::System;
}

std::string_view languageSettingValue(LanguageSetting setting)
{
    switch (setting) {
    case LanguageSetting::Chinese: return "zh";
    case LanguageSetting::English: return "en";
    case LanguageSetting::System: break;
    }
    return "system";
}

std::optional<LanguageSetting> languageSettingFromIndex(int index)
{
    switch (index) {
    case 0: return LanguageSetting::System;
    case 1: return LanguageSetting::Chinese;
    case 2: return LanguageSetting::English;
    default: return std::nullopt;
    }
}

Language languageOfLocale(const LocaleEnvironment& environment)
{
    const std::string& name = !environment.lcAll.empty()        ? environment.lcAll
                              : !environment.lcMessages.empty() ? environment.lcMessages
                                                                : environment.lang;
    // "en", "en_US", "en_GB.UTF-8", "en@quot": the language is the part before '_', '.' or '@'.
    const std::string_view language = std::string_view(name).substr(0, name.find_first_of("_.@"));
    return language == "en" ? Language::English : Language::Chinese;
}

Language chooseLanguage(LanguageSetting setting, const LocaleEnvironment& environment)
{
    switch (setting) {
    case LanguageSetting::Chinese: return Language::Chinese;
    case LanguageSetting::English: return Language::English;
    case LanguageSetting::System: break;
    }
    return languageOfLocale(environment);
}

}  // namespace lumo
