// The main window's status line. Most lines pass (the next one replaces them); a line about the
// host ("主机已离开", joining again) stands until the state it describes ends, and later lines show
// beside it instead of hiding it; "bob离开了！" clears once bob is in the group again.
#pragma once

#include "core/wire/wire.h"

#include <QObject>
#include <QString>

#include <set>

namespace lumo {

class StatusLine : public QObject {
    Q_OBJECT
public:
    explicit StatusLine(QObject* parent = nullptr) : QObject(parent) {}

    // A passing line.
    void show(const QString& line);
    // The standing line about the host; an empty one ends it (and the passing line with it).
    void setHostCondition(const QString& line);
    // A member left the group: its name stays on the line until it is back.
    void memberLeft(const QString& name, const QString& line);
    // The names in the group now: a "left" line about one of them is cleared.
    void membersPresent(const std::set<QString>& names);

    QString text() const;
    // The names of a roster's members, as the line names them.
    static std::set<QString> namesOf(const Roster& roster);

signals:
    void textChanged(const QString& text);

private:
    void publish() { emit textChanged(text()); }

    QString condition_;
    QString passing_;
    QString leftMember_;  // whose leaving the passing line says; empty when it says something else
};

}  // namespace lumo
