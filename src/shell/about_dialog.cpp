#include "shell/about_dialog.h"

#include "lumo_version.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"

#include <QLabel>
#include <QPushButton>

#include <algorithm>

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
    // As tall as its text needs in the language shown (the English one is the longer).
    QRect area = du.rect(8, 52, 164, 34);
    area.setHeight(std::max(area.height(), licence->heightForWidth(area.width())));
    licence->setGeometry(area);

    setFixedSize(du.size(179, 0).width(), area.bottom() + du.rect(0, 0, 0, 6).height());
}

void AboutDialog::setFingerprint(const QString& fingerprint)
{
    if (fingerprint.isEmpty()) return;
    const DialogUnits du(font());
    auto* label = new QLabel(FingerprintTemplate.toString().arg(fingerprint), this);
    label->setObjectName(QStringLiteral("fingerprintText"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);  // to read out or paste to another player
    // Below the licence, the dialog growing to hold it.
    const QLabel* licence = findChild<QLabel*>(QStringLiteral("licenceText"));
    const int top = (licence ? licence->geometry().bottom() : du.rect(0, 0, 0, 86).height()) + du.rect(0, 0, 0, 4).height();
    QRect area = du.rect(8, 0, 165, 20);
    area.moveTop(top);
    label->setGeometry(area);
    setFixedSize(width(), area.bottom() + du.rect(0, 0, 0, 6).height());
}

}  // namespace lumo
