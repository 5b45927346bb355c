#include "overlay/overlay_dialog.h"

#include "core/text/gbk.h"
#include "core/settings/remembered_values.h"
#include "core/link/link_records.h"
#include "overlay/overlay_chat_page.h"
#include "overlay/overlay_pipe_client.h"
#include "overlay/overlay_tab_control.h"
#include "ui/dialog_units.h"
#include "link/mailbox.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QCloseEvent>
#include <QScreen>
#include <QSettings>
#include <QWindow>

namespace lumo {

namespace {

const QString OverlayPlaceKey = QString::fromLatin1(remembered_key::OverlayWindow.data(), qsizetype(remembered_key::OverlayWindow.size()));

// The overlay's place from last time, when it is sound and lies on one of the present screens.
std::optional<QPoint> rememberedPlace(QSettings& settings, QSize size)
{
    if (!settings.contains(OverlayPlaceKey)) return std::nullopt;
    const QVariant value = settings.value(OverlayPlaceKey);
    StoredSettings stored;
    stored[std::string(remembered_key::OverlayWindow)] =
        value.typeId() == QMetaType::QString ? StoredValue{StoredValue::Kind::Text, value.toString().toStdString()}
                                             : StoredValue{StoredValue::Kind::NotText, {}};
    const std::optional<Place> place = checkStoredSettings(stored).values.overlayWindow;
    if (!place) return std::nullopt;
    std::vector<Area> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        screens.push_back({area.x(), area.y(), area.width(), area.height()});
    }
    if (!placeReachable(*place, size.width(), size.height(), screens)) return std::nullopt;
    return QPoint(place->x, place->y);
}

}  // namespace

const QString OverlayDialog::Title = QStringLiteral("gamein");
const QString OverlayDialog::BoxCaption = QStringLiteral("hudlet");

OverlayDialog::OverlayDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      pipe_(new OverlayPipeClient),
      inbox_(new Mailbox(Title, this)),
      toMain_(new MailboxPoster(QString::fromLatin1(link::MainTitle), this)),
      boxes_(new BoxQueue(this))
{
    boxes_->setIdleHandler([this] {
        if (closePending_) deleteLater();
    });
    setWindowTitle(Title);
    setObjectName(QStringLiteral("gamein"));
    const QFont font = dialogFont(8);
    setFont(font);
    const DialogUnits du(font);
    setFixedSize(du.size(180, 170));

    tabControl_ = new OverlayTabControl(this);
    tabControl_->setGeometry(0, 0, width(), height());
    chatPage_ = new OverlayChatPage;
    otherPage_ = new OverlayOtherPage;
    tabControl_->registerPage(chatPage_, ChatTabText, 3002);
    tabControl_->registerPage(otherPage_, OtherTabText, 3003);
    tabControl_->createPages();
    chatPage_->setPoster([this](int code, int value) { postToMain(code, value); });

    // Where the player left it last time (the program's settings: the process's organization and
    // application name); otherwise centred on the screen, as a dialog without owner is.
    if (!QCoreApplication::organizationName().isEmpty()) settings_ = std::make_unique<QSettings>();
    if (const auto place = settings_ ? rememberedPlace(*settings_, size()) : std::nullopt) {
        move(*place);
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }

    // The window can now be found by its title.
    inbox_->open();
    connect(inbox_, &Mailbox::received, this, &OverlayDialog::onLinkMessage);
    postToMain(link::to_main::OverlayOpened, 0);
}

OverlayDialog::~OverlayDialog()
{
    pipe_->close();
    delete pipe_;
    inbox_->close();
    postToMain(link::to_main::OverlayClosed, 0);
}

bool OverlayDialog::pipeConnected() const { return pipe_->isOpen(); }

bool OverlayDialog::mailboxOpen() const { return inbox_->isOpen(); }

bool OverlayDialog::asking() const { return boxes_->busy(); }

void OverlayDialog::postToMain(int code, int value) { toMain_->post(code, value); }

void OverlayDialog::reject() {}

void OverlayDialog::closeEvent(QCloseEvent* event)
{
    // There is no close box; a window manager's close only hides it, in step with the Home key.
    event->ignore();
}

void OverlayDialog::moveEvent(QMoveEvent* event)
{
    QDialog::moveEvent(event);
    if (settings_ && isVisible())
        settings_->setValue(OverlayPlaceKey, QString::fromStdString(placeText({pos().x(), pos().y()})));
}

bool OverlayDialog::event(QEvent* event)
{
    if (event->type() == QEvent::WindowBlocked) followModalWindow();
    return QDialog::event(event);
}

void OverlayDialog::followModalWindow()
{
    // The overlay stands for another program (the game), so a window of the main program that
    // blocks the whole application must not block it: it becomes a transient of that window,
    // which Qt does not block. Boxes of the main program's windows block only their own window
    // and never get here. The overlay's own boxes are its transients: following one of them
    // would make a cycle of transient windows, which Qt's focus handling walks for ever.
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == this) return;
    QWindow* own = windowHandle();
    QWindow* other = modal->windowHandle();
    if (!own || !other || own->transientParent() == other) return;
    for (QWindow* up = other; up; up = up->parent() ? up->parent() : up->transientParent())
        if (up == own) return;
    for (const QWidget* up = modal; up; up = up->parentWidget())
        if (up == this) return;
    own->setTransientParent(other);
}

void OverlayDialog::showOverlay()
{
    show();
    followModalWindow();
    raise();
}

void OverlayDialog::closeOverlay()
{
    if (boxes_->busy()) {
        closePending_ = true;
        boxes_->clear();
        hide();
        return;
    }
    deleteLater();
}

void OverlayDialog::onLinkMessage(int code, int value)
{
    namespace code_ = link::to_overlay;
    switch (code) {
    case code_::PipeReady:
        openPipe(value);
        break;
    case code_::OverlayClose:
        closeOverlay();
        break;
    case code_::RosterSent:
        chatPage_->readRoster(*pipe_, value);
        break;
    case code_::SelectionSent:
        chatPage_->readSelection(*pipe_, value);
        break;
    case code_::MemberStatesSent:
        chatPage_->readMemberStates(*pipe_, value);
        break;
    case code_::CallRequest:
        askAboutCall(value);
        break;
    default:
        break;
    }
}

void OverlayDialog::openPipe(int number)
{
    const OverlayPipeClient::OpenResult result = pipe_->open(number);
    if (result.waitFailed) boxes_->inform(BoxCaption, WaitFailedText);
    if (!result.opened) {
        boxes_->inform(BoxCaption, OpenFailedText);
        return;
    }
    // The main program sends the roster only on a change or when asked; ask now, so that the
    // player does not look at an empty list until the group changes. First say that this overlay
    // reads members' states: they come with the roster.
    postToMain(link::to_main::WantMemberStates, link::to_main::MemberStatesVersion);
    postToMain(link::to_main::RefreshRoster, -1);
}

void OverlayDialog::askAboutCall(int index)
{
    // Only a member of the roster copy can be named and answered for by row.
    if (index < 0 || index >= chatPage_->roster().count) return;
    const MemberEntry member = chatPage_->roster().records[std::size_t(index)];
    const QString text = QString::fromStdString(gbkToUtf8(member.nameBytes())) + CallQuestionText;

    boxes_->ask(QString::fromLatin1(link::MainTitle), text, [this, member](bool accepted) {
        // The rows may have been rebuilt while the box was open: answer for the member asked
        // about, in the row it has now.
        const Roster& roster = chatPage_->roster();
        int row = -1;
        for (int i = 0; i < roster.count && row < 0; ++i)
            if (roster.records[std::size_t(i)].id == member.id &&
                roster.records[std::size_t(i)].nameBytes() == member.nameBytes())
                row = link::rowOfIndex(roster.count, i);
        if (row < 0) return;
        postToMain(accepted ? link::to_main::AcceptVoice : link::to_main::RefuseVoice, row);
        chatPage_->setAnswerText(row, accepted ? OverlayChatPage::ListenText : OverlayChatPage::DontListenText);
    });
}

}  // namespace lumo
