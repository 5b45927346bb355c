#include "app/main_dialog.h"

#include "app/call_prompt_dialog.h"

#include "common/gbk.h"
#include "directory/curl_http_client.h"
#include "directory/group_browser_dialog.h"
#include "net/local_addresses.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/hyperlink_label.h"
#include "ui/window_placement.h"
#include "link/mailbox.h"
#include "ui/message_box.h"
#include "voice/voice_capture.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>

namespace lumo {

const QString MainDialog::AppName = QStringLiteral("LUMO");
const QString MainDialog::SaysText = QStringLiteral("说：");
const QString MainDialog::ConnectText = QStringLiteral("连接");
const QString MainDialog::UpdateText = QStringLiteral("更新");
const QString MainDialog::VoiceText = QStringLiteral("语聊");
const QString MainDialog::StopVoiceText = QStringLiteral("终止");
const QString MainDialog::PathOkText = QStringLiteral("OK");
const QString MainDialog::ChattingText = QStringLiteral("聊天中");
const QString MainDialog::NotChattingText = QStringLiteral("不聊");
const QString MainDialog::WaitingText = QStringLiteral("等待");
const QString MainDialog::PromptText = QStringLiteral("提示");

namespace {

const QString LeftText = QStringLiteral("离开了！");
const QString NoNameText = QStringLiteral("你忘了写上你的名字了！");
const QString ConnectFailedText = QStringLiteral("连接失败，请检查设置是否正确！");
const QString NameTooLongText = QStringLiteral("名字太长了：最多 16 个字节（8 个汉字）。");
const QString BadAddressText =
    QStringLiteral("远端IP不完整：请填写群主的完整地址，四段数字，例如 192.168.1.20。");

QString fromGbk(const std::string& gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }
std::string toGbk(const QString& text) { return utf8ToGbk(text.toStdString()); }

}  // namespace

MainDialog::MainDialog(const MainDialogOptions& options, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(AppName);
    setWindowIcon(appIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    buildControls();
    boxes_ = new BoxQueue(this);
    // The link to the in-game overlay listens before any plug-in can be switched on.
    pipeServer_ = std::make_unique<PipeServer>(static_cast<OverlayLinkOwner&>(*this));
    // Window creation: skin calls, the menu bar with its plug-ins and skins.
    shell_ = std::make_unique<MainWindowShell>(*this, static_cast<ShellOwner&>(*this), options.skinActive);
    shell_->createWindowParts();

    member_ = MemberState{};
    member_.ownEntry.id = UnassignedId;
    findLocalAddresses(options.bindAddress);
    member_.ownEntry.localPort = MemberPort;
    showOwnAddress();

    // The group browser opens beside the main window; its directory requests leave from the
    // bind address, so that the directory sees this client where its group is hosted.
    HttpClient* http = options.directoryHttp;
    if (!http) {
        ownDirectoryHttp_ = std::make_unique<CurlHttpClient>(
            options.bindAddress ? dottedAddress(*options.bindAddress) : std::string());
        http = ownDirectoryHttp_.get();
    }
    // It is shown, and asks the directory, with the main window (showEvent): a program that
    // cannot bind its ports ends before either appears.
    groupBrowser_ = std::make_unique<GroupBrowserDialog>(static_cast<GroupBrowserOwner&>(*this), http);
    siteLink_->SetURL(groupBrowser_->baseUrl());

    callPrompt_ = std::make_unique<CallPromptDialog>();
    callPrompt_->setAnswerHandler([this](std::uint16_t memberId, std::uint16_t row, VoiceAnswer answer) {
        // The prompt changes the answer of a member that has sent voice; the column shows it on
        // the row the prompt was opened for.
        if (!memberSocket_->voiceSlots().setAnswer(memberId, answer)) return;
        const QString text = answer == VoiceAnswer::Accepted ? ChattingText
                             : answer == VoiceAnswer::Refused ? NotChattingText
                                                              : WaitingText;
        if (QTreeWidgetItem* item = memberRow(row)) item->setText(VoiceColumn, text);
    });

    audio_ = options.audio;
    if (!audio_) {
        ownAudio_ = std::make_unique<NullAudioSystem>();
        audio_ = ownAudio_.get();
    }
    capture_ = std::make_unique<VoiceCapture>(*audio_);
    capture_->setBlockSink([this](const VoiceRecord& record) { sendVoiceBlock(record); });

    bindSockets(options.bindAddress);
    publishSendPlan();
}

MainDialog::~MainDialog()
{
    // The capture thread sends through the member socket: it stops before the socket goes.
    capture_->setEnabled(false);
    capture_->StopAll();
    capture_.reset();
}

void MainDialog::buildControls()
{
    setFont(dialogFont());
    const DialogUnits du(font());

    auto label = [&](const QString& text, int x, int y, int w, int h) {
        auto* l = new QLabel(text, this);
        l->setGeometry(du.rect(x, y, w, h));
        return l;
    };
    auto button = [&](const QString& text, const char* name, int x, int y, int w, int h) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(du.rect(x, y, w, h));
        b->setAutoDefault(false);
        return b;
    };

    label(QStringLiteral("你的名字："), 7, 4, 40, 8);
    memberNameEdit_ = new QLineEdit(this);
    memberNameEdit_->setObjectName(QStringLiteral("memberName"));
    memberNameEdit_->setGeometry(du.rect(47, 2, 74, 12));
    memberNameEdit_->setMaxLength(16);

    label(QStringLiteral("远端IP："), 137, 4, 40, 10);
    hostAddressEdit_ = new QLineEdit(this);
    hostAddressEdit_->setObjectName(QStringLiteral("hostAddress"));
    hostAddressEdit_->setGeometry(du.rect(178, 0, 85, 13));
    static const QRegularExpression dotted(
        QStringLiteral("^((25[0-5]|2[0-4]\\d|1?\\d?\\d)\\.){0,3}(25[0-5]|2[0-4]\\d|1?\\d?\\d)?$"));
    hostAddressEdit_->setValidator(new QRegularExpressionValidator(dotted, hostAddressEdit_));

    connectButton_ = button(ConnectText, "connectButton", 264, 0, 23, 13);
    connectButton_->setDefault(true);
    serverButton_ = button(QStringLiteral("Server"), "serverButton", 287, 0, 25, 13);

    label(QStringLiteral("你的IP："), 7, 18, 36, 8);
    ownAddressLabel_ = label(QString(), 48, 18, 74, 11);
    ownAddressLabel_->setObjectName(QStringLiteral("ownAddress"));
    partnerLabel_ = label(QString(), 137, 16, 36, 10);
    partnerLabel_->setObjectName(QStringLiteral("partnerLabel"));

    messageEdit_ = new QLineEdit(this);
    messageEdit_->setObjectName(QStringLiteral("messageText"));
    messageEdit_->setGeometry(du.rect(178, 14, 85, 12));
    sendButton_ = button(QStringLiteral("发送"), "sendButton", 264, 14, 24, 12);
    voiceButton_ = button(VoiceText, "voiceButton", 288, 14, 24, 12);

    gainCheck_ = new QCheckBox(this);
    gainCheck_->setObjectName(QStringLiteral("gainBoost"));
    gainCheck_->setGeometry(du.rect(287, 26, 8, 8));
    label(QStringLiteral("增溢"), 295, 26, 17, 8);

    groupModeCheck_ = new QCheckBox(this);
    groupModeCheck_->setObjectName(QStringLiteral("groupMode"));
    groupModeCheck_->setGeometry(du.rect(7, 30, 10, 8));
    groupModeCheck_->setEnabled(false);
    groupModeCheck_->hide();
    label(QStringLiteral("GGMM："), 7, 30, 25, 8);

    memberList_ = new QTreeWidget(this);
    memberList_->setObjectName(QStringLiteral("memberList"));
    memberList_->setGeometry(du.rect(7, 38, 305, 131));
    memberList_->setColumnCount(ColumnCount);
    memberList_->setHeaderLabels({QStringLiteral("   id"), QStringLiteral("名字"), QStringLiteral("源地址"),
                                  QStringLiteral("源端口"), QStringLiteral("连接状态"), QStringLiteral("语聊状态")});
    const int widths[ColumnCount] = {55, 100, 130, 60, 60, 50};
    for (int c = 0; c < ColumnCount; ++c) memberList_->setColumnWidth(c, widths[c]);
    memberList_->header()->setDefaultAlignment(Qt::AlignCenter);
    memberList_->header()->setStretchLastSection(false);
    memberList_->setRootIsDecorated(false);
    memberList_->setSelectionMode(QAbstractItemView::SingleSelection);
    memberList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    memberList_->setMouseTracking(true);  // track select: rows highlight under the mouse
    memberList_->setContextMenuPolicy(Qt::CustomContextMenu);
    memberList_->setStyleSheet(QStringLiteral("QTreeWidget { background-color: #F0F0F0; }"));
    connect(memberList_, &QTreeWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { onListRightClick(memberList_->viewport()->mapToGlobal(at)); });

    statusLabel_ = label(QString(), 7, 170, 164, 9);
    statusLabel_->setObjectName(QStringLiteral("statusText"));
    siteLink_ = new HyperLinkLabel(QStringLiteral("访问站点"), this);
    siteLink_->setGeometry(du.rect(278, 171, 34, 8));
    siteLink_->setObjectName(QStringLiteral("siteLink"));

    setFixedSize(du.x(319), du.y(182));

    // Enter in the message field sends the text; elsewhere it presses the default button.
    messageEdit_->installEventFilter(this);

    connect(connectButton_, &QPushButton::clicked, this, &MainDialog::connectToHost);
    connect(sendButton_, &QPushButton::clicked, this, &MainDialog::sendChatText);
    connect(serverButton_, &QPushButton::clicked, this, &MainDialog::showGroupBrowser);
    connect(memberList_, &QTreeWidget::itemClicked, this, [this] { onListClick(); });
    connect(memberList_, &QTreeWidget::itemDoubleClicked, this, [this] { onListDoubleClick(); });
    connect(gainCheck_, &QCheckBox::toggled, this, [this](bool on) { gainBoost_ = on; });
    connect(voiceButton_, &QPushButton::clicked, this, &MainDialog::onVoiceButton);
    connect(groupModeCheck_, &QCheckBox::clicked, this, &MainDialog::onGroupModeClicked);

    timer_ = new QTimer(this);
    timer_->setInterval(200);
    connect(timer_, &QTimer::timeout, this, &MainDialog::onTimerTick);

    heldTextTimer_ = new QTimer(this);
    heldTextTimer_->setSingleShot(true);
    heldTextTimer_->setInterval(PathWaitMs);
    connect(heldTextTimer_, &QTimer::timeout, this, [this] { releaseHeldTexts(-1); });
}

void MainDialog::findLocalAddresses(std::optional<Ipv4> bindAddress)
{
    std::vector<Ipv4> found;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        bool isIpv4 = false;
        const Ipv4 value = address.toIPv4Address(&isIpv4);
        if (isIpv4) found.push_back(value);
    }
    const std::vector<Ipv4> ordered = orderLocalAddresses(found, bindAddress);
    member_.ownEntry.localAddress = ordered.empty() ? 0 : ordered[0];
    secondLocalAddress_ = ordered.size() > 1 ? ordered[1] : 0;
}

void MainDialog::bindSockets(std::optional<Ipv4> bindAddress)
{
    bindAddress_ = bindAddress;
    const Ipv4 address = bindAddress.value_or(0);
    memberSocket_ = std::make_unique<PeerSocket>(static_cast<PeerSocketOwner&>(*this));
    memberSocket_->bind(address, MemberPort);
    hostSocket_ = std::make_unique<PeerSocket>(static_cast<PeerSocketOwner&>(*this));
    hostSocket_->bind(address, HostPort);
}

bool MainDialog::socketsBound() const { return memberSocket_->isBound() && hostSocket_->isBound(); }

QString MainDialog::bindProblem() const
{
    for (const PeerSocket* socket : {memberSocket_.get(), hostSocket_.get()}) {
        if (socket->isBound()) continue;
        const QString address = bindAddress_ ? QString::fromStdString(dottedAddress(*bindAddress_)) : QString();
        const QString where = bindAddress_ ? QStringLiteral("地址 %1 上").arg(address) : QStringLiteral("本机");
        const QString port = QString::number(socket->port());
        switch (socket->bindError()) {
        case QAbstractSocket::AddressInUseError:
            return QStringLiteral("LUMO 无法使用%1的 UDP 端口 %2：端口已被占用，可能另一个 LUMO 正在运行。\n"
                                  "请先关闭它，或用 --bind 为这个 LUMO 选一个别的本机地址。")
                .arg(where, port);
        case QAbstractSocket::SocketAddressNotAvailableError:
            return QStringLiteral("LUMO 无法使用地址 %1：本机没有这个地址。\n"
                                  "请用 --bind 选择本机的一个地址，或不带 --bind 启动。")
                .arg(address);
        case QAbstractSocket::SocketAccessError:
            return QStringLiteral("LUMO 无权使用%1的 UDP 端口 %2。\n请检查系统的网络权限设置。").arg(where, port);
        default:
            return QStringLiteral("LUMO 无法使用%1的 UDP 端口 %2（%3）。\n请检查网络设置后重新启动 LUMO。")
                .arg(where, port, socket->bindErrorText());
        }
    }
    return {};
}

QTreeWidgetItem* MainDialog::memberRow(int row) const
{
    return row >= 0 && row < memberList_->topLevelItemCount() ? memberList_->topLevelItem(row) : nullptr;
}

QString MainDialog::memberNameText(int id) const
{
    return member_.groupRoster.holds(id) ? fromGbk(member_.groupRoster.records[id].nameBytes()) : QString();
}

Endpoint MainDialog::hostEndpoint() const
{
    const auto address = parseDottedAddress(hostAddress_.toStdString());
    return {address.value_or(0), HostPort};
}

void MainDialog::setMemberName(const QString& name) { memberNameEdit_->setText(name); }
void MainDialog::setRemoteAddress(const QString& address) { hostAddressEdit_->setText(address); }

void MainDialog::showOwnAddress()
{
    ownAddressLabel_->setText(QString::fromStdString(dottedAddress(member_.ownEntry.localAddress)));
}

void MainDialog::setSiteUrl(const QString& url) { siteLink_->SetURL(url); }

QString MainDialog::siteBaseUrl() const { return groupBrowser_->baseUrl(); }

bool MainDialog::windowExists(const QString& title) const { return Mailbox::exists(title); }

void MainDialog::closeOverlay()
{
    pipeServer_->forgetOverlayWindow();
    pipeServer_->closeOverlay();
}

// ---------------------------------------------------------------------------------------------
// Datagrams arriving

void MainDialog::handleHostDatagram(ByteView datagram, Endpoint source)
{
    const HostReply reply = hostTable_.handle(datagram, source);
    for (const std::string& name : reply.leftNames) statusLabel_->setText(fromGbk(name) + LeftText);
    sendFromHost(reply);
}

void MainDialog::sendFromHost(const HostReply& reply)
{
    for (const Outgoing& datagram : reply.sends) hostSocket_->sendTo(datagram.bytes, datagram.to);
}

void MainDialog::sendFromMember(const Outgoing& datagram) { memberSocket_->sendTo(datagram.bytes, datagram.to); }

void MainDialog::ackArrived()
{
    connectDeadline_ = sessionTicks_ + 2;
    hostAcknowledged_ = true;
    deadlineArmed_ = true;
}

void MainDialog::rosterReplaced()
{
    const Roster& roster = member_.groupRoster;
    memberList_->clear();
    for (int i = 0; i < roster.count; ++i) {
        const MemberEntry& record = roster.records[i];
        auto* item = new QTreeWidgetItem;
        item->setText(IdColumn, QString::number(record.id));
        item->setText(NameColumn, fromGbk(record.nameBytes()));
        item->setText(AddressColumn, QString::fromStdString(dottedAddress(record.publicAddress)));
        item->setText(PortColumn, QString::number(record.publicPort));
        for (int c = 0; c < ColumnCount; ++c) item->setTextAlignment(c, Qt::AlignCenter);
        if (groupVoiceMode_) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(IdColumn, Qt::Unchecked);
        }
        memberList_->insertTopLevelItem(0, item);
    }
    publishSendPlan();
    pipeServer_->sendRoster();
}

void MainDialog::pathConfirmed(int fromMember)
{
    if (QTreeWidgetItem* row = memberRow(selectedRow_)) row->setText(PathColumn, PathOkText);
    if (fromMember < 0) return;
    awaitingProbe_.erase(fromMember);
    releaseHeldTexts(fromMember);
}

void MainDialog::probeAnswered(int fromMember)
{
    if (fromMember < 0) return;
    releaseHeldTexts(fromMember);
    if (awaitingProbe_.erase(fromMember) == 0 || !member_.groupRoster.holds(fromMember)) return;
    const MemberEntry& other = member_.groupRoster.records[fromMember];
    memberSocket_->sendTo(makeHeaderOnly(cmd::PathProbe, idByte(fromMember), idByte(member_.ownEntry.id), Kind::PeerToPeer),
                          {other.publicAddress, other.publicPort});
}

void MainDialog::releaseHeldTexts(int partner)
{
    std::vector<HeldText> kept;
    for (HeldText& held : heldTexts_) {
        if (partner < 0 || held.partner == partner)
            memberSocket_->sendTo(held.datagram.bytes, held.datagram.to);
        else
            kept.push_back(std::move(held));
    }
    heldTexts_ = std::move(kept);
    if (heldTexts_.empty()) heldTextTimer_->stop();
}

void MainDialog::chatArrived(int senderId, const std::string& gbkText)
{
    const QString text = memberNameText(senderId) + SaysText + fromGbk(gbkText);
    if (overlayPipeOpen() || chatBoxes_ >= MaxChatBoxes) {
        statusLabel_->setText(text);
        return;
    }
    // As informLater, counting the box until it is closed.
    ++chatBoxes_;
    QTimer::singleShot(0, this, [guard = QPointer<MainDialog>(this), text] {
        MessageBoxes::current().inform(guard, AppName, text);
        if (guard) --guard->chatBoxes_;
    });
}

// ---------------------------------------------------------------------------------------------
// Actions

bool MainDialog::readControls()
{
    const std::string name = toGbk(memberNameEdit_->text());
    if (name.size() > NameSize) {
        MessageBoxes::current().inform(this, AppName, NameTooLongText);
        memberNameEdit_->setFocus();
        return false;
    }
    memberName_ = name;
    return true;
}

void MainDialog::connectToHost()
{
    if (!readControls()) return;
    if (memberName_.empty()) {
        MessageBoxes::current().inform(this, AppName, NoNameText);
        memberNameEdit_->setFocus();
        return;
    }
    // An empty or partial address would go out as 0.0.0.0, which is this machine.
    const auto host = parseDottedAddress(hostAddressEdit_->text().toStdString());
    if (!host || *host == 0) {
        MessageBoxes::current().inform(this, AppName, BadAddressText);
        hostAddressEdit_->setFocus();
        return;
    }
    connectButton_->setEnabled(false);
    connectDeadline_ = sessionTicks_ + 10;
    deadlineArmed_ = true;
    timer_->start();
    chatPartner_ = -1;
    stopVoice();
    sendJoin();
}

void MainDialog::sendJoin()
{
    if (!readControls()) return;
    const auto host = parseDottedAddress(hostAddressEdit_->text().toStdString());
    if (!host || *host == 0) return;
    member_.ownEntry.setName(memberName_);
    hostAddress_ = hostAddressEdit_->text();
    const MemberEntry& own = member_.ownEntry;
    memberSocket_->sendTo(makeEntryDatagram(cmd::JoinRequest, idByte(own.id), 0, Kind::ToHost, own), hostEndpoint());
}

void MainDialog::onTimerTick()
{
    ++sessionTicks_;
    ++uptimeTicks_;
    if ((uptimeTicks_ & 0xFF) == 0) sendFromHost(hostTable_.sweepDuplicates());
    if (uptimeTicks_ % 512 == 1) sweepSilentPeers();

    if (connectDeadline_ != 0 && sessionTicks_ == connectDeadline_ && deadlineArmed_) {
        if (hostAcknowledged_) {
            hostAcknowledged_ = false;
            connectDeadline_ = 0;
            sessionTicks_ = 0;
            connectButton_->setText(UpdateText);
        } else {
            informLater(this, AppName, ConnectFailedText);
        }
        connectButton_->setEnabled(true);
    }
}

void MainDialog::sendChatText()
{
    const QTreeWidgetItem* row = memberRow(selectedRow_);
    const bool pathOpen = row && row->text(PathColumn) == PathOkText;
    if (!pathOpen) requestPeerPath();
    if (!readControls()) return;
    if (chatPartner_ < 0) return;
    if (member_.groupRoster.holds(chatPartner_)) {
        const MemberEntry& partner = member_.groupRoster.records[chatPartner_];
        const Endpoint to{partner.publicAddress, partner.publicPort};
        // Texts to a partner keep their order: while any wait, a new one waits behind them.
        const int waitFor = chatPartner_;
        const bool hold = !pathOpen || std::any_of(heldTexts_.begin(), heldTexts_.end(),
                                                   [waitFor](const HeldText& held) { return held.partner == waitFor; });
        // A text longer than one datagram holds goes as several, each cut on a character
        // boundary, so nothing is lost and no character is split.
        const std::string text = toGbk(messageEdit_->text());
        std::string_view rest = text;
        do {
            const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
            Bytes datagram = makeChatText(idByte(chatPartner_), idByte(member_.ownEntry.id), rest.substr(0, length));
            if (hold)
                heldTexts_.push_back({chatPartner_, {to, std::move(datagram)}});
            else
                memberSocket_->sendTo(datagram, to);
            rest.remove_prefix(length);
        } while (!rest.empty());
        if (hold && !heldTextTimer_->isActive()) heldTextTimer_->start();
    }
    messageEdit_->clear();
}

void MainDialog::sendPathRequests(int target)
{
    if (!member_.groupRoster.holds(target)) return;
    const MemberEntry& own = member_.ownEntry;
    const MemberEntry& other = member_.groupRoster.records[target];
    memberSocket_->sendTo(makeEntryDatagram(cmd::PathOpener, idByte(target), idByte(own.id), Kind::PeerToPeer, own),
                          {other.publicAddress, other.publicPort});
    awaitingProbe_.insert(target);
    memberSocket_->sendTo(makeEntryDatagram(cmd::PathRequest, idByte(own.id), idByte(target), Kind::ToHost, own),
                          hostEndpoint());
}

void MainDialog::requestPeerPath()
{
    if (groupVoiceMode_) {
        // The ticked rows are the members to reach; take them as the list shows them now.
        if (targetsChanged_.exchange(false)) refreshVoiceTargets();
        for (int i = 0; i < voiceTargets_.count; ++i)
            if (voiceTargets_.ids[i] >= 0) sendPathRequests(voiceTargets_.ids[i]);
        return;
    }
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    if (selected.isEmpty()) return;
    selectedRow_ = memberList_->indexOfTopLevelItem(selected.first());
    sendPathRequests(selected.first()->text(IdColumn).toInt());
}

void MainDialog::refreshVoiceTargets()
{
    VoiceTargetList targets;
    for (int r = 0; r < member_.groupRoster.count && r < memberList_->topLevelItemCount(); ++r) {
        const QTreeWidgetItem* row = memberList_->topLevelItem(r);
        if (row->checkState(IdColumn) != Qt::Checked) continue;
        if (targets.count < VoiceTargetList::Capacity) targets.ids[targets.count++] = row->text(IdColumn).toInt();
    }
    voiceTargets_ = targets;
    if (groupVoiceMode_ && targets.count == 0) voiceButton_->setText(VoiceText);
    publishSendPlan();
    pipeServer_->sendSelection();
}

void MainDialog::onListClick()
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    selectedRow_ = selected.isEmpty() ? -1 : memberList_->indexOfTopLevelItem(selected.first());
    if (groupVoiceMode_) {
        targetsChanged_ = true;
        if (selectedRow_ >= 0) {
            chatPartner_ = selected.first()->text(IdColumn).toInt();
            partnerLabel_->setText(memberNameText(chatPartner_));
        }
    }
    voiceButton_->setText(talking() ? StopVoiceText : VoiceText);
    callPrompt_->hide();
}

void MainDialog::onListDoubleClick()
{
    requestPeerPath();
    targetsChanged_ = true;
}

void MainDialog::showGroupBrowser() { groupBrowser_->showAgain(); }

// ---------------------------------------------------------------------------------------------
// Closing

void MainDialog::closeMainWindow()
{
    if (closed_) return;
    closed_ = true;
    releaseHeldTexts(-1);  // text written just before closing still goes
    boxes_->clear();
    closeOverlay();
    shell_->closing();
    // The leave goes to the host this client joined, whatever the address field holds now.
    const MemberEntry& own = member_.ownEntry;
    if (!hostAddress_.isEmpty())
        memberSocket_->sendTo(makeEntryDatagram(cmd::LeaveNotice, idByte(own.id), idByte(chatPartner_), Kind::ToHost, own),
                              hostEndpoint());
    groupBrowser_->removeRegistration();
    groupBrowser_->hide();
}

void MainDialog::closeEvent(QCloseEvent* event)
{
    closeMainWindow();
    QDialog::closeEvent(event);  // rejects the dialog, which ends its modal loop
}

void MainDialog::reject()
{
    closeMainWindow();
    QDialog::reject();
}

void MainDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (placedBrowser_) return;
    placedBrowser_ = true;
    groupBrowser_->show();
    // The first refresh runs once the window is up and the sockets are bound: its requests and
    // any message they raise must not hold up the group's datagrams.
    QTimer::singleShot(0, groupBrowser_.get(), &GroupBrowserDialog::refreshGroups);
    // The group browser goes beside the main window, once the window system has placed it.
    QTimer::singleShot(0, this, &MainDialog::placeGroupBrowser);
}

void MainDialog::placeGroupBrowser()
{
    const QRect main = frameGeometry();
    const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect();
    groupBrowser_->move(besideWindow(main, groupBrowser_->frameGeometry().size(), screen));
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == messageEdit_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            sendButton_->click();
            return true;  // not on to the default button, which would join again
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::paintEvent(QPaintEvent* event)
{
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    QPainter painter(this);
    const QPixmap icon = windowIcon().pixmap(32, 32);
    painter.drawPixmap((width() - icon.width() + 1) / 2, (height() - icon.height() + 1) / 2, icon);
}

}  // namespace lumo
