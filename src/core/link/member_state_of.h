// What the main window's member list shows of one member, put as the overlay's pipe record
// carries it, so that the overlay's row reads as the window's does.
#pragma once

#include "core/group/member_session.h"
#include "core/link/link_records.h"
#include "core/trust/member_trust.h"

namespace lumo::link {

// The path column reads "OK" once the path is open and the member's key, if it has one, proved
// itself (a lock when sealed); a changed key shows its warning whatever the path. The talking
// byte is the marker's level, 0..100, or NotTalking for a negative `talkingPercent`.
MemberState memberStateOf(int id, const MemberStatus& status, PeerKeyState key, int talkingPercent);

}  // namespace lumo::link
