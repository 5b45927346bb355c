// The About box (template 140): caption "关于LUMO ", the product with its version, the maker's
// notice, and an OK button. It adds nothing to a plain dialog.
#pragma once

#include <QDialog>
#include <QString>

namespace lumo {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    static const QString CaptionText;  // "关于LUMO " (with its trailing space)
    static const QString ProductText;  // "LUMO 1.3beta 版"
    static const QString NoticeText;   // the maker's notice of 2004

    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace lumo
