// The group's chat as the main window holds it: the inbox of texts with their boxes, the history
// window (Ctrl+H, or the button beside the status line), the log file and the tray with its
// notifications, made and wired to one another. The window puts the "消息(&M)" menu on its menu
// bar and binds its status line to what this reports.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class QAction;
class QMenuBar;
class QPushButton;
class QWidget;

namespace lumo {

class ChatHistoryWindow;
class ChatInbox;
class ChatLogWriter;
class TrayNotifications;

class ChatRoom : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool()> overlayConnected;     // the overlay shows texts: no boxes
        std::function<std::uint32_t()> joinedHost;  // the group whose log file the texts go to
    };

    // `window` parents the history window and the boxes, and takes the Ctrl+H shortcut;
    // `historyButton` opens the history and says how many texts wait unread.
    ChatRoom(QWidget& window, QPushButton& historyButton, Hooks hooks);

    ChatInbox& inbox() const { return *inbox_; }
    ChatHistoryWindow& historyWindow() const { return *historyWindow_; }
    ChatLogWriter& log() const { return *log_; }
    TrayNotifications& tray() const { return *tray_; }

    // "消息(&M)" at the end of `bar`: the history, the log file, closing to the tray.
    void addMenu(QMenuBar& bar);
    // Every text is read, and the history window shows them.
    void openHistory();

signals:
    void statusText(const QString& text);

private:
    void openBox(const QString& text);

    QWidget& window_;
    ChatInbox* inbox_ = nullptr;
    ChatHistoryWindow* historyWindow_ = nullptr;
    ChatLogWriter* log_ = nullptr;
    TrayNotifications* tray_ = nullptr;
    QAction* historyAction_ = nullptr;
    QAction* logAction_ = nullptr;
};

}  // namespace lumo
