// The group browser: a small modeless window that lists the groups of the chosen directory
// server, joins one on a double-click, and registers a group hosted by this client.
// Requests run synchronously inside the click handlers; buttons are disabled while they run.
#pragma once

#include "directory/directory_client.h"
#include "directory/group_browser_owner.h"
#include "directory/http_client.h"

#include <QDialog>
#include <QString>

#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
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

    // Fills the server choice box from sys/sys.ini and takes the first entry's URL; returns the
    // number of entries.
    int loadServerList();
    // Sets the base URL to that of the first entry named displayName; when there is none, the
    // display name itself stays as the base URL.
    void lookupServerUrl(const QString& displayName);

    // Texts of the window and its messages.
    static const QString WaitText;
    static const QString RefreshText;
    static const QString InitialHint;
    static const QString HostHint;
    static const QString IntranetHint;
    static const QString CannotOpenMessage;
    static const QString NotAListMessage;
    static const QString CreateFailedMessage;
    static const QString NoNicknameMessage;
    static const QString NoServerListMessage;  // %1: the path of the missing server list

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void buildControls();
    void onServerChosen(int index);
    void showFields();
    void restoreRefreshButton();
    void inform(const QString& text);

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
};

}  // namespace lumo
