#include "app/tray_notifications.h"

#include "app/desktop_notifier.h"
#include "app/texts.h"
#include "ui/app_icon.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace lumo {

TrayNotifications::TrayNotifications(QAction* historyAction, Hooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks))
{
    if (!hooks_.lumoActive) hooks_.lumoActive = [] { return QApplication::activeWindow() != nullptr; };
    notifier_ = new DesktopNotifier(this);
    connect(notifier_, &DesktopNotifier::activated, this, &TrayNotifications::bringUpRequested);

    closeToTray_ = new QAction(tr("关闭窗口时留在托盘(&T)"), this);
    closeToTray_->setObjectName(QStringLiteral("closeToTrayAction"));
    closeToTray_->setCheckable(true);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(appIcon(), this);
        trayMenu_ = std::make_unique<QMenu>();
        trayMenu_->addAction(tr("打开 LUMO"), this, &TrayNotifications::bringUpRequested);
        if (historyAction) trayMenu_->addAction(historyAction);
        trayMenu_->addSeparator();
        trayMenu_->addAction(tr("退出"), this, &TrayNotifications::quitRequested);
        tray_->setContextMenu(trayMenu_.get());
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit bringUpRequested();
        });
        tray_->show();
    }
    closeToTray_->setEnabled(tray_ != nullptr);
    showUnread(0);
}

TrayNotifications::~TrayNotifications()
{
    // The icon goes before the menu it points to.
    delete tray_;
    tray_ = nullptr;
}

bool TrayNotifications::trayShown() const { return tray_ && tray_->isVisible(); }

bool TrayNotifications::keepsRunningOnClose() const { return closeToTray_->isChecked() && trayShown(); }

void TrayNotifications::showUnread(int unread)
{
    toolTip_ = unread > 0 ? tr("LUMO：%1 条未读消息").arg(unread) : text::AppName;
    if (tray_) tray_->setToolTip(toolTip_);
}

void TrayNotifications::notifyUnlessActive(const QString& summary, const QString& body)
{
    if (!hooks_.lumoActive()) notifier_->notify(summary, body);
}

}  // namespace lumo
