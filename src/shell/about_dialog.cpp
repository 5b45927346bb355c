#include "shell/about_dialog.h"

#include "lumo_version.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"

#include <QLabel>
#include <QPushButton>

namespace lumo {


QString AboutDialog::productText() { return ProductTemplate.arg(QStringLiteral(LUMO_VERSION_TEXT)); }

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(CaptionText);
    setWindowIcon(appIcon());
    setFont(dialogFont(10));
    const DialogUnits du(font());

    auto* product = new QLabel(productText(), this);
    product->setObjectName(QStringLiteral("productText"));
    product->setGeometry(du.rect(30, 14, 115, 9));
    auto* notice = new QLabel(NoticeText, this);
    notice->setObjectName(QStringLiteral("noticeText"));
    notice->setGeometry(du.rect(44, 24, 80, 23));
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* ok = new QPushButton(tr("确定"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(du.rect(144, 33, 28, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The program's licence, as the GPL asks an interactive program to show it.
    auto* licence = new QLabel(LicenceText, this);
    licence->setObjectName(QStringLiteral("licenceText"));
    licence->setWordWrap(true);
    licence->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    licence->setGeometry(du.rect(8, 52, 164, 34));

    setFixedSize(du.size(179, 90));
}

void AboutDialog::setFingerprint(const QString& fingerprint)
{
    if (fingerprint.isEmpty()) return;
    const DialogUnits du(font());
    auto* label = new QLabel(FingerprintTemplate.toString().arg(fingerprint), this);
    label->setObjectName(QStringLiteral("fingerprintText"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);  // to read out or paste to another player
    label->setGeometry(du.rect(8, 52, 165, 20));
    setFixedSize(du.size(179, 76));
}

}  // namespace lumo
