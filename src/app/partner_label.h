// The chat partner's name beside the message field. A partner who left keeps the name with
// "（已离开）" on a line of its own below it, and a name too long for the room is shortened with
// "…" (the whole text in the tool tip), so that neither is ever cut off, in either language.
#pragma once

#include <QLabel>

namespace lumo {

class PartnerLabel : public QLabel {
    Q_OBJECT
public:
    explicit PartnerLabel(QWidget* parent = nullptr);

    // The partner as the group status presenter words it: a name, the name followed by
    // text::PartnerLeft, or nothing.
    void showPartner(const QString& text);
};

}  // namespace lumo
