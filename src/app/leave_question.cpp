#include "app/leave_question.h"

#include "app/texts.h"

#include <algorithm>

namespace lumo {

QString leaveQuestion(const GroupPresence& presence)
{
    if (presence.listedAsHost || presence.hostMembers > 0)
        return text::LeaveHosting.arg(std::max(presence.hostMembers, presence.joined ? presence.groupMembers : 0));
    if (presence.joined) return text::LeaveGroup.arg(presence.groupMembers);
    return {};
}

}  // namespace lumo
