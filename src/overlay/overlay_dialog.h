// The in-game overlay window "gamein" (layout 3000): a small always-on-top window with the tabs
// "聊天" and "其它". It has no network or audio of its own: it shows what the main program sends
// through the pipe and posts LinkMessage codes to the main program's mailbox "LUMO".
#pragma once

#include "ui/ui_text.h"

#include <QDialog>
#include <QString>

#include <memory>

class QSettings;

namespace lumo {

class BoxQueue;
class Mailbox;
class MailboxPoster;
class OverlayChatPage;
class OverlayOtherPage;
class OverlayPipeClient;
class OverlayTabControl;

class OverlayDialog : public QDialog {
    Q_OBJECT
public:
    static const QString Title;               // "gamein"
    static constexpr UiText ChatTabText = LUMO_UI_TEXT("lumo::OverlayDialog", "聊天");
    static constexpr UiText OtherTabText = LUMO_UI_TEXT("lumo::OverlayDialog", "其它");
    static const QString BoxCaption;          // "hudlet", the caption of the pipe failure boxes
    static constexpr UiText WaitFailedText = LUMO_UI_TEXT("lumo::OverlayDialog", "等待管道失败！");
    static constexpr UiText OpenFailedText = LUMO_UI_TEXT("lumo::OverlayDialog", "打开管道失败！");
    static constexpr UiText CallQuestionText = LUMO_UI_TEXT("lumo::OverlayDialog", "想和你聊天，接受吗？");

    // Sets the window up (hidden) and posts OverlayOpened to the main program.
    explicit OverlayDialog(QWidget* parent = nullptr);
    // Closes the pipe and posts OverlayClosed.
    ~OverlayDialog() override;

    // The main program's codes: PipeReady, OverlayClose, RosterSent, SelectionSent, MemberStatesSent,
    // CallRequest.
    void onLinkMessage(int code, int value);
    // Posts {code, value} to the mailbox "LUMO"; dropped when the main program is not there.
    void postToMain(int code, int value);
    // Destroys the window once control is back in the event loop, or, while one of its boxes is
    // open, once that box is answered (the box belongs to this window); boxes still waiting are
    // dropped.
    void closeOverlay();

    // Shows the window above every other, unblocked by the main program's modal windows.
    void showOverlay();

    OverlayChatPage& chatPage() const { return *chatPage_; }
    OverlayTabControl& tabControl() const { return *tabControl_; }
    bool pipeConnected() const;
    bool mailboxOpen() const;
    // One of the overlay's boxes (a question or a pipe failure) is open or waiting.
    bool asking() const;

protected:
    void reject() override;  // Escape does not hide the window: the Home key does
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void openPipe(int number);
    void askAboutCall(int index);
    void followModalWindow();

    OverlayTabControl* tabControl_ = nullptr;
    OverlayChatPage* chatPage_ = nullptr;
    OverlayOtherPage* otherPage_ = nullptr;
    OverlayPipeClient* pipe_ = nullptr;
    Mailbox* inbox_ = nullptr;
    MailboxPoster* toMain_ = nullptr;
    // The overlay's boxes open one at a time: two members starting to talk together are asked
    // about in turn.
    BoxQueue* boxes_ = nullptr;
    bool closePending_ = false;
    // The program's settings file, where the overlay's place is remembered; none in a process
    // that has no settings of its own.
    std::unique_ptr<QSettings> settings_;
};

}  // namespace lumo
