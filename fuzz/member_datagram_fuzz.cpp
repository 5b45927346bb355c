// A client receiving a run of datagrams on its sockets, as the endpoint handles them: each is
// read once and goes by its message to the client's host table or the member-side dispatch.
// The group state lives across the datagrams of one input, so a roster received early is what
// later probes, chat and voice are checked against (each input starts from a fresh client, so a
// finding replays from its input file alone).
#include "fuzz_support.h"

#include "core/group/member_dispatch.h"

using namespace lumo;
using Action = MemberDispatch::Action;

namespace {

bool sameRoster(const Roster& a, const Roster& b) { return a.count == b.count && a.records == b.records; }

Endpoint publicEndpoint(const Roster& roster, int id)
{
    return {roster.records[id].publicAddress, roster.records[id].publicPort};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    MemberState state;
    state.ownEntry.id = UnassignedId;
    HostTable host;

    while (!input.empty()) {
        const auto [control, datagram] = input.datagram();
        if (datagram.empty()) continue;  // the socket skips empty reads
        const Endpoint source = fuzz::sourceOf(control);
        const MemberState before = state;

        const WireRead read = readMessage(datagram);
        if (!read.message) {
            FUZZ_CHECK(read.fault != WireFault::None);
            continue;
        }
        if (handlerOf(read.message->message) == Handler::HostTable) {
            const HostReply reply = host.receive(*read.message, source, 0);
            fuzz::checkTable(host.roster());
            fuzz::checkHostSends(reply, host.roster().count, false);
            for (const std::string& name : reply.leftNames) fuzz::checkShownText(name);
            continue;
        }
        const MemberDispatch result = dispatchMemberMessage(state, *read.message);
        FUZZ_CHECK((result.action == Action::Dropped) == (result.why != DropReason::None));

        FUZZ_CHECK(state.groupRoster.count >= 0 && state.groupRoster.count <= RosterCapacity);
        if (result.action != Action::RosterReplaced) {
            // Only a roster changes the group state.
            FUZZ_CHECK(sameRoster(state.groupRoster, before.groupRoster) && state.ownEntry == before.ownEntry);
        }
        const Roster& roster = state.groupRoster;
        switch (result.action) {
        case Action::RosterReplaced:
            if (roster.count > 0) FUZZ_CHECK(state.ownEntry == roster.records[datagram[1]]);
            for (int i = 0; i < roster.count; ++i) fuzz::checkShownText(roster.records[i].nameBytes());
            break;
        case Action::ProbeRelayed:
        case Action::ProbeAnswered:
            // Sent only to a member of the roster, and only a four-byte header.
            FUZZ_CHECK(result.send && result.send->bytes.size() == HeaderSize);
            FUZZ_CHECK(roster.holds(datagram[2]) && result.send->to == publicEndpoint(roster, datagram[2]));
            break;
        case Action::ChatArrived:
            FUZZ_CHECK(roster.holds(result.chatSender));
            FUZZ_CHECK(result.chatText.size() == datagram.size() - HeaderSize);
            fuzz::checkShownText(result.chatText);
            break;
        case Action::VoiceArrived:
            FUZZ_CHECK(roster.holds(result.voiceSender));
            break;
        default:
            break;
        }
        if (result.action != Action::ProbeRelayed && result.action != Action::ProbeAnswered) FUZZ_CHECK(!result.send);
    }
    return 0;
}
