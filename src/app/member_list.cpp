#include "app/member_list.h"

#include "app/texts.h"
#include "core/text/gbk.h"
#include "core/group/member_session.h"
#include "ui/member_marks.h"

#include <QHeaderView>

namespace lumo {

namespace {

QString voiceText(VoiceState state)
{
    switch (state) {
    case VoiceState::Chatting: return text::Chatting;
    case VoiceState::NotChatting: return text::NotChatting;
    case VoiceState::Waiting: return text::Waiting;
    case VoiceState::Prompt: return text::Prompt;
    case VoiceState::None: break;
    }
    return {};
}

KeyMark keyMarkOf(PeerKeyState state)
{
    return state == PeerKeyState::Sealed ? KeyMark::Sealed : state == PeerKeyState::KeyChanged ? KeyMark::Changed : KeyMark::None;
}

}  // namespace

MemberList::MemberList(QWidget* parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("memberList"));
    setColumnCount(ColumnCount);
    QStringList headings;
    for (const UiText& heading : text::ColumnHeaders) headings << heading.toString();
    setHeaderLabels(headings);
    const int widths[ColumnCount] = {55, 100, 130, 60, 60, 50};
    for (int c = 0; c < ColumnCount; ++c) setColumnWidth(c, widths[c]);
    header()->setDefaultAlignment(Qt::AlignCenter);
    header()->setStretchLastSection(false);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setMouseTracking(true);  // track select: rows highlight under the mouse
    setContextMenuPolicy(Qt::CustomContextMenu);
    setStyleSheet(QStringLiteral("QTreeWidget { background-color: #F0F0F0; }"));
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (drawing_ || column != IdColumn || !(item->flags() & Qt::ItemIsUserCheckable)) return;
        emit memberTicked(memberIdOf(item), item->checkState(IdColumn) == Qt::Checked);
    });
}

QTreeWidgetItem* MemberList::row(int index) const
{
    return index >= 0 && index < topLevelItemCount() ? topLevelItem(index) : nullptr;
}

void MemberList::showRoster(const MemberSession& session)
{
    const Roster& roster = session.roster();
    drawing_ = true;
    clear();
    for (int i = 0; i < roster.count; ++i) {
        const MemberEntry& record = roster.records[i];
        auto* item = new QTreeWidgetItem;
        item->setText(IdColumn, QString::number(record.id));
        item->setText(NameColumn, QString::fromStdString(gbkToUtf8(record.nameBytes())));
        item->setText(AddressColumn, QString::fromStdString(dottedAddress(record.publicAddress)));
        item->setText(PortColumn, QString::number(record.publicPort));
        for (int c = 0; c < ColumnCount; ++c) item->setTextAlignment(c, Qt::AlignCenter);
        insertTopLevelItem(0, item);
    }
    drawing_ = false;
    for (int i = 0; i < roster.count; ++i) showMember(session, i);
}

void MemberList::showTalking(int memberId, int levelPercent)
{
    QTreeWidgetItem* item = memberId >= 0 ? row(rowOfMember(memberId)) : nullptr;
    if (!item) return;
    drawing_ = true;
    item->setIcon(NameColumn, levelPercent < 0 ? QIcon() : talkingMark(levelPercent));
    item->setData(NameColumn, TalkingRole, levelPercent < 0 ? QVariant() : QVariant(levelPercent));
    drawing_ = false;
}

void MemberList::showMember(const MemberSession& session, int memberId)
{
    QTreeWidgetItem* item = session.roster().holds(memberId) ? row(rowOfMember(memberId)) : nullptr;
    if (!item) return;
    const MemberStatus& status = session.status(memberId);
    drawing_ = true;
    const PeerKeyState key = keyStateOf_ ? keyStateOf_(memberId) : PeerKeyState::None;
    const bool keyAllows = key != PeerKeyState::Checking && key != PeerKeyState::KeyChanged;
    item->setText(PathColumn, status.pathOpen && keyAllows ? text::PathOk : QString());
    item->setIcon(PathColumn, keyMark(keyMarkOf(key)));  // the name column carries the talking marker
    item->setText(VoiceColumn, voiceText(status.voice));
    // Check boxes belong to group mode only.
    if (session.groupMode()) {
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(IdColumn, status.ticked ? Qt::Checked : Qt::Unchecked);
    } else {
        item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
        item->setData(IdColumn, Qt::CheckStateRole, QVariant());
    }
    drawing_ = false;
}

}  // namespace lumo
