#include "shell/skin_library.h"

#include "core/shell/skin_list.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QStyle>
#include <QWidget>

namespace lumo {

namespace {

SkinLibrary* installedLibrary = nullptr;

// Style-sheet rules that select on a dynamic property are matched when a widget is polished:
// polish the window and everything in it again after the property changed.
void repolish(QWidget* window)
{
    window->style()->unpolish(window);
    window->style()->polish(window);
    for (QWidget* child : window->findChildren<QWidget*>()) {
        child->style()->unpolish(child);
        child->style()->polish(child);
    }
    window->update();
}

}  // namespace

QEvent::Type MenuCommandEvent::eventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

SkinLibrary& SkinLibrary::current()
{
    static StyleSheetSkins ours;
    return installedLibrary ? *installedLibrary : ours;
}

void SkinLibrary::install(SkinLibrary* library) { installedLibrary = library; }

bool StyleSheetSkins::start(QApplication* app, const QString& appName, int, int)
{
    if (!app) return false;
    app_ = app;
    appName_ = appName;
    return true;
}

bool StyleSheetSkins::loadSkin(const QString& path)
{
    if (!app_) return false;
    // Skin lists written for the other platform separate directories with backslashes.
    QString localPath = path;
    localPath.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QFileInfo info(localPath);
    if (!info.isFile() || info.size() > MaxSkinBytes) return false;
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = file.read(MaxSkinBytes + 1);
    if (bytes.size() > MaxSkinBytes) return false;  // grew while being read
    app_->setStyleSheet(QString::fromUtf8(bytes));
    currentSkin_ = localPath;
    if (mainWindow_) repolish(mainWindow_);
    return true;
}

int StyleSheetSkins::skinWindow(QWidget* window, const QString& windowClass)
{
    if (!window) return 0;
    window->setProperty(WindowClassProperty, windowClass);
    repolish(window);
    return 1;
}

int StyleSheetSkins::attachWindow(QWidget* window)
{
    mainWindow_ = window;
    return window ? 1 : 0;
}

int StyleSheetSkins::setWindowClass(const QString& windowClass)
{
    windowClass_ = windowClass;
    return 1;
}

int StyleSheetSkins::trackPopupMenu(QMenu* menu, int, QPoint at, QWidget* owner)
{
    if (!menu) return 0;
    QPointer<QWidget> target(owner);
    QAction* chosen = menu->exec(at);
    if (!chosen) return 0;
    bool isNumber = false;
    const int id = chosen->data().toInt(&isNumber);
    if (isNumber && target) QCoreApplication::postEvent(target, new MenuCommandEvent(id));
    return 1;
}

bool startSkins(QApplication* app, SkinLibrary& library)
{
    const bool started = library.start(app, QStringLiteral("lumo"), 0, 0);
    const bool skinLoaded = started && library.loadSkin(QString::fromUtf8(DefaultSkinPath));
    library.setWindowClass(QStringLiteral("Dialog"));
    return started && skinLoaded;
}

}  // namespace lumo
