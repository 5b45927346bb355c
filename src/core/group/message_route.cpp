#include "core/group/message_route.h"

namespace lumo {

const char* describe(DropReason reason)
{
    switch (reason) {
    case DropReason::None: return "taken";
    case DropReason::TooShort: return "malformed: shorter than a header";
    case DropReason::UnknownMessage: return "not a message of the protocol";
    case DropReason::BadLength: return "malformed: its length does not fit its message";
    case DropReason::UnknownMember: return "names a member outside the roster";
    case DropReason::NotFromHost: return "a host's message not from port 3555 of the joined host";
    case DropReason::NotFromMember: return "a member's message not from where the roster records that member";
    case DropReason::RateLimited: return "its source asks more often than allowed";
    case DropReason::NotAMember: return "no member is recorded at its source";
    case DropReason::SourceFull: return "its source already holds enough members";
    case DropReason::RecordHeld: return "its member still answers at the recorded port";
    }
    return "unknown";
}

DropReason dropReasonOf(WireFault fault)
{
    switch (fault) {
    case WireFault::None: return DropReason::None;
    case WireFault::TooShort: return DropReason::TooShort;
    case WireFault::UnknownMessage: return DropReason::UnknownMessage;
    case WireFault::BadLength: return DropReason::BadLength;
    }
    return DropReason::BadLength;
}

std::uint64_t DropCountsByReason::total() const
{
    std::uint64_t sum = 0;
    for (std::size_t i = 1; i < counts_.size(); ++i) sum += counts_[i];
    return sum;
}

Handler handlerOf(Message message)
{
    switch (message) {
    case Message::JoinRequest:
    case Message::RosterRequest:
    case Message::LeaveNotice:
    case Message::PathRequest:
        return Handler::HostTable;
    case Message::VoiceStopNotice:
    case Message::PathOpener:
    case Message::ChatText:
    case Message::PathConfirm:
    case Message::MemberPathProbe:
    case Message::VoiceDirect:
    case Message::VoiceGroup:
    case Message::Ack:
    case Message::RosterUpdate:
    case Message::HostPathProbe:
        return Handler::MemberSession;
    }
    return Handler::MemberSession;
}

}  // namespace lumo
