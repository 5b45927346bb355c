// A text of the program's windows: its Chinese source and a translation context, translated
// each time it is read. Constants defined before the program installs its translation (static
// ones included) therefore still show in the player's language.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <utility>

namespace lumo {

struct UiText {
    const char* context;
    const char* source;  // UTF-8, the program's own text

    QString toString() const { return QCoreApplication::translate(context, source); }
    operator QString() const { return toString(); }
    template <typename... Args>
    QString arg(Args&&... args) const
    {
        return toString().arg(std::forward<Args>(args)...);
    }

    friend bool operator==(const QString& shown, const UiText& text) { return shown == text.toString(); }
    friend QString operator+(const QString& left, const UiText& right) { return left + right.toString(); }
    friend QString operator+(const UiText& left, const QString& right) { return left.toString() + right; }
};

}  // namespace lumo

// A window text with its context. lupdate (the lumo_lupdate target) reads it as
// QT_TRANSLATE_NOOP; within a QObject class the context is the class's full name, as tr() uses.
#define LUMO_UI_TEXT(context, text) ::lumo::UiText{context, text}
