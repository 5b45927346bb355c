// The group browser: a small modeless window that lists the groups of the chosen directory
// server, joins one on a double-click, and registers a group hosted by this client, whose
// registration it then renews while the program runs.
// Requests run on a request thread of their own, so the window (and the group) keep working
// while a directory is slow; buttons are disabled and the cursor shows waiting while they run.
#pragma once

#include "ui/ui_text.h"

#include "directory/directory_client.h"
#include "directory/group_browser_owner.h"
#include "directory/http_client.h"
#include "directory/request_thread.h"

#include <QDialog>
#include <QString>

#include <chrono>
#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace lumo {

class GroupBrowserDialog : public QDialog {
    Q_OBJECT

public:
    // http carries the directory requests and must outlive the browser; without one the browser
    // makes its own libcurl client. Reads sys/sys.ini from the current directory.
    explicit GroupBrowserDialog(GroupBrowserOwner& owner, HttpClient* http = nullptr, QWidget* parent = nullptr);
    ~GroupBrowserDialog() override;

    // Refresh button: fetch the list, judge whether this client may host, fill the list.
    void refreshGroups();
    // Create button: register the typed group name with the directory.
    void createGroup();
    // Double-click in the list: join the first selected group with the typed nickname.
    void joinSelectedGroup();
    // The main window's Server button: show the browser and offer a refresh (no refresh runs).
    void showAgain();
    // At closing: removes this client's registration from the directory if it made one.
    void removeRegistration();

    // The current directory base URL (the configured text, decoded for display).
    QString baseUrl() const;
    bool groupRegistered() const { return directory_.groupRegistered(); }
    // True while a group this client created is listed (and renewed) with the directory.
    bool hostsGroup() const;
    // The remembered name: the nickname field takes it while the player has typed none.
    void offerNickname(const QString& name);
    // True while a list or add request the player started has not ended yet.
    bool requestRunning() const { return pendingRequests_ > 0; }
    // How often a registered group is renewed (RenewInterval unless changed).
    void setRenewInterval(std::chrono::milliseconds interval);

    // Fills the server choice box from sys/sys.ini and takes the first entry's URL; returns the
    // number of entries.
    int loadServerList();
    // Sets the base URL to that of the first entry named displayName; when there is none, the
    // display name itself stays as the base URL.
    void lookupServerUrl(const QString& displayName);
    // Chooses the server list's entry of that display name, as the choice box does; false (and
    // nothing changes) when the list has none.
    bool chooseServer(const QString& displayName);

signals:
    // The player chose a directory server in the choice box.
    void serverChosen(const QString& displayName);

public:
    // Texts of the window and its messages.
    static constexpr UiText WaitText = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "请等待");
    static constexpr UiText RefreshText = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "刷 新");
    static constexpr UiText InitialHint = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "我要建群!");
    static constexpr UiText HostHint = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "我要建群！");
    static constexpr UiText IntranetHint = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "你是内网用户，不能建群！");
    static constexpr UiText CannotOpenMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "出错了，请重试！");
    static constexpr UiText NotAListMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "连接失败，请再次刷新！");
    static constexpr UiText CreateFailedMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "创建失败，请再次创建！");
    static constexpr UiText EmptyGroupNameMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "请先写上群名。");
    static constexpr UiText SpaceInGroupNameMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "群目录不接受带空格的群名：请去掉空格后再创建。");
    static constexpr UiText JoinOwnGroupHint = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "群已建好：写上酷名，双击你的群加入。");
    static constexpr UiText NoNicknameMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "你忘了你的酷名了！*_*");
    static constexpr UiText NoServerListMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "找不到群目录服务器：%1 不存在，或其中 [urllist] 一节没有列出服务器。\n"
        "请在 LUMO 的运行目录中启动 LUMO（scripts/run 或已安装的 lumo 命令），或重新安装 LUMO。");  // %1: the path of the missing server list
    static constexpr UiText TooLargeMessage = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "群列表太大，无法显示！");
    static constexpr UiText ListCaption = LUMO_UI_TEXT("lumo::GroupBrowserDialog", "在线群");

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void buildControls();
    void joinOwnGroup();
    void onServerChosen(int index);
    void showFields();
    void restoreRefreshButton();
    void inform(const QString& text);
    void showList(const DirectoryClient::ListResult& result);
    void concludeAdd(DirectoryClient::AddStatus status);
    void renew();
    // Runs work on the request thread and then done here; the window shows it is waiting.
    void runRequest(std::function<void()> work, std::function<void()> done);

    GroupBrowserOwner& owner_;
    std::unique_ptr<HttpClient> ownHttp_;
    DirectoryClient directory_;
    std::string baseUrl_;  // bytes as configured
    QString hintText_;
    QString groupName_;  // the name last submitted by Create

    QComboBox* serverChoice_ = nullptr;
    QTreeWidget* groupList_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QLabel* hintLabel_ = nullptr;
    QLineEdit* groupNameEdit_ = nullptr;
    QPushButton* createButton_ = nullptr;
    QLineEdit* nicknameEdit_ = nullptr;
    QLabel* listCaption_ = nullptr;

    QTimer* renewTimer_ = nullptr;
    bool renewing_ = false;
    int pendingRequests_ = 0;
    // A refresh that follows an accepted add ends with the create button enabled.
    bool enableCreateAfterRefresh_ = false;
    // The group was created with no nickname to join it under: the hint says how to join.
    bool ownGroupAwaitsNickname_ = false;
    // Last member: it ends first, waiting for a request under way while everything it reports
    // to still exists.
    std::unique_ptr<RequestThread> requests_;
};

}  // namespace lumo
