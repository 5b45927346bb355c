// The program's presence on the desktop beside its windows: the tray icon with its menu and its
// unread tool tip, closing the window to the tray, and desktop notifications of texts and voice
// questions while LUMO is not the active program. Without a system tray (offscreen, some
// desktops) there is no icon, and closing to the tray cannot be chosen.
//
// No window of its own: the main window binds bringUpRequested and quitRequested, and asks
// keepsRunningOnClose() when it is closed.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace lumo {

class DesktopNotifier;

class TrayNotifications : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool()> lumoActive;  // default: one of the program's windows is active
    };

    // `historyAction` opens the chat history; the tray's menu offers it.
    explicit TrayNotifications(QAction* historyAction, Hooks hooks = {}, QObject* parent = nullptr);
    ~TrayNotifications() override;

    bool trayShown() const;
    // "关闭窗口时留在托盘(&T)": checkable, and enabled only where there is a tray.
    QAction* closeToTrayAction() const { return closeToTray_; }
    // Closing the window hides it and the program goes on in the tray.
    bool keepsRunningOnClose() const;

    void showUnread(int unread);
    QString toolTip() const { return toolTip_; }

    // A desktop notification, unless the player is looking at LUMO already.
    void notifyUnlessActive(const QString& summary, const QString& body);
    DesktopNotifier& notifier() const { return *notifier_; }

signals:
    // A notification or the tray icon was clicked, or "打开 LUMO" chosen.
    void bringUpRequested();
    // "退出" in the tray's menu: the program ends, whatever "close to the tray" says.
    void quitRequested();

private:
    Hooks hooks_;
    DesktopNotifier* notifier_ = nullptr;
    QAction* closeToTray_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<QMenu> trayMenu_;  // a pop-up of the tray icon, in no window
    QString toolTip_;
};

}  // namespace lumo
