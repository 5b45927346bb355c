// The small prompt opened by a right-click on a member row: accept, refuse, or ask again next
// time that member's voice arrives; and how loud that member is played.
#pragma once

#include "ui/ui_text.h"

#include "core/voice/voice_streams.h"

#include <QDialog>
#include <cstdint>
#include <functional>

class QLabel;
class QPushButton;

namespace lumo {

class CallPromptDialog : public QDialog {
    Q_OBJECT
public:
    // `answered` runs on each button with the member, its row and the chosen answer.
    using AnswerHandler = std::function<void(std::uint16_t memberId, std::uint16_t row, VoiceAnswer answer)>;

    CallPromptDialog();
    void setAnswerHandler(AnswerHandler handler) { answered_ = std::move(handler); }
    // "音量": runs with the member and where its volume menu goes.
    using VolumeHandler = std::function<void(std::uint16_t memberId, const QPoint& screenPosition)>;
    void setVolumeHandler(VolumeHandler handler) { volume_ = std::move(handler); }
    // "密钥…": runs with the member whose key the player wants to see.
    void setKeyHandler(std::function<void(std::uint16_t memberId)> handler) { key_ = std::move(handler); }

    // Whose answer the buttons set, and where: the prompt appears at `screenPosition`.
    void promptFor(std::uint16_t memberId, std::uint16_t row, const QPoint& screenPosition);
    std::uint16_t memberId() const { return memberId_; }
    std::uint16_t row() const { return row_; }

    static constexpr UiText AcceptText = LUMO_UI_TEXT("lumo::CallPromptDialog", "同意通话");
    static constexpr UiText RefuseText = LUMO_UI_TEXT("lumo::CallPromptDialog", "拒绝通话");
    static constexpr UiText AskAgainText = LUMO_UI_TEXT("lumo::CallPromptDialog", "下次提示");
    static constexpr UiText KeyText = LUMO_UI_TEXT("lumo::CallPromptDialog", "密钥…");

private:
    void answer(VoiceAnswer value);

    AnswerHandler answered_;
    VolumeHandler volume_;
    std::function<void(std::uint16_t)> key_;
    std::uint16_t memberId_ = 255;
    std::uint16_t row_ = 255;
};

}  // namespace lumo
