// What becomes of the texts members send. Every part goes into the chat history. A text opens
// a box of its own, but the boxes waiting or open are bounded (any sender can send as fast as
// the network carries it): past MaxChatBoxes, or while the overlay shows the group's texts, a
// text goes to the status line instead and counts as unread until the player opens the
// history. A text whose last part was full length may still be continued: its box waits for
// the rest, at most the history's continuation window, so a long text opens one box however
// far apart its parts come.
//
// No widgets: the window opens the boxes this asks for (boxDue, then boxClosed) and shows the
// status line and the unread count it reports.
#pragma once

#include "core/group/chat_history.h"
#include "core/wire/wire.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace lumo {

// Tells senders apart by id and address: a new roster may give a name or an id to someone else.
std::string chatSenderKey(const Roster& roster, int senderId);

class ChatInbox : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxChatBoxes = 8;
    // How soon the unread count follows the history window being shown, as the history view does.
    static constexpr int RefreshMs = 100;

    struct Hooks {
        std::function<bool()> overlayConnected;     // the overlay shows texts: no boxes
        std::function<bool()> historyShown;         // texts that arrive in the open history are read
        std::function<std::int64_t()> monotonicMs;  // default: ms since the inbox was made
        std::function<std::int64_t()> wallMs;       // the texts' time stamps; default: the system clock
    };

    explicit ChatInbox(Hooks hooks = {}, QObject* parent = nullptr);

    const ChatHistory& history() const { return history_; }
    // The clock of the continuation window, for whoever else asks the history whether a text is settled.
    std::int64_t monotonicMs() const { return hooks_.monotonicMs(); }

    // A part of a text from a member, as GBK bytes from the wire.
    void received(const std::string& senderKey, const QString& senderName, const std::string& gbkPart);
    // A text the player sent.
    void sent(const QString& recipientName, const QString& text);
    // A box asked for by boxDue was closed: another may open.
    void boxClosed();
    // The player opened the history: every text is read.
    void historyOpened();

    int unread() const { return unread_; }
    int boxesOpen() const { return boxes_; }
    // "聊天记录", or with the number of unread texts.
    static QString historyButtonText(int unread);

    // When the waiting box opens unless the rest of its text comes first; none while no box
    // waits. advance() opens it once that time has passed (a timer calls it).
    std::optional<std::int64_t> nextDeadline() const;
    void advance();

signals:
    void historyChanged(const ChatHistory::Added& added);
    // Show `text` in a box once the current handler has returned, then call boxClosed().
    void boxDue(const QString& text);
    void statusText(const QString& text);
    void unreadChanged(int unread);
    // The first part of a new text arrived (for desktop notifications).
    void textBegun(const QString& senderName, const QString& part);

private:
    void added(const ChatHistory::Added& added);
    void openWaitingBox();
    void waitForRest();
    void showOnStatusLine(const QString& senderName, std::uint64_t serial);
    void refreshUnread();

    Hooks hooks_;
    QElapsedTimer clock_;
    ChatHistory history_;
    int boxes_ = 0;  // boxes due or open
    int unread_ = 0;
    // The box of the last text, while a part that continues it may still come.
    struct WaitingBox {
        std::uint64_t serial = 0;
        QString text;
        std::int64_t lastPartMs = 0;
    };
    std::optional<WaitingBox> waiting_;
    QTimer waitTimer_;
    QTimer refresh_;
};

}  // namespace lumo
