// The main window: the member list, the name, address and message fields, the status line. It
// lays out its controls and binds them: the group's parts (GroupParts: the endpoint, the voice
// I/O, the overlay bridge, the sound controller) take the player's clicks as commands, the group
// status presenter says what to show of the session's events and decides the connect and send
// actions, and the chat room holds the texts with their boxes, history, log file and tray. The
// group's state lives in the endpoint's member session, never in the widgets.
#pragma once

#include "core/wire/wire.h"
#include "app/group_parts.h"
#include "app/member_list.h"
#include "directory/group_browser_owner.h"
#include "net/group_endpoint.h"
#include "shell/main_window_shell.h"

#include <QDialog>
#include <QPoint>
#include <QString>

#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidgetItem;

namespace lumo {

class AudioSystem;
class BoxQueue;
class CallPromptDialog;
class ChatHistoryWindow;
class ChatInbox;
class ChatLogWriter;
class ChatRoom;
class GroupBrowserDialog;
class GroupStatusPresenter;
class HttpClient;
class HyperLinkLabel;
class OverlayBridge;
class ReconnectPresenter;
class RememberedSettings;
class SoundController;
class SoundDialog;
class StatusLine;
class TalkingPresenter;
class VoiceSwitches;
class TrayNotifications;
class VoiceIo;

struct MainDialogOptions {
    std::optional<Ipv4> bindAddress;  // bind the two ports on this address only
    // Carries the directory's requests; by default a libcurl client sending from the bind address.
    HttpClient* directoryHttp = nullptr;
    // The microphone and the speakers; none (no sound card) when not given. Must outlive the window.
    AudioSystem* audio = nullptr;
    // Whether the skin library started and loaded the default skin.
    bool skinActive = false;
    // The command line named the sound devices: they hold for this run, over the remembered ones.
    bool devicesFromCommandLine = false;
    // The settings file the sound choices are kept in; the default file when not given. Must
    // outlive the window.
    RememberedSettings* remembered = nullptr;
};

class MainDialog : public QDialog, public GroupBrowserOwner, private ShellOwner {
    Q_OBJECT
public:
    using Column = MemberList::Column;
    static constexpr Column IdColumn = MemberList::IdColumn, NameColumn = MemberList::NameColumn,
                            AddressColumn = MemberList::AddressColumn, PortColumn = MemberList::PortColumn,
                            PathColumn = MemberList::PathColumn, VoiceColumn = MemberList::VoiceColumn;

    explicit MainDialog(const MainDialogOptions& options = {}, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Button "连接"/"更新"; the command line and the group browser press it too.
    void connectToHost() override;
    void closeMainWindow();
    // Ends the program whatever "close to the tray" says: SIGTERM, the tray's quit.
    void closeForGood();
    // Shows, restores and raises the window (a notification or the tray icon was clicked).
    void bringUp();

    // Fills the name and host address fields, as the command line or the group browser do.
    void setMemberName(const QString& name) override;
    void setRemoteAddress(const QString& address) override;
    // The "增溢" box, as a remembered setting sets it.
    void setGainBoost(bool on);
    // Where the group browser goes when the window first shows; none: beside the main window.
    void setBrowserPlace(std::optional<QPoint> place) { browserPlace_ = place; }

signals:
    // The player changed a field or the gain box (remembered for the next run).
    void memberNameChanged(const QString& name);
    void remoteAddressChanged(const QString& address);
    void gainBoostChanged(bool on);

public:
    // GroupBrowserOwner: the directory may see this client at its second address.
    Ipv4 ownAddress() const override { return endpoint().ownAddress(); }
    void setOwnAddress(Ipv4 address) override { endpoint().setOwnAddress(address); }
    Ipv4 secondLocalAddress() const override { return endpoint().secondLocalAddress(); }
    void showOwnAddress() override;
    void setSiteUrl(const QString& url) override;

    GroupEndpoint& endpoint() const { return parts_->endpoint(); }
    VoiceIo& voice() const { return parts_->voice(); }
    SoundController& sound() const { return parts_->sound(); }
    OverlayBridge& overlay() const { return parts_->overlay(); }
    GroupBrowserDialog& groupBrowser() const { return *groupBrowser_; }
    CallPromptDialog& callPrompt() const { return *callPrompt_; }
    MainWindowShell& shell() const { return *shell_; }
    bool socketsBound() const { return endpoint().socketsBound(); }

    // The texts of the run with their boxes, the window that shows them (Ctrl+H, or the button
    // in the status line), the log file, the tray and desktop notifications.
    ChatInbox& chatInbox() const;
    ChatHistoryWindow& historyWindow() const;
    ChatLogWriter& chatLog() const;
    TrayNotifications& tray() const;
    void openHistory();
    // The sound settings dialog (from the "&File" menu), created on first use.
    SoundDialog* openSoundDialog();

    // Why the ports could not be bound, in the player's words; empty when both are bound.
    QString bindProblem() const;

    // Who is talking, shown on the member list.
    TalkingPresenter& talking() const { return *talking_; }

    // The row of the member list that shows member `id` (the list shows the roster reversed).
    int rowOfMember(int id) const { return memberList_->rowOfMember(id); }
    QTreeWidgetItem* memberRow(int row) const { return memberList_->row(row); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape ends the program the same way as closing the window (asking first in a group)
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void placeGroupBrowser();
    void bindGroupStatus();
    void buildChatRoom();
    void bindReconnect();
    void choosePartnerFromList();
    void bindTalking();
    void bindVoiceSwitches();
    void onListRightClick(const QPoint& screenPosition);
    // While hosting or in a group, asks whether to leave; true to go on closing.
    bool confirmLeaving();

    // ShellOwner: what the menu bar and the plug-in loader need.
    QString siteBaseUrl() const override;
    bool windowExists(const QString& title) const override;
    QString ownFingerprint() const override;
    void closeOverlay() override;
    bool overlayPipeOpen() const override;
    void closeOverlayPipe() override;

    // In the order they are made; each goes before what it drives.
    std::unique_ptr<GroupParts> parts_;
    SoundDialog* soundDialog_ = nullptr;
    std::unique_ptr<CallPromptDialog> callPrompt_;
    std::unique_ptr<MainWindowShell> shell_;
    std::unique_ptr<GroupBrowserDialog> groupBrowser_;
    // Boxes that requests from the network or the overlay raise: one at a time, never stacked.
    BoxQueue* boxes_ = nullptr;
    bool placedBrowser_ = false;
    std::optional<QPoint> browserPlace_;
    bool closed_ = false;
    bool closingForGood_ = false;

    // What the window shows of the group; the texts with their boxes, history, log and tray.
    GroupStatusPresenter* groupStatus_ = nullptr;
    StatusLine* statusLine_ = nullptr;
    ReconnectPresenter* reconnect_ = nullptr;
    ChatRoom* chatRoom_ = nullptr;
    TalkingPresenter* talking_ = nullptr;
    VoiceSwitches* voiceSwitches_ = nullptr;  // mute and deafen
    QPushButton* historyButton_ = nullptr;

    // Controls.
    QLineEdit* memberNameEdit_ = nullptr;
    QLineEdit* hostAddressEdit_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* serverButton_ = nullptr;
    QLabel* ownAddressLabel_ = nullptr;
    QLabel* partnerLabel_ = nullptr;
    QLineEdit* messageEdit_ = nullptr;
    QPushButton* sendButton_ = nullptr;
    QPushButton* voiceButton_ = nullptr;
    QPushButton* muteButton_ = nullptr;
    QPushButton* deafenButton_ = nullptr;
    QCheckBox* gainCheck_ = nullptr;
    QCheckBox* groupModeCheck_ = nullptr;
    MemberList* memberList_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    HyperLinkLabel* siteLink_ = nullptr;
};

}  // namespace lumo
