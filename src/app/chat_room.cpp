#include "app/chat_room.h"

#include "app/chat_history_window.h"
#include "app/chat_inbox.h"
#include "app/chat_log_writer.h"
#include "app/texts.h"
#include "app/tray_notifications.h"

#include "ui/message_box.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

namespace lumo {

ChatRoom::ChatRoom(QWidget& window, QPushButton& historyButton, Hooks hooks) : QObject(&window), window_(window)
{
    ChatInbox::Hooks inboxHooks;
    inboxHooks.overlayConnected = std::move(hooks.overlayConnected);
    inboxHooks.historyShown = [this] { return historyWindow_->isVisible(); };
    inbox_ = new ChatInbox(inboxHooks, this);
    historyWindow_ = new ChatHistoryWindow(inbox_->history(), &window);
    log_ = new ChatLogWriter(inbox_->history(), [this] { return inbox_->monotonicMs(); }, std::move(hooks.joinedHost), this);
    historyAction_ = new QAction(text::HistoryAction, &window);
    historyAction_->setObjectName(QStringLiteral("historyAction"));
    historyAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    historyAction_->setShortcutContext(Qt::WindowShortcut);
    window.addAction(historyAction_);  // Ctrl+H works with or without the menu bar
    tray_ = new TrayNotifications(historyAction_, {}, this);
    logAction_ = new QAction(text::LogAction, &window);
    logAction_->setObjectName(QStringLiteral("logAction"));
    logAction_->setCheckable(true);

    connect(inbox_, &ChatInbox::historyChanged, &historyWindow_->model(), &ChatHistoryModel::historyChanged);
    connect(inbox_, &ChatInbox::historyChanged, log_, &ChatLogWriter::historyChanged);
    // A box runs an event loop of its own, which must not run inside the datagram's handler.
    connect(inbox_, &ChatInbox::boxDue, this, &ChatRoom::openBox, Qt::QueuedConnection);
    connect(inbox_, &ChatInbox::statusText, this, &ChatRoom::statusText);
    connect(log_, &ChatLogWriter::failed, this, &ChatRoom::statusText);
    connect(inbox_, &ChatInbox::textBegun, tray_,
            [this](const QString& name, const QString& part) { tray_->notifyUnlessActive(name + text::Says, part); });
    connect(inbox_, &ChatInbox::unreadChanged, &historyButton, [this, button = &historyButton](int unread) {
        button->setText(ChatInbox::historyButtonText(unread));
        tray_->showUnread(unread);
    });
    historyButton.setText(ChatInbox::historyButtonText(0));
    connect(&historyButton, &QPushButton::clicked, this, &ChatRoom::openHistory);
    connect(historyAction_, &QAction::triggered, this, &ChatRoom::openHistory);
    connect(logAction_, &QAction::toggled, log_, &ChatLogWriter::setLogging);
}

void ChatRoom::addMenu(QMenuBar& bar)
{
    QMenu* menu = bar.addMenu(text::MessagesMenu);
    menu->addActions({historyAction_, logAction_, tray_->closeToTrayAction()});
}

void ChatRoom::openBox(const QString& text)
{
    const QPointer<ChatRoom> guard(this);
    MessageBoxes::current().informThen(&window_, text::AppName, text, [guard] {
        if (guard) guard->inbox_->boxClosed();
    });
}

void ChatRoom::openHistory()
{
    inbox_->historyOpened();
    historyWindow_->open();
}

}  // namespace lumo
