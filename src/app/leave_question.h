// Whether leaving LUMO needs the player's yes first, and in which words: while this client hosts
// a group (listed with the directory, or with members in its table) or is in one, closing ends
// the group for others too. Outside a group the window closes at once.
#pragma once

#include <QString>

namespace lumo {

struct GroupPresence {
    bool listedAsHost = false;  // a group this client created is registered with the directory
    int hostMembers = 0;        // members in this client's host table
    bool joined = false;        // in a group as a member (one's own included)
    int groupMembers = 0;       // the joined group's roster
};

// The question to ask before leaving; empty when none is needed.
QString leaveQuestion(const GroupPresence& presence);

}  // namespace lumo
