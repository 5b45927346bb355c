#include "app/main_dialog.h"

#include "app/call_prompt_dialog.h"
#include "app/chat_history_window.h"
#include "app/desktop_notifier.h"
#include "app/member_list.h"
#include "keys/global_key.h"
#include "app/sound_dialog.h"
#include "app/texts.h"

#include "core/text/gbk.h"
#include "directory/curl_http_client.h"
#include "directory/group_browser_dialog.h"
#include "link/mailbox.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/hyperlink_label.h"
#include "ui/message_box.h"
#include "ui/window_placement.h"
#include "voice/audio_device.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <utility>

namespace lumo {

namespace {

QString fromGbk(const std::string& gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }
std::string toGbk(const QString& text) { return utf8ToGbk(text.toStdString()); }

}  // namespace

MainDialog::MainDialog(const MainDialogOptions& options, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(text::AppName);
    setWindowIcon(appIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    buildControls();
    boxes_ = new BoxQueue(this);

    AudioSystem* audio = options.audio;
    if (!audio) {
        ownAudio_ = std::make_unique<NullAudioSystem>();
        audio = ownAudio_.get();
    }
    // The link to the in-game overlay (part of the endpoint) listens before any plug-in can be
    // switched on.
    audio_ = audio;
    endpoint_ = std::make_unique<GroupEndpoint>(options.bindAddress, *audio);
    endpoint_->setBoxWindow(this);
    // The remembered sound choices; devices named on the command line hold for this run.
    sound_ = SoundSettings::load();
    rememberedDevices_ = sound_.devices;
    if (options.devicesFromCommandLine) {
        commandLineDevices_ = audio->chosenDevices();
        sound_.devices = *commandLineDevices_;
    } else if (!audio->chooseDevices(sound_.devices, nullptr)) {
        // A remembered device that is not plugged in: the defaults serve until it is chosen again.
        audio->chooseDevices({}, nullptr);
    }
    endpoint_->setQuietLimit(sound_.quietLimit);
    watchPushToTalk();
    connect(endpoint_.get(), &GroupEndpoint::sessionEvent, this, &MainDialog::onSessionEvent);
    connect(endpoint_.get(), &GroupEndpoint::memberLeftHost, this,
            [this](const std::string& name) { statusLabel_->setText(fromGbk(name) + text::Left); });
    // Window creation: skin calls, the menu bar with its plug-ins and skins.
    shell_ = std::make_unique<MainWindowShell>(*this, static_cast<ShellOwner&>(*this), options.skinActive);
    shell_->createWindowParts();
    if (QMenuBar* bar = shell_->menuBar(); bar && !bar->actions().isEmpty() && bar->actions().first()->menu()) {
        QMenu* file = bar->actions().first()->menu();
        auto* sound = new QAction(tr("声音设置..."), file);
        sound->setObjectName(QStringLiteral("soundSettings"));
        file->insertAction(file->actions().value(0), sound);
        connect(sound, &QAction::triggered, this, [this] {
            SoundDialog* dialog = openSoundDialog();
            dialog->show();
            dialog->raise();
            dialog->activateWindow();  // keys go to it: the push-to-talk key is picked by pressing it
        });
    }
    showOwnAddress();

    // The group browser opens beside the main window; its directory requests leave from the
    // bind address, so that the directory sees this client where its group is hosted. It is
    // shown, and asks the directory, with the main window (showEvent): a program that cannot
    // bind its ports ends before either appears.
    HttpClient* http = options.directoryHttp;
    if (!http) {
        ownDirectoryHttp_ = std::make_unique<CurlHttpClient>(
            options.bindAddress ? dottedAddress(*options.bindAddress) : std::string());
        http = ownDirectoryHttp_.get();
    }
    groupBrowser_ = std::make_unique<GroupBrowserDialog>(static_cast<GroupBrowserOwner&>(*this), http);
    siteLink_->SetURL(groupBrowser_->baseUrl());

    callPrompt_ = std::make_unique<CallPromptDialog>();
    callPrompt_->setAnswerHandler([this](std::uint16_t memberId, std::uint16_t, VoiceAnswer answer) {
        endpoint_->answerFromPrompt(memberId, answer);
    });
    callPrompt_->setVolumeHandler([this](std::uint16_t memberId, const QPoint& at) { showVolumeMenu(memberId, at); });
    connectControls();
    buildHistoryParts();
}

MainDialog::~MainDialog()
{
    // The sound dialog reads the endpoint and its devices: it goes before they do, not with the
    // window's other children after the members are gone.
    delete soundDialog_;
    soundDialog_ = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Sound

SoundDialog* MainDialog::openSoundDialog()
{
    if (!soundDialog_) {
        SoundDialog::Hooks hooks;
        hooks.captureLevel = [this]() -> std::optional<int> {
            if (!endpoint_->capturing()) return std::nullopt;
            return endpoint_->inputLevel();
        };
        hooks.changed = [this](const SoundSettings& settings) { applySoundSettings(settings); };
        soundDialog_ = new SoundDialog(*audio_, sound_, std::move(hooks), this);
        soundDialog_->setKeyState(pushToTalk_ ? pushToTalk_->stateText() : QString());
    }
    return soundDialog_;
}

void MainDialog::applySoundSettings(const SoundSettings& settings)
{
    const bool keyChanged = settings.pushToTalkKeysym != sound_.pushToTalkKeysym;
    const auto volumes = sound_.volumes;  // the dialog does not change these
    sound_ = settings;
    sound_.volumes = volumes;
    endpoint_->setQuietLimit(sound_.quietLimit);
    if (keyChanged) watchPushToTalk();
    // Devices picked in the dialog are the player's choice from now on.
    if (!commandLineDevices_ || sound_.devices != *commandLineDevices_) {
        commandLineDevices_.reset();
        rememberedDevices_ = sound_.devices;
    }
    saveSoundSettings();
}

void MainDialog::saveSoundSettings() const
{
    SoundSettings kept = sound_;
    kept.devices = rememberedDevices_;
    kept.save();
}

void MainDialog::watchPushToTalk()
{
    if (pushToTalk_) endpoint_->pushToTalk(false);
    pushToTalk_.reset();
    toldKeyProblem_.clear();
    if (sound_.pushToTalkKeysym) {
        GlobalKeyRequest request;
        request.id = QStringLiteral("push-to-talk");
        request.description = tr("按住说话（LUMO 群聊语音）");
        request.keysym = sound_.pushToTalkKeysym;
        request.keyName = sound_.pushToTalkKeyName;
        pushToTalk_ = std::make_unique<GlobalKey>(request);
        connect(pushToTalk_.get(), &GlobalKey::pressed, this, [this] { endpoint_->pushToTalk(true); });
        connect(pushToTalk_.get(), &GlobalKey::released, this, [this] { endpoint_->pushToTalk(false); });
        connect(pushToTalk_.get(), &GlobalKey::changed, this, &MainDialog::showPushToTalkState);
    }
    showPushToTalkState();
}

bool MainDialog::pushToTalkWatched() const { return pushToTalk_ && pushToTalk_->way() != KeyWay::None; }

void MainDialog::showPushToTalkState()
{
    if (soundDialog_) soundDialog_->setKeyState(pushToTalk_ ? pushToTalk_->stateText() : QString());
    // A key that silently does nothing is worse than none: the player hears once why, on the
    // status line (the whole text in the sound dialog and on stderr).
    const QString problem = pushToTalk_ ? pushToTalk_->problem() : QString();
    if (problem == toldKeyProblem_) return;
    toldKeyProblem_ = problem;  // a key that works again is told about when it fails again
    if (problem.isEmpty()) return;
    statusLabel_->setText(pushToTalk_->way() == KeyWay::None ? tr("按键说话无法使用，详见“声音设置”。")
                                                             : tr("按键说话仅在 X11 程序有焦点时有效。"));
    std::fprintf(stderr, "lumo: %s\n", qPrintable(tr("按键说话：%1").arg(problem)));
}

void MainDialog::showVolumeMenu(int memberId, const QPoint& screenPosition)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("volumeMenu"));
    const int current = endpoint_->memberVolume(memberId);
    for (const int percent : {0, 25, 50, 75, 100, 150, 200, 300, 400}) {
        QAction* item = menu.addAction(percent == 0 ? tr("静音") : QStringLiteral("%1%").arg(percent));
        item->setCheckable(true);
        item->setChecked(percent == current);
        connect(item, &QAction::triggered, this, [this, memberId, percent] { setMemberVolume(memberId, percent); });
    }
    menu.exec(screenPosition);
}

void MainDialog::setMemberVolume(int memberId, int percent)
{
    endpoint_->setMemberVolume(memberId, percent);
    // Remembered by name: ids change from one group to the next.
    const std::string name = endpoint_->session().memberName(memberId);
    if (name.empty()) return;
    sound_.setVolume(name, percent);
    saveSoundSettings();
}

void MainDialog::applyRememberedVolumes()
{
    const Roster& roster = endpoint_->session().roster();
    for (int id = 0; id < roster.count && id < RosterCapacity; ++id)
        endpoint_->setMemberVolume(id, sound_.volumeOf(roster.records[std::size_t(id)].nameBytes()));
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
    auto lineEdit = [&](const char* name, int x, int y, int w, int h) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        e->setGeometry(du.rect(x, y, w, h));
        return e;
    };

    label(text::NameLabel, 7, 4, 40, 8);
    memberNameEdit_ = lineEdit("memberName", 47, 2, 74, 12);
    memberNameEdit_->setMaxLength(16);
    label(text::HostLabel, 137, 4, 40, 10);
    hostAddressEdit_ = lineEdit("hostAddress", 178, 0, 85, 13);
    static const QRegularExpression dotted(
        QStringLiteral("^((25[0-5]|2[0-4]\\d|1?\\d?\\d)\\.){0,3}(25[0-5]|2[0-4]\\d|1?\\d?\\d)?$"));
    hostAddressEdit_->setValidator(new QRegularExpressionValidator(dotted, hostAddressEdit_));
    connectButton_ = button(text::Connect, "connectButton", 264, 0, 23, 13);
    connectButton_->setDefault(true);
    serverButton_ = button(text::Server, "serverButton", 287, 0, 25, 13);

    label(text::OwnAddressLabel, 7, 18, 36, 8);
    ownAddressLabel_ = label(QString(), 48, 18, 74, 11);
    ownAddressLabel_->setObjectName(QStringLiteral("ownAddress"));
    partnerLabel_ = label(QString(), 137, 16, 36, 10);
    partnerLabel_->setObjectName(QStringLiteral("partnerLabel"));
    messageEdit_ = lineEdit("messageText", 178, 14, 85, 12);
    sendButton_ = button(text::Send, "sendButton", 264, 14, 24, 12);
    voiceButton_ = button(text::Voice, "voiceButton", 288, 14, 24, 12);

    gainCheck_ = new QCheckBox(this);
    gainCheck_->setObjectName(QStringLiteral("gainBoost"));
    gainCheck_->setGeometry(du.rect(287, 26, 8, 8));
    label(text::Gain, 295, 26, 17, 8);
    groupModeCheck_ = new QCheckBox(this);
    groupModeCheck_->setObjectName(QStringLiteral("groupMode"));
    groupModeCheck_->setGeometry(du.rect(7, 30, 10, 8));
    groupModeCheck_->setEnabled(false);
    groupModeCheck_->hide();
    label(text::GroupMode, 7, 30, 25, 8);

    memberList_ = new MemberList(this);
    memberList_->setGeometry(du.rect(7, 38, 305, 131));

    statusLabel_ = label(QString(), 7, 170, 164, 9);
    statusLabel_->setObjectName(QStringLiteral("statusText"));
    // Beside the status line: opens the chat history and says how many texts wait unread.
    historyButton_ = button(QString(), "historyButton", 174, 170, 100, 9);
    historyButton_->setFlat(true);
    siteLink_ = new HyperLinkLabel(text::SiteLink, this);
    siteLink_->setGeometry(du.rect(278, 171, 34, 8));
    siteLink_->setObjectName(QStringLiteral("siteLink"));
    setFixedSize(du.x(319), du.y(182));
}

void MainDialog::connectControls()
{
    // Enter in the message field sends the text; elsewhere it presses the default button.
    messageEdit_->installEventFilter(this);
    connect(connectButton_, &QPushButton::clicked, this, &MainDialog::connectToHost);
    connect(sendButton_, &QPushButton::clicked, this, &MainDialog::sendChatText);
    connect(serverButton_, &QPushButton::clicked, this, [this] { groupBrowser_->showAgain(); });
    connect(voiceButton_, &QPushButton::clicked, this, [this] { endpoint_->voiceButton(); });
    connect(gainCheck_, &QCheckBox::toggled, this, [this](bool on) {
        endpoint_->setGainBoost(on);
        emit gainBoostChanged(on);
    });
    connect(memberNameEdit_, &QLineEdit::textChanged, this, &MainDialog::memberNameChanged);
    connect(hostAddressEdit_, &QLineEdit::textChanged, this, &MainDialog::remoteAddressChanged);
    connect(groupModeCheck_, &QCheckBox::clicked, this, [this](bool on) { endpoint_->setGroupMode(on); });
    connect(memberList_, &QTreeWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { onListRightClick(memberList_->viewport()->mapToGlobal(at)); });
    connect(memberList_, &QTreeWidget::itemClicked, this, [this] {
        const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
        endpoint_->select(selected.isEmpty() ? -1 : memberList_->memberIdOf(selected.first()));
        showVoiceButton();
        callPrompt_->hide();
    });
    connect(memberList_, &QTreeWidget::itemDoubleClicked, this, [this] { endpoint_->openPaths(); });
    connect(memberList_, &MemberList::memberTicked, this, [this](int id, bool on) { endpoint_->tick(id, on); });
}

// ---------------------------------------------------------------------------------------------
// Showing the group

QString MainDialog::memberNameText(int id) const { return fromGbk(endpoint_->session().memberName(id)); }

void MainDialog::onSessionEvent(const SessionEvent& event)
{
    using Event = SessionEvent::Kind;
    switch (event.kind) {
    case Event::RosterChanged:
        applyRememberedVolumes();
        memberList_->showRoster(endpoint_->session());
        showVoiceButton();
        break;
    case Event::MemberChanged: memberList_->showMember(endpoint_->session(), event.memberId); break;
    case Event::ChatArrived: showChat(event.memberId, event.text); break;
    case Event::VoiceHeard: statusLabel_->setText(memberNameText(event.memberId) + text::Says); break;
    case Event::AskVoice:
        if (!lumoActive()) notifier_->notify(text::AppName, memberNameText(event.memberId) + text::VoiceQuestion);
        // Members who start talking together are asked about in turn.
        boxes_->ask(text::AppName, memberNameText(event.memberId) + text::VoiceQuestion,
                    [this, id = event.memberId](bool yes) { endpoint_->answerQuestion(id, yes); });
        break;
    case Event::ConnectChanged: showConnectState(); break;
    case Event::ConnectFailed: informLater(this, text::AppName, text::ConnectFailed); break;
    case Event::GroupFull: informLater(this, text::AppName, text::GroupFull); break;
    case Event::HostGone: statusLabel_->setText(text::HostGone); break;
    case Event::PathFailed: statusLabel_->setText(text::NotReached.arg(memberNameText(event.memberId))); break;
    case Event::TalkingChanged: showVoiceButton(); break;
    case Event::Alone: boxes_->inform(text::AppName, text::Alone); break;
    case Event::NoPartner: boxes_->inform(text::AppName, text::NoPartner); break;
    case Event::NoMicrophone: boxes_->inform(text::AppName, text::NoMicrophone); break;
    case Event::MicrophoneLost:
        showVoiceButton();
        statusLabel_->setText(tr("麦克风已断开"));
        boxes_->inform(text::AppName, tr("麦克风已断开，语聊已停止。\n接好后再按“语聊”。"));
        break;
    case Event::PartnerChanged: showPartner(event); break;
    case Event::SelectionChanged:
    case Event::HostSweepDue: break;
    }
}

void MainDialog::showChat(int senderId, const std::string& gbkText)
{
    const Roster& roster = endpoint_->session().roster();
    // Members are told apart by id and address: a new roster may give a name to someone else.
    std::string senderKey = std::to_string(senderId);
    if (roster.holds(senderId)) {
        const MemberEntry& entry = roster.records[std::size_t(senderId)];
        senderKey += '@' + dottedAddress(entry.publicAddress) + ':' + std::to_string(entry.publicPort);
    }
    const QString name = memberNameText(senderId);
    const QString part = fromGbk(gbkText);
    const ChatHistory::Added added =
        history_.addReceived(senderKey, name.toStdString(), gbkText, clock_.elapsed(), QDateTime::currentMSecsSinceEpoch());
    historyChanged(added);

    // The rest of a long text joins its first part while that part's box waits.
    if (added.continued && waitingBoxText_ && waitingBoxSerial_ == added.serial) {
        *waitingBoxText_ += part;
        if (added.mayContinue) boxWait_.start(int(ChatHistory::ContinueWithinMs));
        else openWaitingBox();
        return;
    }
    openWaitingBox();  // a new text ends the one before: its box need wait no longer
    const bool boxed = !endpoint_->pipeServer().pipeOpen() && chatBoxes_ < MaxChatBoxes;
    if (!added.continued) {
        if (!boxed && !historyWindow_->isVisible()) ++unread_;
        if (!lumoActive()) notifier_->notify(name + text::Says, part);
    }
    if (!boxed) {
        const ChatMessage* message = history_.at(added.serial);
        statusLabel_->setText(name + text::Says + (message ? QString::fromStdString(message->text) : part));
        showUnread();
        return;
    }
    // Counted from now until the box is closed.
    ++chatBoxes_;
    waitingBoxText_ = std::make_shared<QString>(name + text::Says + part);
    waitingBoxSerial_ = added.serial;
    if (added.mayContinue) boxWait_.start(int(ChatHistory::ContinueWithinMs));
    else openWaitingBox();
}

void MainDialog::openWaitingBox()
{
    boxWait_.stop();
    const std::shared_ptr<QString> boxText = std::exchange(waitingBoxText_, nullptr);
    if (!boxText) return;
    // As informLater: a box runs an event loop of its own, which must not run inside the
    // datagram's handler.
    QTimer::singleShot(0, this, [guard = QPointer<MainDialog>(this), boxText] {
        MessageBoxes::current().inform(guard, text::AppName, *boxText);
        if (guard) --guard->chatBoxes_;
    });
}

// ---------------------------------------------------------------------------------------------
// Chat history, log file, notifications and the tray

void MainDialog::buildHistoryParts()
{
    clock_.start();
    historyWindow_ = new ChatHistoryWindow(history_, this);
    historyBatch_.setSingleShot(true);
    boxWait_.setSingleShot(true);
    connect(&boxWait_, &QTimer::timeout, this, &MainDialog::openWaitingBox);
    connect(&historyBatch_, &QTimer::timeout, this, &MainDialog::afterHistoryBatch);

    connect(historyButton_, &QPushButton::clicked, this, &MainDialog::openHistory);

    historyAction_ = new QAction(tr("聊天记录(&H)"), this);
    historyAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    historyAction_->setShortcutContext(Qt::WindowShortcut);
    connect(historyAction_, &QAction::triggered, this, &MainDialog::openHistory);
    addAction(historyAction_);  // Ctrl+H works with or without the menu bar
    logAction_ = new QAction(tr("把聊天记录写入文件(&L)"), this);
    logAction_->setCheckable(true);
    connect(logAction_, &QAction::toggled, this, [this](bool on) {
        if (on) logStopped_ = false;
        afterHistoryBatch();
    });
    closeToTrayAction_ = new QAction(tr("关闭窗口时留在托盘(&T)"), this);
    closeToTrayAction_->setCheckable(true);
    if (QMenuBar* bar = shell_->menuBar()) {
        QMenu* menu = bar->addMenu(tr("消息(&M)"));
        menu->addAction(historyAction_);
        menu->addAction(logAction_);
        menu->addAction(closeToTrayAction_);
    }

    notifier_ = new DesktopNotifier(this);
    connect(notifier_, &DesktopNotifier::activated, this, &MainDialog::bringUp);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(appIcon(), this);
        auto* menu = new QMenu(this);
        menu->addAction(tr("打开 LUMO"), this, &MainDialog::bringUp);
        menu->addAction(historyAction_);
        menu->addSeparator();
        menu->addAction(tr("退出"), this, &MainDialog::closeForGood);
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) bringUp();
        });
        tray_->show();
    }
    closeToTrayAction_->setEnabled(tray_ != nullptr);
    showUnread();
}

void MainDialog::historyChanged(const ChatHistory::Added& added)
{
    historyWindow_->model().historyChanged(added);
    if (!historyBatch_.isActive()) historyBatch_.start(ChatHistoryModel::BatchMs);
}

void MainDialog::afterHistoryBatch()
{
    if (historyWindow_->isVisible()) unread_ = 0;
    writeSettledTexts(false);
    showUnread();
    // The last text may still be continued: it is written once that can no longer happen.
    if (logAction_->isChecked() && !logStopped_ && loggedEnd_ < history_.endSerial())
        historyBatch_.start(int(ChatHistory::ContinueWithinMs) + ChatHistoryModel::BatchMs);
}

QString MainDialog::logFilePath() const
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const Ipv4 host = endpoint_->session().joinedHost().value_or(0);
    return folder + QStringLiteral("/lumo/history/") + QString::fromStdString(logFileName(host));
}

void MainDialog::writeSettledTexts(bool all)
{
    // A file that grew this big is someone's flood, not a conversation worth the disk.
    constexpr qint64 MaxLogBytes = 64 * 1024 * 1024;
    if (!logAction_->isChecked() || logStopped_) return;
    std::uint64_t serial = std::max(loggedEnd_, history_.firstSerial());
    const std::int64_t now = clock_.elapsed();
    QByteArray lines;
    const std::int64_t offsetMs = std::int64_t(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
    for (; serial < history_.endSerial(); ++serial) {
        if (!all && !history_.settled(serial, now)) break;
        const ChatMessage& message = *history_.at(serial);
        lines += QByteArray::fromStdString(
            formatLogLine(message, ChatHistoryModel::speaker(message).toStdString(), offsetMs));
    }
    loggedEnd_ = serial;
    if (lines.isEmpty()) return;
    const QString path = logFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Text)) {
        logStopped_ = true;
        statusLabel_->setText(tr("无法写入聊天记录文件 %1：%2").arg(path, file.errorString()));
        return;
    }
    if (file.size() + lines.size() > MaxLogBytes) {
        logStopped_ = true;
        statusLabel_->setText(tr("聊天记录文件 %1 已超过 64 MB，不再写入。").arg(path));
        return;
    }
    if (file.write(lines) != lines.size()) {
        logStopped_ = true;
        statusLabel_->setText(tr("无法写入聊天记录文件 %1：%2").arg(path, file.errorString()));
    }
}

void MainDialog::showUnread()
{
    historyButton_->setText(unread_ > 0 ? tr("聊天记录（%1 条未读）").arg(unread_) : tr("聊天记录"));
    if (tray_) tray_->setToolTip(unread_ > 0 ? tr("LUMO：%1 条未读消息").arg(unread_) : text::AppName);
}

void MainDialog::openHistory()
{
    unread_ = 0;
    historyWindow_->open();
    showUnread();
}

bool MainDialog::lumoActive() const { return QApplication::activeWindow() != nullptr; }

void MainDialog::bringUp()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainDialog::closeForGood()
{
    closingForGood_ = true;
    if (isVisible()) {
        close();
        return;
    }
    // Hidden in the tray: no close event would end the dialog.
    closeMainWindow();
    done(QDialog::Rejected);
}

void MainDialog::showPartner(const SessionEvent& event)
{
    const MemberSession& session = endpoint_->session();
    if (!session.groupMode())
        partnerLabel_->clear();
    else if (session.partner() >= 0)
        partnerLabel_->setText(memberNameText(session.partner()));
    else if (!event.text.empty())
        partnerLabel_->setText(fromGbk(event.text) + text::PartnerLeft);  // the partner left the group
    else
        partnerLabel_->clear();
}

void MainDialog::showConnectState()
{
    const MemberSession& session = endpoint_->session();
    connectButton_->setEnabled(!session.connecting());
    connectButton_->setText(session.joined() ? text::Update : text::Connect);
}

void MainDialog::showVoiceButton()
{
    voiceButton_->setText(endpoint_->session().voiceButtonStops() ? text::StopVoice : text::Voice);
}

void MainDialog::showOwnAddress()
{
    ownAddressLabel_->setText(QString::fromStdString(dottedAddress(endpoint_->ownAddress())));
}

// ---------------------------------------------------------------------------------------------
// The player's actions

std::optional<std::string> MainDialog::readName()
{
    std::string name = toGbk(memberNameEdit_->text());
    if (name.size() <= NameSize) return name;
    MessageBoxes::current().inform(this, text::AppName, text::NameTooLong);
    memberNameEdit_->setFocus();
    return std::nullopt;
}

void MainDialog::connectToHost()
{
    const std::optional<std::string> name = readName();
    if (!name) return;
    switch (endpoint_->connectTo(*name, parseDottedAddress(hostAddressEdit_->text().toStdString()))) {
    case MemberSession::ConnectProblem::None: break;
    case MemberSession::ConnectProblem::NameTooLong:
    case MemberSession::ConnectProblem::NoName:
        MessageBoxes::current().inform(this, text::AppName, text::NoName);
        memberNameEdit_->setFocus();
        break;
    case MemberSession::ConnectProblem::BadAddress:
        MessageBoxes::current().inform(this, text::AppName, text::BadAddress);
        hostAddressEdit_->setFocus();
        break;
    }
}

void MainDialog::sendChatText()
{
    if (!readName()) return;
    const QString text = messageEdit_->text();
    endpoint_->sendText(toGbk(text));
    const int partner = endpoint_->session().partner();
    if (partner < 0) return;
    messageEdit_->clear();
    historyChanged(history_.addSent(memberNameText(partner).toStdString(), text.toStdString(),
                                    QDateTime::currentMSecsSinceEpoch()));
}

void MainDialog::onListRightClick(const QPoint& screenPosition)
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    if (!endpoint_->session().groupMode()) {
        // Outside group mode the answer prompt has no place; the volume still has.
        if (!selected.isEmpty()) showVolumeMenu(memberList_->memberIdOf(selected.first()), screenPosition);
        return;
    }
    if (selected.isEmpty()) {
        callPrompt_->hide();
        return;
    }
    const int row = memberList_->indexOfTopLevelItem(selected.first());
    callPrompt_->promptFor(std::uint16_t(memberList_->memberIdOf(selected.first())), std::uint16_t(row), screenPosition);
}

void MainDialog::setMemberName(const QString& name) { memberNameEdit_->setText(name); }
void MainDialog::setRemoteAddress(const QString& address) { hostAddressEdit_->setText(address); }
void MainDialog::setGainBoost(bool on) { gainCheck_->setChecked(on); }
void MainDialog::setSiteUrl(const QString& url) { siteLink_->SetURL(url); }
QString MainDialog::siteBaseUrl() const { return groupBrowser_->baseUrl(); }
bool MainDialog::windowExists(const QString& title) const { return Mailbox::exists(title); }

void MainDialog::closeOverlay()
{
    endpoint_->pipeServer().forgetOverlayWindow();
    endpoint_->pipeServer().closeOverlay();
}

QString MainDialog::bindProblem() const
{
    const std::optional<BindProblem> problem = endpoint_->bindProblem();
    return problem ? text::describe(*problem) : QString();
}

// ---------------------------------------------------------------------------------------------
// Showing and closing the window

void MainDialog::closeMainWindow()
{
    if (closed_) return;
    closed_ = true;
    boxes_->clear();
    writeSettledTexts(true);
    closeOverlay();
    shell_->closing();
    // Text written just before closing still goes; the leave goes to the host this client
    // joined, whatever the address field holds now.
    endpoint_->leave();
    groupBrowser_->removeRegistration();
    groupBrowser_->hide();
}

void MainDialog::closeEvent(QCloseEvent* event)
{
    if (!closingForGood_ && closeToTrayAction_->isChecked() && tray_ && tray_->isVisible()) {
        // The program keeps running in the tray; the main window's finish still ends it.
        QApplication::setQuitOnLastWindowClosed(false);
        hide();
        event->ignore();
        return;
    }
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
    if (browserPlace_) {
        groupBrowser_->move(*browserPlace_);
        return;
    }
    const QRect screen = this->screen() ? this->screen()->availableGeometry() : QRect();
    groupBrowser_->move(besideWindow(frameGeometry(), groupBrowser_->frameGeometry().size(), screen));
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
