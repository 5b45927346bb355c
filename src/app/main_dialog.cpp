#include "app/main_dialog.h"

#include "app/call_prompt_dialog.h"
#include "app/chat_inbox.h"
#include "app/chat_log_writer.h"
#include "app/chat_room.h"
#include "app/group_status_presenter.h"
#include "app/leave_question.h"
#include "app/member_keys.h"
#include "app/member_list.h"
#include "app/overlay_bridge.h"
#include "app/reconnect_presenter.h"
#include "app/sound_controller.h"
#include "app/sound_dialog.h"
#include "app/status_line.h"
#include "app/talking_presenter.h"
#include "app/voice_io.h"
#include "app/voice_switches.h"
#include "app/texts.h"
#include "app/tray_notifications.h"

#include "core/text/gbk.h"
#include "directory/group_browser_dialog.h"
#include "link/mailbox.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"
#include "ui/hyperlink_label.h"
#include "ui/message_box.h"
#include "ui/window_placement.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <set>
#include <utility>

namespace lumo {

MainDialog::MainDialog(const MainDialogOptions& options, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(text::AppName);
    setWindowIcon(appIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    buildControls();
    boxes_ = new BoxQueue(this);
    statusLine_ = new StatusLine(this);
    connect(statusLine_, &StatusLine::textChanged, statusLabel_, &QLabel::setText);

    parts_ = std::make_unique<GroupParts>(options);
    connect(&overlay().pipeServer(), &PipeServer::creationFailed, this,
            [this] { informLater(this, QString::fromLatin1(link::MainTitle), text::PipeCreateFailed); });
    connect(&sound(), &SoundController::pushToTalkProblem, statusLine_, &StatusLine::show);
    // A problem found while the controller started is said now.
    if (const QString note = sound().pushToTalkProblemNote(); !note.isEmpty()) statusLine_->show(note);
    // Window creation: skin calls, the menu bar with its plug-ins and skins.
    shell_ = std::make_unique<MainWindowShell>(*this, static_cast<ShellOwner&>(*this), options.skinActive);
    shell_->createWindowParts();
    if (QMenuBar* bar = shell_->menuBar(); bar && !bar->actions().isEmpty() && bar->actions().first()->menu()) {
        QMenu* file = bar->actions().first()->menu();
        auto* sound = new QAction(tr("声音设置..."), file);
        sound->setObjectName(QStringLiteral("soundSettings"));
        file->insertAction(file->actions().value(0), sound);
        voiceSwitches_ = new VoiceSwitches(voice(), this);
        file->insertActions(file->actions().value(1), {voiceSwitches_->muteAction(), voiceSwitches_->deafenAction()});
        connect(sound, &QAction::triggered, this, [this] {
            SoundDialog* dialog = openSoundDialog();
            dialog->show();
            dialog->raise();
            dialog->activateWindow();  // keys go to it: the push-to-talk key is picked by pressing it
        });
    }
    if (!voiceSwitches_) voiceSwitches_ = new VoiceSwitches(voice(), this);
    bindVoiceSwitches();
    showOwnAddress();

    // The group browser opens beside the main window. It is shown, and asks the directory, with
    // the main window (showEvent): a program that cannot bind its ports ends before either appears.
    groupBrowser_ = std::make_unique<GroupBrowserDialog>(static_cast<GroupBrowserOwner&>(*this), &parts_->directoryHttp());
    siteLink_->SetURL(groupBrowser_->baseUrl());

    callPrompt_ = std::make_unique<CallPromptDialog>();
    callPrompt_->setAnswerHandler(
        [this](std::uint16_t memberId, std::uint16_t, VoiceAnswer answer) { endpoint().answerFromPrompt(memberId, answer); });
    callPrompt_->setVolumeHandler(
        [this](std::uint16_t memberId, const QPoint& at) { showVolumeMenu(sound(), memberId, at, this); });
    callPrompt_->setKeyHandler([this](std::uint16_t memberId) { parts_->keys().showKeyOf(memberId); });
    connectControls();
    buildChatRoom();
    bindGroupStatus();
    bindReconnect();  // after the group status: its line about the host stands over the other's
    bindTalking();
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
    if (!soundDialog_) soundDialog_ = new SoundDialog(sound(), this);
    return soundDialog_;
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

    muteButton_ = button(text::MuteMicrophone, "muteButton", 233, 26, 26, 11);
    deafenButton_ = button(text::DeafenSpeakers, "deafenButton", 260, 26, 26, 11);
    for (QPushButton* b : {muteButton_, deafenButton_}) b->setCheckable(true);
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
    connect(sendButton_, &QPushButton::clicked, this,
            [this] { groupStatus_->sendText(memberNameEdit_->text(), messageEdit_->text()); });
    connect(serverButton_, &QPushButton::clicked, this, [this] { groupBrowser_->showAgain(); });
    connect(voiceButton_, &QPushButton::clicked, this, [this] { endpoint().voiceButton(); });
    connect(gainCheck_, &QCheckBox::toggled, this, [this](bool on) {
        endpoint().setGainBoost(on);
        emit gainBoostChanged(on);
    });
    connect(memberNameEdit_, &QLineEdit::textChanged, this, &MainDialog::memberNameChanged);
    connect(hostAddressEdit_, &QLineEdit::textChanged, this, &MainDialog::remoteAddressChanged);
    connect(groupModeCheck_, &QCheckBox::clicked, this, [this](bool on) { endpoint().setGroupMode(on); });
    connect(memberList_, &QTreeWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { onListRightClick(memberList_->viewport()->mapToGlobal(at)); });
    connect(memberList_, &QTreeWidget::itemClicked, this, &MainDialog::choosePartnerFromList);
    memberList_->installEventFilter(this);  // the arrow keys choose the partner as a click does
    connect(memberList_, &QTreeWidget::itemDoubleClicked, this, [this] { endpoint().openPaths(); });
    connect(memberList_, &MemberList::memberTicked, this, [this](int id, bool on) { endpoint().tick(id, on); });
}

// ---------------------------------------------------------------------------------------------
// Showing the group and the chat

void MainDialog::bindGroupStatus()
{
    groupStatus_ = new GroupStatusPresenter(
        endpoint().session(),
        {[this](int id) { return overlay().askInOverlay(id); }, [this](int id, bool yes) { endpoint().answerQuestion(id, yes); },
         [this](const std::string& name, std::optional<Ipv4> host) { return endpoint().connectTo(name, host); },
         [this](const std::string& gbkText) { endpoint().sendText(gbkText); }, [this] { return reconnect_->retrying(); }},
        this);
    connect(&endpoint(), &GroupEndpoint::sessionEvent, groupStatus_, &GroupStatusPresenter::showEvent);
    connect(&endpoint(), &GroupEndpoint::memberLeftHost, statusLine_, [this](const std::string& gbkName) {
        const QString name = QString::fromStdString(gbkToUtf8(gbkName));
        statusLine_->memberLeft(name, name + text::Left);
    });
    connect(groupStatus_, &GroupStatusPresenter::rosterChanged, memberList_, &MemberList::showRoster);
    connect(groupStatus_, &GroupStatusPresenter::memberChanged, memberList_, &MemberList::showMember);
    connect(groupStatus_, &GroupStatusPresenter::chatArrived, &chatInbox(), &ChatInbox::received);
    connect(groupStatus_, &GroupStatusPresenter::statusText, statusLine_, &StatusLine::show);
    connect(groupStatus_, &GroupStatusPresenter::rosterChanged, statusLine_,
            [this](const MemberSession& session) { statusLine_->membersPresent(StatusLine::namesOf(session.roster())); });
    connect(groupStatus_, &GroupStatusPresenter::connectEnabled, connectButton_, &QPushButton::setEnabled);
    connect(groupStatus_, &GroupStatusPresenter::connectText, connectButton_, &QPushButton::setText);
    connect(groupStatus_, &GroupStatusPresenter::voiceButtonText, voiceButton_, &QPushButton::setText);
    connect(groupStatus_, &GroupStatusPresenter::partnerText, partnerLabel_, &QLabel::setText);
    connect(groupStatus_, &GroupStatusPresenter::notification, &tray(), &TrayNotifications::notifyUnlessActive);
    connect(groupStatus_, &GroupStatusPresenter::informLater, this,
            [this](const QString& caption, const QString& text) { lumo::informLater(this, caption, text); });
    connect(groupStatus_, &GroupStatusPresenter::inform, boxes_, &BoxQueue::inform);
    connect(groupStatus_, &GroupStatusPresenter::ask, boxes_, &BoxQueue::ask);
    // Members' keys: the lock in the list, a changed key on the status line and in a box.
    memberList_->setKeyStates([this](int id) { return endpoint().keyState(id); });
    connect(&parts_->keys(), &MemberKeys::statusText, statusLine_, &StatusLine::show);
    connect(&parts_->keys(), &MemberKeys::inform, boxes_, &BoxQueue::inform);
    connect(&parts_->keys(), &MemberKeys::ask, boxes_, &BoxQueue::ask);
    connect(groupStatus_, &GroupStatusPresenter::refused, this, [this](const QString& text, GroupStatusPresenter::Field field) {
        MessageBoxes::current().inform(this, text::AppName, text);
        (field == GroupStatusPresenter::Field::Name ? memberNameEdit_ : hostAddressEdit_)->setFocus();
    });
    connect(groupStatus_, &GroupStatusPresenter::textSent, this, [this](const QString& recipient, const QString& text) {
        messageEdit_->clear();
        chatInbox().sent(recipient, text);
    });
}

void MainDialog::bindVoiceSwitches()
{
    for (auto [button, action] : {std::pair{muteButton_, voiceSwitches_->muteAction()}, std::pair{deafenButton_, voiceSwitches_->deafenAction()}}) {
        connect(button, &QPushButton::toggled, action, &QAction::setChecked);
        connect(action, &QAction::toggled, button, &QPushButton::setChecked);
    }
    connect(voiceSwitches_, &VoiceSwitches::statusText, statusLine_, &StatusLine::show);
}

void MainDialog::bindTalking()
{
    talking_ = TalkingPresenter::forEndpoint(endpoint(), voice(), this);
    connect(talking_, &TalkingPresenter::talkingChanged, memberList_,
            [this](int id, bool on) { memberList_->showTalking(id, on ? 100 : -1); });
    connect(talking_, &TalkingPresenter::ownLevel, memberList_, &MemberList::showTalking);
}

void MainDialog::buildChatRoom()
{
    chatRoom_ = new ChatRoom(*this, *historyButton_,
                             {[this] { return overlay().pipeOpen(); },
                              [this] { return endpoint().session().joinedHost().value_or(0); }});
    connect(chatRoom_, &ChatRoom::statusText, statusLine_, &StatusLine::show);
    connect(&tray(), &TrayNotifications::bringUpRequested, this, &MainDialog::bringUp);
    connect(&tray(), &TrayNotifications::quitRequested, this, &MainDialog::closeForGood);
    if (QMenuBar* bar = shell_->menuBar()) chatRoom_->addMenu(*bar);
}

ChatInbox& MainDialog::chatInbox() const { return chatRoom_->inbox(); }
ChatHistoryWindow& MainDialog::historyWindow() const { return chatRoom_->historyWindow(); }
ChatLogWriter& MainDialog::chatLog() const { return chatRoom_->log(); }
TrayNotifications& MainDialog::tray() const { return chatRoom_->tray(); }
void MainDialog::openHistory() { chatRoom_->openHistory(); }

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

void MainDialog::showOwnAddress() { ownAddressLabel_->setText(QString::fromStdString(dottedAddress(endpoint().ownAddress()))); }

// ---------------------------------------------------------------------------------------------
// The player's actions

void MainDialog::connectToHost()
{
    reconnect_->playerTookOver();
    groupStatus_->connectToHost(memberNameEdit_->text(), hostAddressEdit_->text());
}

void MainDialog::bindReconnect()
{
    reconnect_ = ReconnectPresenter::forEndpoint(endpoint(), this);
    connect(reconnect_, &ReconnectPresenter::hostCondition, statusLine_, &StatusLine::setHostCondition);
    connect(reconnect_, &ReconnectPresenter::networkChanged, this, &MainDialog::showOwnAddress);
}

void MainDialog::choosePartnerFromList()
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    endpoint().select(selected.isEmpty() ? -1 : memberList_->memberIdOf(selected.first()));
    groupStatus_->showVoiceButton();
    callPrompt_->hide();
}

void MainDialog::onListRightClick(const QPoint& screenPosition)
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    if (!endpoint().session().groupMode()) {
        // Outside group mode the answer prompt has no place; the volume still has.
        if (!selected.isEmpty()) showVolumeMenu(sound(), memberList_->memberIdOf(selected.first()), screenPosition, this);
        return;
    }
    if (selected.isEmpty()) {
        callPrompt_->hide();
        return;
    }
    const int row = memberList_->indexOfTopLevelItem(selected.first());
    callPrompt_->promptFor(std::uint16_t(memberList_->memberIdOf(selected.first())), std::uint16_t(row), screenPosition);
}

void MainDialog::setMemberName(const QString& name)
{
    memberNameEdit_->setText(name);
    groupBrowser_->offerNickname(name);
}
void MainDialog::setRemoteAddress(const QString& address) { hostAddressEdit_->setText(address); }
void MainDialog::setGainBoost(bool on) { gainCheck_->setChecked(on); }
void MainDialog::setSiteUrl(const QString& url) { siteLink_->SetURL(url); }
QString MainDialog::siteBaseUrl() const { return groupBrowser_->baseUrl(); }
QString MainDialog::ownFingerprint() const { return parts_->keys().ownFingerprint(); }
bool MainDialog::windowExists(const QString& title) const { return Mailbox::exists(title); }

void MainDialog::closeOverlay() { overlay().closeOverlay(); }
bool MainDialog::overlayPipeOpen() const { return overlay().pipeOpen(); }
void MainDialog::closeOverlayPipe() { overlay().pipeServer().closeOverlayPipe(); }

QString MainDialog::bindProblem() const { return endpoint().bindProblem() ? text::describe(*endpoint().bindProblem()) : QString(); }

// ---------------------------------------------------------------------------------------------
// Showing and closing the window

void MainDialog::closeMainWindow()
{
    if (closed_) return;
    closed_ = true;
    boxes_->clear();
    chatLog().writeAll();
    closeOverlay();
    shell_->closing();
    // Text written just before closing still goes; the leave goes to the host this client
    // joined, whatever the address field holds now.
    endpoint().leave();
    groupBrowser_->removeRegistration();
    groupBrowser_->hide();
}

bool MainDialog::confirmLeaving()
{
    if (closed_ || closingForGood_) return true;
    const GroupPresence presence{groupBrowser_->hostsGroup(), endpoint().hostRoster().count, endpoint().session().joined(),
                                 endpoint().session().roster().count};
    const QString question = leaveQuestion(presence);
    return question.isEmpty() || MessageBoxes::current().ask(this, text::AppName, question);
}

void MainDialog::closeEvent(QCloseEvent* event)
{
    if (!closingForGood_ && !tray().keepsRunningOnClose() && !confirmLeaving()) {
        event->ignore();
        return;
    }
    if (!closingForGood_ && tray().keepsRunningOnClose()) {
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
    if (!confirmLeaving()) return;
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
    if (watched == memberList_ && event->type() == QEvent::KeyRelease) {
        static const std::set<int> moves{Qt::Key_Up, Qt::Key_Down, Qt::Key_Home, Qt::Key_End, Qt::Key_PageUp, Qt::Key_PageDown};
        if (moves.count(static_cast<QKeyEvent*>(event)->key())) choosePartnerFromList();
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
