#include "app/partner_label.h"

#include "app/texts.h"

namespace lumo {

PartnerLabel::PartnerLabel(QWidget* parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("partnerLabel"));
    setTextFormat(Qt::PlainText);  // a member's name is never markup
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void PartnerLabel::showPartner(const QString& text)
{
    const QString left = text::PartnerLeft.toString();
    const bool gone = !left.isEmpty() && text.endsWith(left);
    const QString name = gone ? text.left(text.size() - left.size()) : text;
    const QString shown = fontMetrics().elidedText(name, Qt::ElideRight, contentsRect().width());
    setText(gone ? shown + QLatin1Char('\n') + left.trimmed() : shown);
    setToolTip(shown == name ? QString() : text);
}

}  // namespace lumo
