// Shows the real main window and group browser, with the shell's menu bar, under a given skin,
// for screenshots (run under Xvfb by take_skin_screenshots). Runs in the current directory,
// which must hold skin/ (and may hold plugin/); quits by itself after a few seconds.
//   shell_skin_preview [SKIN_PATH] [--open-game-menu | --about] [--quit-after MS]
#include "app/main_dialog.h"
#include "core/text/gbk.h"
#include "directory/group_browser_dialog.h"
#include "fake_directory.h"
#include "shell/main_window_shell.h"
#include "shell/skin_library.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QTreeWidget>

using namespace lumo;

namespace {

// A directory listing three groups.
std::string sampleGroups()
{
    return utf8ToGbk("myserverlist\r\n127.0.0.90 \r\n"
                     "1 夜猫子战队 203.0.113.7 3555 ok \r\n"
                     "2 周末开黑 198.51.100.20 3555 ok \r\n"
                     "3 CS新手村 192.0.2.33 3555 ok \r\n");
}

class PreviewOwner final : public ShellOwner {
public:
    explicit PreviewOwner(MainDialog& window) : window_(window) {}
    void closeOverlay() override {}
    bool overlayPipeOpen() const override { return false; }
    void closeOverlayPipe() override {}
    QString siteBaseUrl() const override { return window_.groupBrowser().baseUrl(); }
    bool windowExists(const QString&) const override { return false; }

private:
    MainDialog& window_;
};

void addSampleMembers(MainDialog& window)
{
    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("memberList"));
    if (!list) return;
    const char* rows[][6] = {
        {"0", "阿飞", "203.0.113.7", "3550", "OK", "聊天中"},
        {"1", "小雪", "198.51.100.20", "4012", "OK", ""},
        {"2", "me", "127.0.0.90", "3550", "", ""},
        {"3", "Kaiser", "192.0.2.33", "3550", "OK", "提示"},
    };
    for (const auto& row : rows) {
        auto* item = new QTreeWidgetItem;
        for (int c = 0; c < 6; ++c) {
            item->setText(c, QString::fromUtf8(row[c]));
            item->setTextAlignment(c, Qt::AlignCenter);
        }
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, row[4][0] ? Qt::Checked : Qt::Unchecked);
        list->insertTopLevelItem(0, item);
    }
    list->setCurrentItem(list->topLevelItem(1));
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QString skin;
    bool openGameMenu = false;
    bool about = false;
    int quitAfter = 6000;
    const QStringList arguments = app.arguments().mid(1);
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--open-game-menu")) openGameMenu = true;
        else if (arguments[i] == QStringLiteral("--about")) about = true;
        else if (arguments[i] == QStringLiteral("--quit-after") && i + 1 < arguments.size()) quitAfter = arguments[++i].toInt();
        else skin = arguments[i];
    }

    const bool skinActive = startSkins(&app);
    if (!skin.isEmpty()) SkinLibrary::current().loadSkin(skin);

    lumo::test::FakeDirectory directory;
    directory.otherwise = HttpReply{true, sampleGroups()};
    MainDialog window(MainDialogOptions{parseDottedAddress("127.0.0.90"), &directory});
    PreviewOwner owner(window);
    MainWindowShell shell(window, owner, skinActive);
    shell.createWindowParts();
    window.setMemberName(QStringLiteral("me"));
    window.setRemoteAddress(QStringLiteral("203.0.113.7"));
    addSampleMembers(window);
    window.move(16, 16);
    window.show();
    window.groupBrowser().move(window.frameGeometry().right() + 24, 16);

    if (openGameMenu && shell.gameMenu()) {
        if (QAction* first = shell.gameMenu()->actions().value(2)) first->setChecked(true);
        QTimer::singleShot(800, &window, [&shell] {
            QMenuBar* bar = shell.menuBar();
            bar->setActiveAction(bar->actions().at(2));
        });
    }
    if (about) QTimer::singleShot(800, &window, [&shell] { shell.command(57664); });
    QTimer::singleShot(quitAfter, &app, [&window] {
        // An open box runs a loop of its own: close it first, then the window.
        if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != &window) modal->close();
        QTimer::singleShot(0, &window, [&window] { window.done(0); });
    });
    window.exec();
    return 0;
}
