#include "overlay/overlay_chat_page.h"

#include "core/text/gbk.h"
#include "core/link/link_records.h"
#include "overlay/overlay_pipe_client.h"
#include "ui/dialog_units.h"
#include "ui/member_marks.h"

#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>

namespace lumo {

namespace {

constexpr int TickRole = Qt::UserRole + 1;

QString fromGbk(const std::string& gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }

}  // namespace

const QString OverlayChatPage::LinkedText = QStringLiteral("ok");
const QString OverlayChatPage::PathOkText = QStringLiteral("OK");

OverlayChatPage::OverlayChatPage(QWidget* parent) : QWidget(parent)
{
    const QFont font = dialogFont(8);
    setFont(font);
    const DialogUnits du(font);
    setMinimumSize(du.size(180, 140));

    memberList_ = new QTreeWidget(this);
    memberList_->setObjectName(QStringLiteral("memberList"));
    memberList_->setGeometry(du.rect(5, 23, 170, 111));
    memberList_->setColumnCount(ColumnCount);
    memberList_->setHeaderLabels({QStringLiteral("id"), tr("名字"), tr("连接状态"), tr("语聊状态")});
    const int widths[ColumnCount] = {40, 90, 60, 60};
    for (int c = 0; c < ColumnCount; ++c) {
        memberList_->setColumnWidth(c, widths[c]);
        memberList_->headerItem()->setTextAlignment(c, Qt::AlignCenter);
    }
    memberList_->header()->setStretchLastSection(false);
    memberList_->setRootIsDecorated(false);
    memberList_->setSelectionMode(QAbstractItemView::SingleSelection);
    memberList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    memberList_->setAllColumnsShowFocus(true);
    QPalette palette = memberList_->palette();
    palette.setColor(QPalette::Base, QColor(240, 240, 240));
    memberList_->setPalette(palette);
    // Hot-track selection: the row under the mouse becomes the selected one.
    memberList_->setMouseTracking(true);
    connect(memberList_, &QTreeWidget::itemEntered, memberList_, [this](QTreeWidgetItem* item) {
        memberList_->setCurrentItem(item);
    });
    memberList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(memberList_, &QTreeWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { openMenu(memberList_->viewport()->mapToGlobal(at)); });

    talkButton_ = new QPushButton(TalkText, this);
    talkButton_->setObjectName(QStringLiteral("talkButton"));
    talkButton_->setGeometry(du.rect(147, 7, 27, 13));
    connect(talkButton_, &QPushButton::clicked, this, &OverlayChatPage::onTalkButton);

    buildMenu();
}

void OverlayChatPage::buildMenu()
{
    popupMenu_ = new QMenu(this);
    auto add = [this](const QString& text, int command) {
        QAction* action = popupMenu_->addAction(text);
        action->setData(command);
    };
    add(tr("要聊"), TalkToCommand);
    add(tr("不聊"), DontTalkToCommand);
    popupMenu_->addSeparator();
    add(tr("要听"), ListenCommand);
    add(tr("不听"), DontListenCommand);
    add(tr("下次提示"), AskNextCommand);
    popupMenu_->addSeparator();
    add(tr("刷新"), RefreshCommand);
    connect(popupMenu_, &QMenu::triggered, this, [this](QAction* action) { onMenuCommand(action->data().toInt()); });
}

void OverlayChatPage::post(int code, int value)
{
    if (post_) post_(code, value);
}

int OverlayChatPage::rowCount() const { return memberList_->topLevelItemCount(); }

bool OverlayChatPage::isRowTicked(int row) const
{
    const QTreeWidgetItem* item = memberList_->topLevelItem(row);
    return item && item->data(IdColumn, TickRole).toBool();
}

void OverlayChatPage::setRowTicked(int row, bool ticked)
{
    if (QTreeWidgetItem* item = memberList_->topLevelItem(row)) item->setData(IdColumn, TickRole, ticked);
}

QString OverlayChatPage::cellText(int row, int column) const
{
    const QTreeWidgetItem* item = memberList_->topLevelItem(row);
    return item ? item->text(column) : QString();
}

void OverlayChatPage::setAnswerText(int row, const QString& text)
{
    if (QTreeWidgetItem* item = memberList_->topLevelItem(row)) item->setText(VoiceColumn, text);
}

bool OverlayChatPage::readRoster(OverlayPipeClient& pipe, qint64 length)
{
    if (!link::rosterLengthValid(length)) {
        // A length no roster can have: the bytes behind it cannot be framed, so drop them.
        pipe.discardPending();
        return false;
    }
    const std::optional<Bytes> bytes = pipe.read(std::size_t(length));
    if (!bytes) return false;
    const std::optional<Roster> roster = link::decodeRosterMessage(*bytes);
    if (!roster) return false;
    showRoster(*roster);
    return true;
}

void OverlayChatPage::showRoster(const Roster& roster)
{
    roster_ = roster;
    memberList_->clear();
    for (int i = 0; i < roster_.count; ++i) {
        const MemberEntry& record = roster_.records[std::size_t(i)];
        auto* item = new QTreeWidgetItem;
        item->setText(IdColumn, QString::number(record.id));
        item->setText(NameColumn, fromGbk(record.nameBytes()));
        for (int c = 0; c < ColumnCount; ++c) item->setTextAlignment(c, Qt::AlignCenter);
        memberList_->insertTopLevelItem(0, item);
    }
}

bool OverlayChatPage::readMemberStates(OverlayPipeClient& pipe, qint64 length)
{
    if (!link::memberStatesLengthValid(length)) {
        pipe.discardPending();
        return false;
    }
    const std::optional<Bytes> bytes = pipe.read(std::size_t(length));
    if (!bytes) return false;
    const auto states = link::decodeMemberStatesMessage(*bytes);
    if (!states) return false;
    showMemberStates(*states);
    return true;
}

void OverlayChatPage::showMemberStates(const std::vector<link::MemberState>& states)
{
    for (const link::MemberState& state : states) {
        QTreeWidgetItem* item = memberList_->topLevelItem(link::rowOfIndex(rowCount(), state.id));
        if (!item) continue;
        const bool ok = state.path == link::PathMark::Open || state.path == link::PathMark::Sealed;
        item->setText(LinkColumn, ok ? PathOkText : QString());
        item->setIcon(LinkColumn, keyMark(state.path == link::PathMark::Sealed       ? KeyMark::Sealed
                                          : state.path == link::PathMark::KeyChanged ? KeyMark::Changed
                                                                                     : KeyMark::None));
        item->setText(VoiceColumn, state.voice == link::VoiceMark::None ? QString() : VoiceStateTexts[std::size_t(state.voice) - 1].toString());
        const bool talking = state.talking != link::NotTalking;
        item->setIcon(NameColumn, talking ? talkingMark(state.talking) : QIcon());
        item->setData(NameColumn, TalkingRole, talking ? QVariant(int(state.talking)) : QVariant());
    }
}

bool OverlayChatPage::readSelection(OverlayPipeClient& pipe, qint64 length)
{
    if (!link::selectionLengthValid(length)) {
        pipe.discardPending();
        return false;
    }
    std::vector<int> ids;
    if (length > 0) {
        const std::optional<Bytes> bytes = pipe.read(std::size_t(length));
        if (!bytes) return false;
        const auto decoded = link::decodeSelectionMessage(*bytes);
        if (!decoded) return false;
        ids = *decoded;
    }
    showSelection(ids);
    return true;
}

void OverlayChatPage::showSelection(const std::vector<int>& ids)
{
    targetIds_.fill(-1);
    targetCount_ = int(std::min(ids.size(), targetIds_.size()));
    for (int i = 0; i < targetCount_; ++i) targetIds_[std::size_t(i)] = ids[std::size_t(i)];
    for (int row = 0; row < rowCount(); ++row) setRowTicked(row, false);
    // An id the roster copy does not hold has no row to tick.
    for (int i = 0; i < targetCount_; ++i) {
        const int row = link::rowOfIndex(rowCount(), targetIds_[std::size_t(i)]);
        if (row >= 0) setRowTicked(row, true);
    }
}

void OverlayChatPage::onTalkButton()
{
    bool anyTicked = false;
    for (int row = 0; row < rowCount() && !anyTicked; ++row) anyTicked = isRowTicked(row);
    if (!anyTicked) {
        talkButton_->setText(TalkText);
        return;
    }
    if (talkButton_->text() == TalkText) {
        post(link::to_main::VoiceToggle, 1);
        talkButton_->setText(StopText);
    } else {
        post(link::to_main::VoiceToggle, 0);
        talkButton_->setText(TalkText);
    }
}

void OverlayChatPage::openMenu(const QPoint& globalPosition)
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    menuRow_ = selected.isEmpty() ? -1 : memberList_->indexOfTopLevelItem(selected.first());
    popupMenu_->popup(globalPosition);
}

void OverlayChatPage::onMenuCommand(int command)
{
    if (command < TalkToCommand || command > LastCommand) return;
    const bool rowCommand = command >= TalkToCommand && command <= AskNextCommand;
    // A member command needs a member: with no row selected nothing is posted (the main program
    // could not tell whom it was meant for).
    if (rowCommand && (menuRow_ < 0 || menuRow_ >= rowCount())) return;
    post(command - CodeOffset, menuRow_);
    QTreeWidgetItem* item = memberList_->topLevelItem(menuRow_);
    switch (command) {
    case TalkToCommand:
        if (item) item->setText(LinkColumn, LinkedText);
        post(link::to_main::VoiceToggle, 1);
        talkButton_->setText(StopText);
        break;
    case DontTalkToCommand:
        if (item) item->setText(LinkColumn, QString());
        break;
    case ListenCommand:
        setAnswerText(menuRow_, ListenText);
        break;
    case DontListenCommand:
        setAnswerText(menuRow_, DontListenText);
        break;
    case AskNextCommand:
        setAnswerText(menuRow_, AskNextText);
        break;
    default:
        break;
    }
}

}  // namespace lumo
