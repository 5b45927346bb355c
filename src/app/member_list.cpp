#include "app/member_list.h"

#include "app/texts.h"
#include "core/text/gbk.h"
#include "core/group/member_session.h"

#include <QHeaderView>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

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

// Four rising bars, green up to the level and grey above it.
QIcon talkingIcon(int levelPercent)
{
    QPixmap pixmap(16, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    const int lit = (std::clamp(levelPercent, 0, 100) * 4 + 99) / 100;  // any sound lights one bar
    for (int bar = 0; bar < 4; ++bar) {
        const int height = 4 + bar * 3;
        painter.fillRect(QRect(1 + bar * 4, 14 - height, 3, height), bar < lit ? QColor(0x2e, 0xb8, 0x42) : QColor(0xb0, 0xb0, 0xb0));
    }
    return QIcon(pixmap);
}

// A small padlock (sealed) or a red exclamation mark (a changed key), drawn rather than loaded:
// the skins do not ship icons for them.
QIcon keyIcon(PeerKeyState state)
{
    if (state != PeerKeyState::Sealed && state != PeerKeyState::KeyChanged) return {};
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (state == PeerKeyState::Sealed) {
        painter.setPen(QPen(QColor(0x3a, 0x6a, 0x2a), 1.5));
        painter.drawArc(QRectF(3, 0.75, 6, 7), 0, 180 * 16);
        painter.drawLine(QPointF(3, 4.25), QPointF(3, 6));
        painter.drawLine(QPointF(9, 4.25), QPointF(9, 6));
        painter.fillRect(QRectF(1.5, 5.5, 9, 6), QColor(0x3a, 0x6a, 0x2a));
    } else {
        painter.setBrush(QColor(0xc0, 0x20, 0x20));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(0, 0, 12, 12));
        painter.fillRect(QRectF(5, 2, 2, 5.5), Qt::white);
        painter.fillRect(QRectF(5, 8.5, 2, 2), Qt::white);
    }
    return QIcon(pixmap);
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
    item->setIcon(NameColumn, levelPercent < 0 ? QIcon() : talkingIcon(levelPercent));
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
    item->setIcon(PathColumn, keyIcon(key));  // the name column carries the talking marker
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
