// The About box (template 140): caption "关于LUMO ", the product with its version, the maker's
// notice, and an OK button. It adds nothing to a plain dialog.
#pragma once

#include "ui/ui_text.h"

#include <QDialog>
#include <QString>

namespace lumo {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr UiText CaptionText = LUMO_UI_TEXT("lumo::AboutDialog", "关于LUMO ");  // with its trailing space
    static constexpr UiText ProductTemplate = LUMO_UI_TEXT("lumo::AboutDialog", "LUMO %1 版");  // %1: the version
    static constexpr UiText LicenceText = LUMO_UI_TEXT("lumo::AboutDialog",
        "LUMO 是自由软件：你可以按 GNU 通用公共许可证第 3 版或（由你选择）任何更新版本再发布和修改它。"
        "它不带任何担保。许可证全文见随程序附带的 LICENSE 文件。");
    static QString productText();  // "LUMO 1.3beta 版"
    static constexpr UiText FingerprintTemplate = LUMO_UI_TEXT("lumo::AboutDialog", "本机密钥指纹：\n%1");  // %1: the fingerprint
    // Shows this install's key fingerprint under the notice (nothing when empty).
    void setFingerprint(const QString& fingerprint);
    static constexpr UiText NoticeText = LUMO_UI_TEXT("lumo::AboutDialog", "Copyright (C) 2004\nLUMO 开发组");   // the maker's notice of 2004

    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace lumo
