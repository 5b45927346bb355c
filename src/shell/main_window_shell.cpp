#include "shell/main_window_shell.h"

#include "core/text/gbk.h"
#include "shell/about_dialog.h"
#include "core/shell/menu_commands.h"
#include "ui/message_box.h"
#include "shell/online_update.h"
#include "shell/program_language.h"
#include "shell/skin_library.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>

namespace lumo {


namespace {

const QString Caption = QStringLiteral("LUMO");
const QString DialogClass = QStringLiteral("Dialog");

QString fromGbk(const std::string& gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }

// The menu's texts are marked in menu_commands.cpp with this context.
QString menuText(const MenuItemLayout& item) { return QCoreApplication::translate("MenuBar", item.text.c_str()); }

void addItems(QMenu* menu, const std::vector<MenuItemLayout>& items, const std::function<void(int)>& onCommand)
{
    for (const MenuItemLayout& item : items) {
        if (!item.children.empty()) {
            QMenu* popup = menu->addMenu(menuText(item));
            addItems(popup, item.children, onCommand);
        } else if (item.id == 0 && item.text.empty()) {
            menu->addSeparator();
        } else {
            QAction* action = menu->addAction(menuText(item));
            action->setData(item.id);
            QObject::connect(action, &QAction::triggered, action, [onCommand, id = item.id] { onCommand(id); });
        }
    }
}

}  // namespace

bool dispatchCommand(ShellCommands& commands, int id)
{
    const auto routed = routeCommand(id);
    if (!routed) return false;
    switch (routed->command) {
    case ShellCommand::Exit: commands.exitProgram(); break;
    case ShellCommand::SkinMenu: commands.showSkinMenu(); break;
    case ShellCommand::SkinChoice: commands.chooseSkin(routed->index); break;
    case ShellCommand::Forum: commands.openForum(); break;
    case ShellCommand::PluginToggle: commands.togglePlugin(routed->index); break;
    case ShellCommand::About: commands.showAbout(); break;
    case ShellCommand::WebSite: commands.openWebSite(); break;
    case ShellCommand::OnlineUpdate: commands.runUpdate(); break;
    case ShellCommand::LanguageChoice: commands.chooseLanguage(routed->index); break;
    }
    return true;
}

QMenuBar* buildMenuBar(QWidget* parent, std::function<void(int id)> onCommand)
{
    auto* bar = new QMenuBar(parent);
    bar->setObjectName(QStringLiteral("menuBar"));
    // Inside the window on every desktop, so the window's layout does not depend on one.
    bar->setNativeMenuBar(false);
    for (const MenuItemLayout& item : menuBarLayout()) {
        if (!item.children.empty()) {
            QMenu* popup = bar->addMenu(menuText(item));
            addItems(popup, item.children, onCommand);
        } else {
            QAction* action = bar->addAction(menuText(item));
            action->setData(item.id);
            QObject::connect(action, &QAction::triggered, action, [onCommand, id = item.id] { onCommand(id); });
        }
    }
    return bar;
}

void attachMenuBar(QWidget* window, QMenuBar* bar)
{
    if (QLayout* layout = window->layout()) {
        layout->setMenuBar(bar);
        return;
    }
    const int height = bar->sizeHint().height();
    for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child != bar && !child->isWindow()) child->move(child->x(), child->y() + height);
    }
    const QSize size(window->width(), window->height() + height);
    if (window->minimumSize() == window->maximumSize()) window->setFixedSize(size);
    else window->resize(size);
    bar->setGeometry(0, 0, window->width(), height);
    bar->show();
}

MainWindowShell::MainWindowShell(QWidget& window, ShellOwner& owner, bool skinActive, SkinLibrary* skins)
    : window_(window),
      owner_(owner),
      skins_(skins ? *skins : SkinLibrary::current()),
      skinActive_(skinActive),
      plugins_(owner, [&owner](const QString& title) { return owner.windowExists(title); }, &window)
{
    window_.installEventFilter(this);
}

MainWindowShell::~MainWindowShell() = default;

void MainWindowShell::createWindowParts()
{
    if (menuBar_) return;
    skins_.attachWindow(&window_);
    menuBar_ = buildMenuBar(&window_, [this](int id) { command(id); });
    attachMenuBar(&window_, menuBar_);
    const QList<QAction*> items = menuBar_->actions();
    gameMenu_ = items.size() > GameMenuPosition ? items[GameMenuPosition]->menu() : nullptr;
    addPluginItems();
    for (QAction* top : items) {
        if (!top->menu()) continue;
        for (QAction* action : top->menu()->actions()) {
            const auto routed = routeCommand(action->data().toInt());
            if (!routed || routed->command != ShellCommand::LanguageChoice) continue;
            action->setCheckable(true);
            languageActions_.push_back(action);
        }
    }
    showLanguageSetting();
    skinPopup_ = new QMenu(&window_);
    skinPopup_->setObjectName(QStringLiteral("skinPopup"));
    skins_.skinWindow(&window_, DialogClass);
}

void MainWindowShell::addPluginItems()
{
    if (!gameMenu_) return;
    const std::vector<PluginItem>& items = plugins_.scan();
    for (std::size_t n = 0; n < items.size(); ++n) {
        const int id = menu_id::PluginFirst + static_cast<int>(n);
        QAction* action = gameMenu_->addAction(QFile::decodeName(QByteArray::fromStdString(items[n].text)));
        action->setData(id);
        action->setCheckable(true);
        // Only the first 32 plug-ins have a slot to be loaded into.
        action->setEnabled(PluginLoader::hasSlot(static_cast<int>(n)));
        connect(action, &QAction::triggered, this, [this, id] { command(id); });
        pluginActions_.push_back(action);
    }
}

void MainWindowShell::showPluginStates()
{
    for (std::size_t n = 0; n < pluginActions_.size(); ++n)
        pluginActions_[n]->setChecked(plugins_.isOn(static_cast<int>(n)));
}

void MainWindowShell::showLanguageSetting()
{
    const int chosen = static_cast<int>(savedLanguageSetting());
    for (std::size_t n = 0; n < languageActions_.size(); ++n) languageActions_[n]->setChecked(int(n) == chosen);
}

void MainWindowShell::closing()
{
    plugins_.unloadAll();
    showPluginStates();
}

bool MainWindowShell::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &window_) {
        if (event->type() == MenuCommandEvent::eventType()) {
            command(static_cast<MenuCommandEvent*>(event)->id());
            return true;
        }
        if (event->type() == QEvent::Resize && menuBar_ && !window_.layout())
            menuBar_->resize(window_.width(), menuBar_->height());
    }
    return QObject::eventFilter(watched, event);
}

void MainWindowShell::tell(const QString& text) { MessageBoxes::current().inform(&window_, Caption, text); }

// ---------------------------------------------------------------------------------------------
// Commands

void MainWindowShell::exitProgram() { window_.close(); }

void MainWindowShell::showSkinMenu()
{
    if (!skinActive_ || !skinPopup_) return;
    skinPopup_->clear();
    skinTable_ = readSkinList();
    for (std::size_t k = 0; k < skinTable_.size(); ++k) {
        QAction* action = skinPopup_->addAction(fromGbk(skinTable_[k].name));
        action->setData(menu_id::SkinChoiceFirst + static_cast<int>(k));
    }
    skins_.trackPopupMenu(skinPopup_, 0, QCursor::pos(), &window_);
}

void MainWindowShell::chooseSkin(int entry)
{
    if (entry < 0 || entry >= static_cast<int>(skinTable_.size())) return;
    const QString path = fromGbk(skinFilePath(skinTable_[entry]));
    if (!skins_.loadSkin(path)) {
        tell(SkinNotLoadedText.arg(path));
        return;
    }
    emit skinChosen(fromGbk(skinTable_[entry].file));
}

bool MainWindowShell::loadListedSkin(const QString& file)
{
    if (!skinActive_ || file.isEmpty()) return false;
    for (const SkinEntry& entry : readSkinList())
        if (fromGbk(entry.file) == file) return skins_.loadSkin(fromGbk(skinFilePath(entry)));
    return false;
}

QStringList MainWindowShell::pluginFilesOn() const
{
    QStringList files;
    const std::vector<PluginItem>& items = plugins_.items();
    for (std::size_t n = 0; n < items.size(); ++n)
        if (plugins_.isOn(static_cast<int>(n))) files << QFile::decodeName(QByteArray::fromStdString(items[n].fileName));
    return files;
}

bool MainWindowShell::switchPluginOn(const QString& file)
{
    const std::vector<PluginItem>& items = plugins_.items();
    for (std::size_t n = 0; n < items.size(); ++n) {
        const int item = static_cast<int>(n);
        if (QFile::decodeName(QByteArray::fromStdString(items[n].fileName)) != file) continue;
        if (!plugins_.isOn(item) && PluginLoader::hasSlot(item)) plugins_.toggle(item);
        showPluginStates();
        return plugins_.isOn(item);
    }
    return false;
}

void MainWindowShell::togglePlugin(int item)
{
    plugins_.toggle(item);
    showPluginStates();
    emit pluginsSwitched();
}

void MainWindowShell::showAbout()
{
    AboutDialog box(&window_);
    box.setFingerprint(owner_.ownFingerprint());
    box.setWindowModality(Qt::WindowModal);  // blocks the main window only, as its other boxes do
    box.exec();
}

void MainWindowShell::openWebSite()
{
    const QString problem = openWebLink(owner_.siteBaseUrl());
    if (!problem.isEmpty()) tell(problem);
}

void MainWindowShell::openForum()
{
    const QString base = owner_.siteBaseUrl();
    const QString problem = base.isEmpty() ? NoSiteText : openWebLink(forumUrl(base));
    if (!problem.isEmpty()) tell(problem);
}

void MainWindowShell::chooseLanguage(int setting)
{
    const auto chosen = languageSettingFromIndex(setting);
    if (!chosen) return;
    const QString unwritable = saveLanguageSetting(*chosen);
    showLanguageSetting();
    tell(unwritable.isEmpty() ? LanguageSavedText.toString() : LanguageNotSavedText.arg(unwritable));
}

void MainWindowShell::runUpdate()
{
    const QString problem = runOnlineUpdate(QDir::currentPath());
    if (!problem.isEmpty()) tell(problem);
}

}  // namespace lumo
