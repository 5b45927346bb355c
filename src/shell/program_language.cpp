#include "shell/program_language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <cstdio>

namespace lumo {

namespace {

// Built from translations/*.ts into the program's resources, so the same file is found when
// running from the build tree and when installed.
const QString EnglishTranslation = QStringLiteral(":/i18n/lumo_en.qm");

std::string environmentValue(const char* name) { return qEnvironmentVariable(name).toStdString(); }

// The translators in use, owned by the application; replaced as a whole on each install.
QList<QTranslator*>& installedTranslators()
{
    static QList<QTranslator*> translators;
    return translators;
}

}  // namespace

bool installLanguage(QCoreApplication& app, Language language)
{
    for (QTranslator* translator : installedTranslators()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    installedTranslators().clear();
    auto install = [&app](QTranslator* translator) {
        translator->setParent(&app);
        QCoreApplication::installTranslator(translator);
        installedTranslators().append(translator);
    };

    if (language == Language::English) {
        auto* program = new QTranslator;
        if (program->load(EnglishTranslation)) {
            install(program);
            return true;  // Qt's own texts are English without a translation
        }
        delete program;
        std::fprintf(stderr, "lumo: the English translation %s could not be loaded; the windows stay Chinese\n",
                     qPrintable(EnglishTranslation));
    }
    // The program's own texts are Chinese; Qt's own buttons (OK, Yes, No) follow them.
    auto* qtTexts = new QTranslator;
    if (qtTexts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        install(qtTexts);
    else
        delete qtTexts;
    return language == Language::Chinese;
}

LanguageSetting savedLanguageSetting()
{
    const QSettings settings;
    const QVariant value = settings.value(QLatin1String(LanguageSettingKey));
    // Only a short text can be a choice; anything else in the file counts as none.
    if (value.typeId() != QMetaType::QString) return LanguageSetting::System;
    return parseLanguageSetting(value.toString().left(32).toStdString());
}

QString saveLanguageSetting(LanguageSetting setting)
{
    QSettings settings;
    settings.setValue(QLatin1String(LanguageSettingKey), QString::fromUtf8(languageSettingValue(setting).data(),
                                                                          int(languageSettingValue(setting).size())));
    settings.sync();
    if (settings.status() == QSettings::NoError) return {};
    return settings.fileName();
}

Language installProgramLanguage(QCoreApplication& app)
{
    const LocaleEnvironment locale{environmentValue("LC_ALL"), environmentValue("LC_MESSAGES"), environmentValue("LANG")};
    const Language language = chooseLanguage(savedLanguageSetting(), locale);
    return installLanguage(app, language) ? language : Language::Chinese;
}

}  // namespace lumo
