// The main window's member list: one row per member of the roster, newest at the top, with the
// path and voice state the member session keeps for each and, in group mode, a check box that
// makes the member a voice target.
#pragma once

#include "core/trust/member_trust.h"

#include <QTreeWidget>

#include <functional>

namespace lumo {

class MemberSession;

class MemberList : public QTreeWidget {
    Q_OBJECT
public:
    enum Column { IdColumn, NameColumn, AddressColumn, PortColumn, PathColumn, VoiceColumn, ColumnCount };
    // The talking marker's level on the name (absent while not talking), for tests and tools.
    static constexpr int TalkingRole = Qt::UserRole + 1;

    explicit MemberList(QWidget* parent = nullptr);

    // Draws every row anew from the session's roster and status.
    void showRoster(const MemberSession& session);
    // Redraws the path, voice and check columns of one member.
    void showMember(const MemberSession& session, int memberId);

    // Marks member `id`'s name as talking: `levelPercent` 0..100 fills the marker as loud as
    // the voice is (100 for a member heard), -1 takes it away.
    void showTalking(int memberId, int levelPercent);

    // The row that shows member `id`, and the member a row shows (-1 for none).
    int rowOfMember(int id) const { return topLevelItemCount() - id - 1; }
    int memberIdOf(QTreeWidgetItem* row) const { return row ? topLevelItemCount() - 1 - indexOfTopLevelItem(row) : -1; }
    QTreeWidgetItem* row(int index) const;

    // Where each member's key stands: a lock beside the path of a sealed member, a warning beside one
    // whose key changed; the path column reads "OK" for a LUMO member only once its key proved
    // itself (or it turned out to speak plain).
    void setKeyStates(std::function<PeerKeyState(int memberId)> keyStateOf) { keyStateOf_ = std::move(keyStateOf); }

signals:
    // The player ticked or cleared a member's check box.
    void memberTicked(int memberId, bool ticked);

private:
    std::function<PeerKeyState(int)> keyStateOf_;
    bool drawing_ = false;  // the rows are being filled in: their changes are not the player's
};

}  // namespace lumo
