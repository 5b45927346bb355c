#include "core/link/member_state_of.h"

#include <algorithm>

namespace lumo::link {

namespace {

PathMark pathMarkOf(bool pathOpen, PeerKeyState key)
{
    switch (key) {
    case PeerKeyState::KeyChanged: return PathMark::KeyChanged;
    case PeerKeyState::Checking: return PathMark::None;  // no "OK" before the key proved itself
    case PeerKeyState::Sealed: return pathOpen ? PathMark::Sealed : PathMark::None;
    case PeerKeyState::None:
    case PeerKeyState::Plain: break;
    }
    return pathOpen ? PathMark::Open : PathMark::None;
}

VoiceMark voiceMarkOf(VoiceState voice)
{
    switch (voice) {
    case VoiceState::Chatting: return VoiceMark::Chatting;
    case VoiceState::NotChatting: return VoiceMark::NotChatting;
    case VoiceState::Waiting: return VoiceMark::Waiting;
    case VoiceState::Prompt: return VoiceMark::Prompt;
    case VoiceState::None: break;
    }
    return VoiceMark::None;
}

}  // namespace

MemberState memberStateOf(int id, const MemberStatus& status, PeerKeyState key, int talkingPercent)
{
    const std::uint8_t talking =
        talkingPercent < 0 ? NotTalking : std::uint8_t(std::min<int>(talkingPercent, MaxTalkingLevel));
    return {id, pathMarkOf(status.pathOpen, key), voiceMarkOf(status.voice), talking};
}

}  // namespace lumo::link
