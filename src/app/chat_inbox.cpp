#include "app/chat_inbox.h"

#include "app/texts.h"
#include "core/text/gbk.h"

#include <QDateTime>

#include <algorithm>

namespace lumo {

std::string chatSenderKey(const Roster& roster, int senderId)
{
    std::string key = std::to_string(senderId);
    if (roster.holds(senderId)) {
        const MemberEntry& entry = roster.records[std::size_t(senderId)];
        key += '@' + dottedAddress(entry.publicAddress) + ':' + std::to_string(entry.publicPort);
    }
    return key;
}

ChatInbox::ChatInbox(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks))
{
    clock_.start();
    if (!hooks_.overlayConnected) hooks_.overlayConnected = [] { return false; };
    if (!hooks_.historyShown) hooks_.historyShown = [] { return false; };
    if (!hooks_.monotonicMs) hooks_.monotonicMs = [this] { return std::int64_t(clock_.elapsed()); };
    if (!hooks_.wallMs) hooks_.wallMs = [] { return std::int64_t(QDateTime::currentMSecsSinceEpoch()); };
    waitTimer_.setSingleShot(true);
    connect(&waitTimer_, &QTimer::timeout, this, &ChatInbox::advance);
    refresh_.setSingleShot(true);
    refresh_.setInterval(RefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &ChatInbox::refreshUnread);
}

void ChatInbox::received(const std::string& senderKey, const QString& senderName, const std::string& gbkPart)
{
    const std::int64_t now = hooks_.monotonicMs();
    const ChatHistory::Added part =
        history_.addReceived(senderKey, senderName.toStdString(), gbkPart, now, hooks_.wallMs());
    added(part);
    const QString partText = QString::fromStdString(gbkToUtf8(gbkPart));

    if (part.continued) {
        if (waiting_ && waiting_->serial == part.serial) {
            // The rest of a long text joins its first part while that part's box waits.
            waiting_->text += partText;
            waiting_->lastPartMs = now;
            if (part.mayContinue) waitForRest();
            else openWaitingBox();
        } else {
            // Its first part went to the status line: the rest follows it there, whole, rather
            // than opening a box that holds only the end of the text.
            showOnStatusLine(senderName, part.serial);
        }
        return;
    }
    openWaitingBox();  // a new text ends the one before: its box need wait no longer
    const bool boxed = !hooks_.overlayConnected() && boxes_ < MaxChatBoxes;
    if (!boxed && !hooks_.historyShown()) ++unread_;
    emit textBegun(senderName, partText);
    if (!boxed) {
        showOnStatusLine(senderName, part.serial);
        emit unreadChanged(unread_);
        return;
    }
    ++boxes_;  // counted from now until the box is closed
    waiting_ = WaitingBox{part.serial, senderName + text::Says + partText, now};
    if (part.mayContinue) waitForRest();
    else openWaitingBox();
}

void ChatInbox::sent(const QString& recipientName, const QString& text)
{
    added(history_.addSent(recipientName.toStdString(), text.toStdString(), hooks_.wallMs()));
}

void ChatInbox::added(const ChatHistory::Added& added)
{
    emit historyChanged(added);
    if (!refresh_.isActive()) refresh_.start();
}

void ChatInbox::boxClosed()
{
    if (boxes_ > 0) --boxes_;
}

void ChatInbox::historyOpened()
{
    unread_ = 0;
    emit unreadChanged(unread_);
}

void ChatInbox::refreshUnread()
{
    if (hooks_.historyShown()) unread_ = 0;
    emit unreadChanged(unread_);
}

QString ChatInbox::historyButtonText(int unread)
{
    return unread > 0 ? tr("聊天记录（%1 条未读）").arg(unread) : tr("聊天记录");
}

std::optional<std::int64_t> ChatInbox::nextDeadline() const
{
    if (!waiting_) return std::nullopt;
    // The history still joins a part that comes exactly ContinueWithinMs after the last one.
    return waiting_->lastPartMs + ChatHistory::ContinueWithinMs + 1;
}

void ChatInbox::advance()
{
    if (!waiting_) return;
    if (history_.settled(waiting_->serial, hooks_.monotonicMs())) openWaitingBox();
    else waitForRest();
}

void ChatInbox::waitForRest()
{
    const std::int64_t wait = std::max<std::int64_t>(0, *nextDeadline() - hooks_.monotonicMs());
    waitTimer_.start(int(std::min<std::int64_t>(wait, ChatHistory::ContinueWithinMs + 1)));
}

void ChatInbox::openWaitingBox()
{
    waitTimer_.stop();
    if (!waiting_) return;
    const QString text = std::move(waiting_->text);
    waiting_.reset();
    emit boxDue(text);
}

void ChatInbox::showOnStatusLine(const QString& senderName, std::uint64_t serial)
{
    // The whole text so far, also when this part continues it.
    const ChatMessage* message = history_.at(serial);
    emit statusText(senderName + text::Says + (message ? QString::fromStdString(message->text) : QString()));
}

}  // namespace lumo
