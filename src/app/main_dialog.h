// The main window: the member list, the name, address and message fields, the status line. It
// shows what the group endpoint reports and turns the player's clicks into its commands; the
// group's state lives in the endpoint's member session, never in the widgets.
#pragma once

#include "core/wire/wire.h"
#include "app/member_list.h"
#include "core/group/chat_history.h"
#include "app/sound_settings.h"
#include "directory/group_browser_owner.h"
#include "net/group_endpoint.h"
#include "shell/main_window_shell.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPoint>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QLabel;
class QSystemTrayIcon;
class QLineEdit;
class QPushButton;
class QTreeWidgetItem;

namespace lumo {

class AudioSystem;
class BoxQueue;
class CallPromptDialog;
class ChatHistoryWindow;
class DesktopNotifier;
class GroupBrowserDialog;
class HttpClient;
class HyperLinkLabel;
class GlobalKey;
class SoundDialog;

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
    Ipv4 ownAddress() const override { return endpoint_->ownAddress(); }
    void setOwnAddress(Ipv4 address) override { endpoint_->setOwnAddress(address); }
    Ipv4 secondLocalAddress() const override { return endpoint_->secondLocalAddress(); }
    void showOwnAddress() override;
    void setSiteUrl(const QString& url) override;

    GroupEndpoint& endpoint() const { return *endpoint_; }
    GroupBrowserDialog& groupBrowser() const { return *groupBrowser_; }
    CallPromptDialog& callPrompt() const { return *callPrompt_; }
    MainWindowShell& shell() const { return *shell_; }
    bool socketsBound() const { return endpoint_->socketsBound(); }

    // Every text of the run, and the window that shows it (Ctrl+H, or the button in the status
    // line). Texts that got no box count as unread until the history is opened.
    const ChatHistory& chatHistory() const { return history_; }
    ChatHistoryWindow& historyWindow() const { return *historyWindow_; }
    void openHistory();
    int unreadTexts() const { return unread_; }
    DesktopNotifier& notifier() const { return *notifier_; }
    QAction* historyAction() const { return historyAction_; }
    QAction* logAction() const { return logAction_; }
    QAction* closeToTrayAction() const { return closeToTrayAction_; }
    // Where the group's texts are written while logging is on.
    QString logFilePath() const;
    // The sound settings dialog (from the "&File" menu), created on first use.
    SoundDialog* openSoundDialog();
    const SoundSettings& soundSettings() const { return sound_; }
    // Whether the push-to-talk key is heard (through raw key events or the desktop's portal).
    bool pushToTalkWatched() const;
    // How the push-to-talk key is heard; null without a key.
    const GlobalKey* pushToTalkKey() const { return pushToTalk_.get(); }
    // The volume menu of a member (the right-click prompt's "音量…").
    void showVolumeMenu(int memberId, const QPoint& screenPosition);
    void setMemberVolume(int memberId, int percent);

    // Why the ports could not be bound, in the player's words; empty when both are bound.
    QString bindProblem() const;

    // The row of the member list that shows member `id` (the list shows the roster reversed).
    int rowOfMember(int id) const { return memberList_->rowOfMember(id); }
    QTreeWidgetItem* memberRow(int row) const { return memberList_->row(row); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape ends the program the same way as closing the window
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void placeGroupBrowser();
    void onSessionEvent(const SessionEvent& event);
    void showChat(int senderId, const std::string& gbkText);
    void openWaitingBox();
    void buildHistoryParts();
    void historyChanged(const ChatHistory::Added& added);
    void afterHistoryBatch();
    void writeSettledTexts(bool all);
    void showUnread();
    bool lumoActive() const;
    void showPartner(const SessionEvent& event);
    void showConnectState();
    void showVoiceButton();
    void sendChatText();
    void onListRightClick(const QPoint& screenPosition);
    QString memberNameText(int id) const;
    // The name field in GBK; nullopt (after telling the player) when it is longer than 16 bytes.
    std::optional<std::string> readName();

    // ShellOwner: what the menu bar and the plug-in loader need.
    QString siteBaseUrl() const override;
    bool windowExists(const QString& title) const override;
    void closeOverlay() override;
    bool overlayPipeOpen() const override { return endpoint_->pipeServer().pipeOpen(); }
    void closeOverlayPipe() override { endpoint_->pipeServer().closeOverlayPipe(); }

    void applySoundSettings(const SoundSettings& settings);
    void watchPushToTalk();
    void showPushToTalkState();
    void applyRememberedVolumes();
    void saveSoundSettings() const;

    std::unique_ptr<AudioSystem> ownAudio_;
    AudioSystem* audio_ = nullptr;
    SoundSettings sound_;
    // Devices named on the command line hold for the run only: the remembered ones are saved.
    std::optional<DeviceChoice> commandLineDevices_;
    DeviceChoice rememberedDevices_;
    std::unique_ptr<GroupEndpoint> endpoint_;
    // Destroyed before the endpoint it drives.
    std::unique_ptr<GlobalKey> pushToTalk_;
    QString toldKeyProblem_;  // the push-to-talk problem the player was last told about
    SoundDialog* soundDialog_ = nullptr;
    std::unique_ptr<CallPromptDialog> callPrompt_;
    std::unique_ptr<MainWindowShell> shell_;
    std::unique_ptr<HttpClient> ownDirectoryHttp_;
    std::unique_ptr<GroupBrowserDialog> groupBrowser_;
    // Boxes that requests from the network or the overlay raise: one at a time, never stacked.
    BoxQueue* boxes_ = nullptr;
    // Chat boxes waiting or open. Any sender can send text as fast as the network carries it, so
    // their number is bounded: past the bound a text goes to the status line instead.
    static constexpr int MaxChatBoxes = 8;
    int chatBoxes_ = 0;
    bool placedBrowser_ = false;
    std::optional<QPoint> browserPlace_;
    bool closed_ = false;
    bool closingForGood_ = false;

    ChatHistory history_;
    QElapsedTimer clock_;  // the history's continuation window runs on this monotonic clock
    ChatHistoryWindow* historyWindow_ = nullptr;
    int unread_ = 0;
    // The box of a text that may still be continued waits for the rest (at most the history's
    // continuation window) so that a long text opens one box, however far apart its parts come.
    std::shared_ptr<QString> waitingBoxText_;
    std::uint64_t waitingBoxSerial_ = 0;
    QTimer boxWait_;
    // Log file: texts up to this serial are written (or were never to be).
    std::uint64_t loggedEnd_ = 0;
    bool logStopped_ = false;
    QTimer historyBatch_;
    DesktopNotifier* notifier_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QAction* historyAction_ = nullptr;
    QAction* logAction_ = nullptr;
    QAction* closeToTrayAction_ = nullptr;
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
    QCheckBox* gainCheck_ = nullptr;
    QCheckBox* groupModeCheck_ = nullptr;
    MemberList* memberList_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    HyperLinkLabel* siteLink_ = nullptr;
};

}  // namespace lumo
