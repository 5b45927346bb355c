#include "directory/group_browser_dialog.h"

#include "core/text/gbk.h"
#include "directory/curl_http_client.h"
#include "core/directory/server_list.h"
#include "ui/dialog_units.h"
#include "ui/message_box.h"

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>
#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lumoDirectory)

namespace lumo {


namespace {

const QString Caption = QStringLiteral("LUMO");

QString fromGbk(std::string_view gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }
std::string toGbk(const QString& text) { return utf8ToGbk(text.toStdString()); }

struct Column {
    const char* heading;
    int width;
};
const Column GroupColumns[GroupColumnCount] = {
    {"ID", 40},
    {QT_TRANSLATE_NOOP("lumo::GroupBrowserDialog", "群名"), 110},
    {QT_TRANSLATE_NOOP("lumo::GroupBrowserDialog", "地址"), 120},
    {QT_TRANSLATE_NOOP("lumo::GroupBrowserDialog", "端口"), 65},
    {QT_TRANSLATE_NOOP("lumo::GroupBrowserDialog", "状态"), 65},
};

}  // namespace

GroupBrowserDialog::GroupBrowserDialog(GroupBrowserOwner& owner, HttpClient* http, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      owner_(owner),
      ownHttp_(http ? nullptr : std::make_unique<CurlHttpClient>()),
      directory_(http ? *http : *ownHttp_),
      hintText_(InitialHint),
      requests_(std::make_unique<RequestThread>(this))
{
    buildControls();
    renewTimer_ = new QTimer(this);
    renewTimer_->setInterval(RenewInterval);
    connect(renewTimer_, &QTimer::timeout, this, &GroupBrowserDialog::renew);
    showFields();
    loadServerList();
    if (serverChoice_->count() > 0) serverChoice_->setCurrentIndex(0);
    connect(serverChoice_, &QComboBox::activated, this, &GroupBrowserDialog::onServerChosen);
}

GroupBrowserDialog::~GroupBrowserDialog() = default;

void GroupBrowserDialog::buildControls()
{
    setFont(dialogFont(10));
    const DialogUnits du(font());
    setFixedSize(du.size(243, 127));

    serverChoice_ = new QComboBox(this);
    serverChoice_->setObjectName(QStringLiteral("serverChoice"));
    serverChoice_->setGeometry(du.rect(7, 5, 100, 12));

    listCaption_ = new QLabel(ListCaption, this);
    listCaption_->setObjectName(QStringLiteral("listCaption"));
    listCaption_->setGeometry(du.rect(112, 7, 72, 9));

    refreshButton_ = new QPushButton(WaitText, this);
    refreshButton_->setObjectName(QStringLiteral("refreshButton"));
    refreshButton_->setGeometry(du.rect(186, 4, 50, 14));
    refreshButton_->setAutoDefault(false);
    connect(refreshButton_, &QPushButton::clicked, this, &GroupBrowserDialog::refreshGroups);

    groupList_ = new QTreeWidget(this);
    groupList_->setObjectName(QStringLiteral("groupList"));
    groupList_->setGeometry(du.rect(7, 21, 229, 68));
    groupList_->setRootIsDecorated(false);
    groupList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    groupList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    groupList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    groupList_->setColumnCount(GroupColumnCount);
    QStringList headings;
    for (const auto& column : GroupColumns) headings << tr(column.heading);
    groupList_->setHeaderLabels(headings);
    for (int i = 0; i < GroupColumnCount; ++i) {
        groupList_->setColumnWidth(i, GroupColumns[i].width);
        groupList_->headerItem()->setTextAlignment(i, Qt::AlignCenter);
    }
    QPalette palette = groupList_->palette();
    palette.setColor(QPalette::Base, QColor(240, 240, 240));
    groupList_->setPalette(palette);
    // Hover selects the row under the mouse, so a double-click joins the row it lands on.
    groupList_->setMouseTracking(true);
    connect(groupList_, &QTreeWidget::itemEntered, groupList_, [this](QTreeWidgetItem* item) {
        groupList_->setCurrentItem(item);
    });
    groupList_->viewport()->installEventFilter(this);

    hintLabel_ = new QLabel(tr("我要建群"), this);
    hintLabel_->setObjectName(QStringLiteral("hintLabel"));
    hintLabel_->setGeometry(du.rect(7, 93, 150, 9));

    auto* nameCaption = new QLabel(tr("群名："), this);
    nameCaption->setGeometry(du.rect(7, 108, 26, 9));
    groupNameEdit_ = new QLineEdit(this);
    groupNameEdit_->setObjectName(QStringLiteral("groupNameEdit"));
    groupNameEdit_->setGeometry(du.rect(33, 106, 70, 12));
    // The name travels as GBK and may take 20 bytes: typing or pasting more is cut on a
    // character boundary.
    connect(groupNameEdit_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const std::string gbk = toGbk(text);
        if (gbk.size() <= MaxGroupNameBytes) return;
        const int cursor = groupNameEdit_->cursorPosition();
        groupNameEdit_->setText(fromGbk(std::string_view(gbk).substr(0, gbkPrefixLength(gbk, MaxGroupNameBytes))));
        groupNameEdit_->setCursorPosition(qMin(cursor, static_cast<int>(groupNameEdit_->text().size())));
    });

    createButton_ = new QPushButton(tr("创 建"), this);
    createButton_->setObjectName(QStringLiteral("createButton"));
    createButton_->setGeometry(du.rect(106, 105, 32, 14));
    createButton_->setAutoDefault(false);
    createButton_->setEnabled(false);
    connect(createButton_, &QPushButton::clicked, this, &GroupBrowserDialog::createGroup);

    auto* nicknameCaption = new QLabel(tr("你的酷名："), this);
    nicknameCaption->setGeometry(du.rect(142, 108, 42, 9));
    nicknameEdit_ = new QLineEdit(this);
    nicknameEdit_->setObjectName(QStringLiteral("nicknameEdit"));
    nicknameEdit_->setGeometry(du.rect(184, 106, 52, 12));
}

int GroupBrowserDialog::loadServerList()
{
    const auto entries = readServerList();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        serverChoice_->insertItem(static_cast<int>(i), fromGbk(entries[i].name));
        if (i == 0) baseUrl_ = entries[i].url;
    }
    return static_cast<int>(entries.size());
}

void GroupBrowserDialog::lookupServerUrl(const QString& displayName)
{
    baseUrl_ = toGbk(displayName);
    for (const auto& entry : readServerList()) {
        if (fromGbk(entry.name) == displayName) {
            baseUrl_ = entry.url;
            return;
        }
    }
}

void GroupBrowserDialog::onServerChosen(int index)
{
    lookupServerUrl(serverChoice_->itemText(index));
    owner_.setSiteUrl(baseUrl());
    emit serverChosen(serverChoice_->itemText(index));
}

bool GroupBrowserDialog::chooseServer(const QString& displayName)
{
    const int index = serverChoice_->findText(displayName, Qt::MatchExactly);
    if (index < 0) return false;
    serverChoice_->setCurrentIndex(index);
    lookupServerUrl(displayName);
    owner_.setSiteUrl(baseUrl());
    return true;
}

QString GroupBrowserDialog::baseUrl() const { return fromGbk(baseUrl_); }

void GroupBrowserDialog::showFields()
{
    hintLabel_->setText(hintText_);
    groupNameEdit_->setText(groupName_);
}

void GroupBrowserDialog::restoreRefreshButton()
{
    refreshButton_->setText(RefreshText);
    refreshButton_->setEnabled(true);
}

void GroupBrowserDialog::inform(const QString& text) { MessageBoxes::current().inform(this, Caption, text); }

void GroupBrowserDialog::runRequest(std::function<void()> work, std::function<void()> done)
{
    if (pendingRequests_++ == 0) setCursor(Qt::BusyCursor);
    requests_->post(std::move(work), [this, done = std::move(done)] {
        if (--pendingRequests_ == 0) unsetCursor();
        done();
    });
}

void GroupBrowserDialog::refreshGroups()
{
    refreshButton_->setEnabled(false);
    refreshButton_->setText(WaitText);
    groupList_->clear();

    auto result = std::make_shared<DirectoryClient::ListResult>();
    runRequest([this, result, url = baseUrl_] { *result = directory_.fetchList(url); },
               [this, result] { showList(*result); });
}

void GroupBrowserDialog::showList(const DirectoryClient::ListResult& result)
{
    groupList_->clear();
    listCaption_->setText(ListCaption);
    listCaption_->setToolTip({});
    const bool createAfter = std::exchange(enableCreateAfterRefresh_, false);
    if (result.status == DirectoryClient::ListStatus::CannotOpen ||
        result.status == DirectoryClient::ListStatus::TooLarge) {
        restoreRefreshButton();
        if (createAfter) createButton_->setEnabled(true);
        // Without a server list there was nothing to ask, and "try again" would not help.
        if (result.status == DirectoryClient::ListStatus::TooLarge)
            inform(TooLargeMessage);
        else if (baseUrl_.empty())
            inform(NoServerListMessage.arg(QDir::current().absoluteFilePath(QString::fromLatin1(ServerListPath))));
        else
            inform(CannotOpenMessage);
        return;
    }
    if (result.status == DirectoryClient::ListStatus::NotAList) {
        qCDebug(lumoDirectory) << "the reply is not a group list: dropped";
        inform(NotAListMessage);
    } else {
        const Ipv4 ownAddress = owner_.ownAddress();
        const auto eligibility =
            decideHostEligibility(result.reply.seenAddress, ownAddress, owner_.secondLocalAddress());
        if (eligibility.ownAddress != ownAddress) owner_.setOwnAddress(eligibility.ownAddress);
        hintText_ = ownGroupAwaitsNickname_ ? JoinOwnGroupHint : eligibility.mayHost ? HostHint : IntranetHint;
        createButton_->setEnabled(eligibility.mayHost);
        showFields();

        // Each line's row goes on top, so the list shows the reply's last group first.
        QList<QTreeWidgetItem*> items;
        items.reserve(static_cast<qsizetype>(result.reply.rows.size()));
        for (auto row = result.reply.rows.rbegin(); row != result.reply.rows.rend(); ++row) {
            auto* item = new QTreeWidgetItem;
            for (int column = 0; column < GroupColumnCount; ++column) {
                QString text = fromGbk(row->columns[static_cast<std::size_t>(column)]);
                // The state every group of our directory shows is shown in the player's language;
                // any other state is the directory's own text and stays as sent.
                if (column == StateColumn && text == QStringLiteral("在线")) text = tr("在线");
                item->setText(column, text);
                item->setTextAlignment(column, Qt::AlignCenter);
            }
            items.append(item);
        }
        groupList_->addTopLevelItems(items);
        qCDebug(lumoDirectory) << "list of" << result.reply.rows.size() << "groups," << result.reply.cutRows
                               << "left out; this client seen at"
                               << QString::fromStdString(result.reply.seenAddress);
        if (result.reply.cutRows > 0) {
            listCaption_->setText(tr("显示前 %1 个群").arg(result.reply.rows.size()));
            listCaption_->setToolTip(tr("另有 %1 个群未显示").arg(result.reply.cutRows));
        }
    }
    owner_.showOwnAddress();
    restoreRefreshButton();
    if (createAfter) createButton_->setEnabled(true);
}

void GroupBrowserDialog::createGroup()
{
    groupName_ = groupNameEdit_->text();
    std::string name = toGbk(groupName_);
    name.resize(gbkPrefixLength(name, MaxGroupNameBytes));
    // Said here rather than as the directory's bare refusal ("创建失败") again and again.
    if (const GroupNameProblem problem = groupNameProblem(name); problem != GroupNameProblem::None) {
        inform(problem == GroupNameProblem::Empty ? EmptyGroupNameMessage : SpaceInGroupNameMessage);
        groupNameEdit_->setFocus();
        return;
    }
    createButton_->setEnabled(false);
    hintText_ = hintLabel_->text();

    auto status = std::make_shared<DirectoryClient::AddStatus>(DirectoryClient::AddStatus::CannotOpen);
    runRequest([this, status, url = baseUrl_, name, own = owner_.ownAddress()] {
        *status = directory_.addGroup(url, name, own);
    }, [this, status] { concludeAdd(*status); });
}

void GroupBrowserDialog::concludeAdd(DirectoryClient::AddStatus status)
{
    if (status == DirectoryClient::AddStatus::CannotOpen) {
        createButton_->setEnabled(true);
        inform(CannotOpenMessage);
        return;
    }
    if (status == DirectoryClient::AddStatus::Registered) {
        // The directory forgets a group that is not renewed: renew while this client hosts.
        renewTimer_->start();
        enableCreateAfterRefresh_ = true;
        refreshGroups();
        joinOwnGroup();
    } else {
        inform(CreateFailedMessage);
    }
    createButton_->setEnabled(true);
}

void GroupBrowserDialog::joinOwnGroup()
{
    // The creator is the group's first member, under the nickname the browser holds.
    const QString nickname = nicknameEdit_->text();
    if (nickname.isEmpty()) {
        ownGroupAwaitsNickname_ = true;
        hintText_ = JoinOwnGroupHint;
        hintLabel_->setText(hintText_);
        nicknameEdit_->setFocus();
        return;
    }
    owner_.setRemoteAddress(QString::fromStdString(dottedAddress(owner_.ownAddress())));
    owner_.setMemberName(nickname);
    owner_.connectToHost();
}

bool GroupBrowserDialog::hostsGroup() const { return renewTimer_->isActive(); }

void GroupBrowserDialog::offerNickname(const QString& name)
{
    if (nicknameEdit_->text().isEmpty()) nicknameEdit_->setText(name);
}

void GroupBrowserDialog::renew()
{
    if (renewing_) return;
    renewing_ = true;
    requests_->post([this] { directory_.renewRegistration(); }, [this] { renewing_ = false; });
}

void GroupBrowserDialog::setRenewInterval(std::chrono::milliseconds interval) { renewTimer_->setInterval(interval); }

void GroupBrowserDialog::joinSelectedGroup()
{
    QTreeWidgetItem* selected = nullptr;
    for (int i = 0; i < groupList_->topLevelItemCount() && !selected; ++i) {
        if (groupList_->topLevelItem(i)->isSelected()) selected = groupList_->topLevelItem(i);
    }
    const QString nickname = nicknameEdit_->text();
    if (nickname.isEmpty()) {
        inform(NoNicknameMessage);
        nicknameEdit_->setFocus();
        return;
    }
    if (!selected) return;
    ownGroupAwaitsNickname_ = false;
    // Only the address counts: the host always listens on its group port.
    owner_.setRemoteAddress(selected->text(AddressColumn));
    hide();
    owner_.setMemberName(nickname);
    owner_.connectToHost();
}

void GroupBrowserDialog::showAgain()
{
    show();
    raise();
    restoreRefreshButton();
}

void GroupBrowserDialog::removeRegistration()
{
    // No renewal may reach the directory after the removal: stop them and let the request under
    // way end first (queued ones are dropped; the window is closing).
    renewTimer_->stop();
    requests_->dropQueuedAndWait();
    directory_.removeRegistration();
}

bool GroupBrowserDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == groupList_->viewport()) {
        if (event->type() == QEvent::MouseButtonDblClick) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                joinSelectedGroup();
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
                hide();
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

// Clicks on the window's own surface (labels included: they let mouse events through).
void GroupBrowserDialog::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        hide();
        return;
    }
    QDialog::mouseDoubleClickEvent(event);
}

void GroupBrowserDialog::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        hide();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

}  // namespace lumo
