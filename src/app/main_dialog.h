// The main window: the member list, the name, address and message fields, and every piece of
// state a group needs (own record, the host table, the roster last received, partners, timer
// bookkeeping). It owns both UDP sockets and carries out what the pure protocol logic decides.
#pragma once

#include "common/wire.h"
#include "directory/group_browser_owner.h"
#include "shell/main_window_shell.h"
#include "link/pipe_server.h"
#include "net/host_table.h"
#include "net/member_dispatch.h"
#include "net/peer_socket.h"
#include "voice/voice_streams.h"

#include <QDialog>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace lumo {

class AudioSystem;
class BoxQueue;
class CallPromptDialog;
class GroupBrowserDialog;
class HttpClient;
class HyperLinkLabel;
class VoiceCapture;

struct MainDialogOptions {
    std::optional<Ipv4> bindAddress;  // bind the two ports on this address only
    // Carries the directory's requests; by default a libcurl client sending from the bind address.
    HttpClient* directoryHttp = nullptr;
    // The microphone and the speakers; none (no sound card) when not given. Must outlive the window.
    AudioSystem* audio = nullptr;
    // Whether the skin library started and loaded the default skin.
    bool skinActive = false;
};

class MainDialog : public QDialog,
                   private PeerSocketOwner,
                   public GroupBrowserOwner,
                   private OverlayLinkOwner,
                   private ShellOwner {
    Q_OBJECT
public:
    // Texts of the window.
    static const QString AppName;         // "LUMO", the caption of its boxes
    static const QString SaysText;        // "说：" after a member's name
    static const QString ConnectText;     // "连接"
    static const QString UpdateText;      // "更新"
    static const QString VoiceText;       // "语聊"
    static const QString StopVoiceText;   // "终止"
    static const QString PathOkText;      // "OK"
    static const QString ChattingText;    // "聊天中"
    static const QString NotChattingText; // "不聊"
    static const QString WaitingText;     // "等待"
    static const QString PromptText;      // "提示"

    enum Column { IdColumn, NameColumn, AddressColumn, PortColumn, PathColumn, VoiceColumn, ColumnCount };

    explicit MainDialog(const MainDialogOptions& options = {}, QWidget* parent = nullptr);
    ~MainDialog() override;

    // --- actions behind the controls ---
    void connectToHost() override;  // button "连接"/"更新"
    void sendJoin();
    void sendChatText();       // button "发送"
    void requestPeerPath();
    void onTimerTick();
    void onListClick();
    void onListDoubleClick();
    void showGroupBrowser();   // button "Server"
    void refreshVoiceTargets() override;
    void closeMainWindow();

    // --- voice ---
    void onVoiceButton();                 // button "语聊"/"终止"
    void onGroupModeClicked();            // check box "GGMM："
    void onListRightClick(const QPoint& screenPosition);
    bool startVoice();
    bool stopVoice();
    void sweepSilentPeers();
    bool talking() const;
    CallPromptDialog& callPrompt() const { return *callPrompt_; }
    const PeerSlots& voiceSlots() const;
    PipeServer& pipeServer() const { return *pipeServer_; }
    MainWindowShell& shell() const { return *shell_; }

    // Fills the name and host address fields, as the command line or the group browser do.
    void setMemberName(const QString& name) override;
    void setRemoteAddress(const QString& address) override;

    // GroupBrowserOwner: the directory may see this client at its second address.
    Ipv4 ownAddress() const override { return member_.ownEntry.localAddress; }
    void setOwnAddress(Ipv4 address) override { member_.ownEntry.localAddress = address; }
    void showOwnAddress() override;
    void setSiteUrl(const QString& url) override;
    GroupBrowserDialog& groupBrowser() const { return *groupBrowser_; }

    // --- state, for the other parts of the program and for tests ---
    const MemberEntry& ownEntry() const { return member_.ownEntry; }
    const Roster& groupRoster() const { return member_.groupRoster; }
    const Roster& hostRoster() const { return hostTable_.roster(); }
    Ipv4 secondLocalAddress() const override { return secondLocalAddress_; }
    int chatPartner() const { return chatPartner_; }
    int selectedRow() const { return selectedRow_; }
    const VoiceTargetList& voiceTargets() const { return voiceTargets_; }
    bool groupVoiceMode() const { return groupVoiceMode_; }
    bool socketsBound() const;
    // Why the ports could not be bound, in the player's words; empty when both are bound.
    QString bindProblem() const;
    std::uint32_t uptimeTicks() const { return uptimeTicks_; }

    // The row of the member list that shows member `id` (the list shows the roster reversed).
    int rowOfMember(int id) const { return member_.groupRoster.count - id - 1; }
    QTreeWidgetItem* memberRow(int row) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape ends the program the same way as closing the window
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // PeerSocketOwner: what arriving datagrams do to this window.
    MemberState& memberState() override { return member_; }
    void handleHostDatagram(ByteView datagram, Endpoint source) override;
    void sendFromMember(const Outgoing& datagram) override;
    void ackArrived() override;
    void rosterReplaced() override;
    void pathConfirmed(int fromMember) override;
    void probeAnswered(int fromMember) override;
    void chatArrived(int senderId, const std::string& gbkText) override;
    void voiceArrived(PeerSocket& socket, int senderId, const VoiceRecord& record) override;

    void buildControls();
    void placeGroupBrowser();
    void findLocalAddresses(std::optional<Ipv4> bindAddress);
    void bindSockets(std::optional<Ipv4> bindAddress);
    void sendFromHost(const HostReply& reply);
    void sendPathRequests(int target);
    // Sends the chat text held for `partner` (every held text when -1), oldest first.
    void releaseHeldTexts(int partner);
    // Copies the name field into memberName; false (after telling the player) when it is longer
    // than the 16 bytes a name may have.
    bool readControls();
    bool overlayPipeOpen() const override { return pipeServer_->pipeOpen(); }

    // ShellOwner: what the menu bar and the plug-in loader need.
    QString siteBaseUrl() const override;
    bool windowExists(const QString& title) const override;
    void closeOverlay() override;
    void closeOverlayPipe() override { pipeServer_->closeOverlayPipe(); }

    // OverlayLinkOwner: what the in-game overlay's messages do to this window.
    const Roster& overlayRoster() const override { return member_.groupRoster; }
    std::vector<int> overlayVoiceTargets() const override;
    QString memberIdText(int row) const override;
    void setMemberTicked(int row, bool ticked) override;
    bool setVoiceAnswer(int memberId, VoiceAnswer answer) override;
    void setMemberVoiceText(int row, const QString& text) override;
    void setVoiceButtonText(const QString& text) override;
    void clickVoiceButton() override { onVoiceButton(); }
    QWidget* overlayLinkWindow() override { return this; }
    void publishSendPlan();
    void sendVoiceBlock(const VoiceRecord& record);  // capture thread
    void setVoiceColumn(int memberId, const QString& text);
    void tickMember(int memberId, bool ticked);
    void askAboutVoice(int memberId);
    QString memberNameText(int id) const;
    Endpoint hostEndpoint() const;

    // Group state.
    std::optional<Ipv4> bindAddress_;
    MemberState member_;
    HostTable hostTable_;
    Ipv4 secondLocalAddress_ = 0;
    QString hostAddress_;  // the host the last join went to; the leave goes there too
    std::string memberName_;  // GBK, at most 16 bytes
    int chatPartner_ = -1;
    int voicePartner_ = -1;
    VoiceTargetList voiceTargets_;
    int selectedRow_ = -1;

    // Opening a path through address translators. The partner's translator lets our datagrams
    // in only once the partner's own probe has gone out to us, so chat text written before the
    // path is open waits until the partner is heard from (its probe or its confirmation), or
    // PathWaitMs at most, instead of being dropped there. And our own probe may reach the
    // partner's translator before that probe has left it: the first probe we hear from a member
    // we asked a path to is answered with one more probe of ours, so that our side too hears the
    // confirmation.
    static constexpr int PathWaitMs = 600;
    struct HeldText {
        int partner;
        Outgoing datagram;
    };
    std::vector<HeldText> heldTexts_;
    QTimer* heldTextTimer_ = nullptr;
    std::set<int> awaitingProbe_;  // members we asked a path to and have not yet heard

    // Connect judgement (200 ms ticks).
    std::int32_t connectDeadline_ = 0;
    bool deadlineArmed_ = false;
    bool hostAcknowledged_ = false;
    std::int32_t sessionTicks_ = 0;
    std::uint32_t uptimeTicks_ = 0;
    std::atomic<bool> targetsChanged_{true};
    bool gainBoost_ = false;
    bool groupVoiceMode_ = true;
    bool closed_ = false;
    // Chat boxes waiting or open. Any sender can send text as fast as the network carries it, so
    // their number is bounded: past the bound a text goes to the status line instead.
    static constexpr int MaxChatBoxes = 8;
    int chatBoxes_ = 0;
    bool placedBrowser_ = false;
    // Boxes that requests from the network or the overlay raise: one at a time, never stacked.
    BoxQueue* boxes_ = nullptr;

    // Voice. The capture thread reads only sendPlan_, which the user-interface thread replaces
    // whenever the targets, the roster, the own record, the mode or the partner change.
    std::unique_ptr<AudioSystem> ownAudio_;
    AudioSystem* audio_ = nullptr;
    std::unique_ptr<VoiceCapture> capture_;
    std::unique_ptr<CallPromptDialog> callPrompt_;
    std::unique_ptr<PipeServer> pipeServer_;
    std::unique_ptr<MainWindowShell> shell_;
    mutable std::mutex sendPlanLock_;
    std::shared_ptr<const VoiceSendPlan> sendPlan_;
    std::array<std::int16_t, 1024> pcmScratch_{};  // a new member's first block, decoded

    std::unique_ptr<PeerSocket> memberSocket_;
    std::unique_ptr<PeerSocket> hostSocket_;
    QTimer* timer_ = nullptr;
    std::unique_ptr<HttpClient> ownDirectoryHttp_;
    std::unique_ptr<GroupBrowserDialog> groupBrowser_;

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
    QTreeWidget* memberList_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    HyperLinkLabel* siteLink_ = nullptr;
};

}  // namespace lumo
