// The group of the voice tests between real processes: the talker (member 0) and the listener
// (member 1) are lumo processes, the witness (member 2) a fake member that is sent the same voice.
#pragma once

#include "fake_peer.h"
#include "link_control.h"
#include "lumo_process.h"

namespace lumo::test {

struct VoiceGroup {
    Roster roster;
    // The overlay's row of member `id`: the lists show the roster reversed.
    int rowOf(int id) const { return roster.count - id - 1; }
};

// The fake host gives talker and listener the group's roster (each taken once it has answered
// after it); the talker then ticks the listener and the witness and starts talking. Empty when a
// step did not go through.
inline std::optional<VoiceGroup> startTalkingToListenerAndWitness(FakePeer& host, LumoProcess& talker, LumoProcess& listener,
                                                                  OverlayStandIn& talkerLink, Ipv4 witness)
{
    VoiceGroup group;
    group.roster.count = 3;
    group.roster.records[0] = memberAt(0, "talker", talker.memberEndpoint().address);
    group.roster.records[1] = memberAt(1, "listener", listener.memberEndpoint().address);
    group.roster.records[2] = memberAt(2, "witness", witness);
    host.send(makeRosterUpdate(0, group.roster), talker.memberEndpoint());
    host.send(makeRosterUpdate(1, group.roster), listener.memberEndpoint());
    if (!talker.receivedUntilAnswer(host) || !listener.receivedUntilAnswer(host)) return std::nullopt;
    if (!talkerLink.post(link::to_main::SelectMember, group.rowOf(1)) ||
        !talkerLink.post(link::to_main::SelectMember, group.rowOf(2)) || !talkerLink.post(link::to_main::VoiceToggle, 1))
        return std::nullopt;
    return group;
}

}  // namespace lumo::test
