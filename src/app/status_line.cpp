#include "app/status_line.h"

#include "core/text/gbk.h"

namespace lumo {

std::set<QString> StatusLine::namesOf(const Roster& roster)
{
    std::set<QString> names;
    for (int id = 0; id < roster.count && id < int(roster.records.size()); ++id)
        names.insert(QString::fromStdString(gbkToUtf8(roster.records[std::size_t(id)].nameBytes())));
    return names;
}

void StatusLine::show(const QString& line)
{
    passing_ = line;
    leftMember_.clear();
    publish();
}

void StatusLine::setHostCondition(const QString& line)
{
    if (line == condition_) return;
    // The passing line was said before the standing one (or about the state that just ended).
    passing_.clear();
    leftMember_.clear();
    condition_ = line;
    publish();
}

void StatusLine::memberLeft(const QString& name, const QString& line)
{
    show(line);
    leftMember_ = name;
}

void StatusLine::membersPresent(const std::set<QString>& names)
{
    if (leftMember_.isEmpty() || !names.count(leftMember_)) return;
    passing_.clear();
    leftMember_.clear();
    publish();
}

QString StatusLine::text() const
{
    if (condition_.isEmpty()) return passing_;
    if (passing_.isEmpty()) return condition_;
    return condition_ + QStringLiteral(" | ") + passing_;
}

}  // namespace lumo
