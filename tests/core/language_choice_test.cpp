// Which language the windows speak: the remembered choice, else the locale in POSIX order.
#include "core/shell/language_choice.h"

#include <gtest/gtest.h>

using namespace lumo;

TEST(LanguageChoice, LocaleVariablesInPosixOrder)
{
    EXPECT_EQ(languageOfLocale({"", "", "en_US.UTF-8"}), Language::English);
    EXPECT_EQ(languageOfLocale({"", "", "zh_CN.UTF-8"}), Language::Chinese);
    // LC_ALL over LC_MESSAGES over LANG; an empty variable counts as unset.
    EXPECT_EQ(languageOfLocale({"C", "en_GB.UTF-8", "en_US.UTF-8"}), Language::Chinese);
    EXPECT_EQ(languageOfLocale({"", "en_GB.UTF-8", "zh_CN.UTF-8"}), Language::English);
    EXPECT_EQ(languageOfLocale({"en_US.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8"}), Language::English);
    EXPECT_EQ(languageOfLocale({"", "zh_TW", "en_US.UTF-8"}), Language::Chinese);
}

TEST(LanguageChoice, OnlyEnglishLocalesAreEnglish)
{
    for (const char* english : {"en", "en_US", "en_GB.UTF-8", "en@quot", "en.UTF-8"})
        EXPECT_EQ(languageOfLocale({"", "", english}), Language::English) << english;
    // The C locale, Chinese ones and languages without a translation keep the program's own texts.
    for (const char* other : {"", "C", "C.UTF-8", "POSIX", "zh_CN.GB18030", "de_DE.UTF-8", "eng", "english", "EN_US", "e"})
        EXPECT_EQ(languageOfLocale({"", "", other}), Language::Chinese) << other;
}

TEST(LanguageChoice, TheRememberedChoiceWinsOverTheLocale)
{
    const LocaleEnvironment english{"", "", "en_US.UTF-8"};
    const LocaleEnvironment chinese{"", "", "zh_CN.UTF-8"};
    EXPECT_EQ(chooseLanguage(LanguageSetting::Chinese, english), Language::Chinese);
    EXPECT_EQ(chooseLanguage(LanguageSetting::English, chinese), Language::English);
    EXPECT_EQ(chooseLanguage(LanguageSetting::System, english), Language::English);
    EXPECT_EQ(chooseLanguage(LanguageSetting::System, chinese), Language::Chinese);
}

TEST(LanguageChoice, StoredSettingsRoundTripAndDamagedOnesMeanNoChoice)
{
    for (LanguageSetting setting : {LanguageSetting::System, LanguageSetting::Chinese, LanguageSetting::English})
        EXPECT_EQ(parseLanguageSetting(languageSettingValue(setting)), setting);
    for (const char* damaged : {"", "EN", "en ", " en", "english", "zh_CN", "fr", "system2"})
        EXPECT_EQ(parseLanguageSetting(damaged), LanguageSetting::System) << damaged;
    EXPECT_EQ(parseLanguageSetting(std::string(100000, 'e')), LanguageSetting::System);
    EXPECT_EQ(parseLanguageSetting(std::string_view("en\0xx", 5)), LanguageSetting::System);
}

TEST(LanguageChoice, MenuIndexesAreTheSettingsInMenuOrder)
{
    EXPECT_EQ(languageSettingFromIndex(0), LanguageSetting::System);
    EXPECT_EQ(languageSettingFromIndex(1), LanguageSetting::Chinese);
    EXPECT_EQ(languageSettingFromIndex(2), LanguageSetting::English);
    EXPECT_FALSE(languageSettingFromIndex(3));
    EXPECT_FALSE(languageSettingFromIndex(-1));
}
