#include "core/voice/voice_streams.h"

namespace lumo {

std::vector<Outgoing> VoiceSendPlan::datagrams(const VoiceRecord& record) const
{
    std::vector<Outgoing> out;
    out.reserve(targets.size());
    for (const Target& target : targets)
        out.push_back({target.to, makeVoiceDatagram(command, target.id, senderId, record)});
    return out;
}

void VoiceSendPlan::fill(const VoiceRecord& record, Block& out) const
{
    out.count = 0;
    if (targets.empty()) return;
    // Every target's datagram differs from the first only in the recipient byte.
    std::array<std::uint8_t, VoiceDatagramSize>& first = out.bytes[0];
    // The header as makeHeaderOnly lays it out: command, recipient, sender, kind.
    first[0] = command;
    first[1] = targets[0].id;
    first[2] = senderId;
    first[3] = static_cast<std::uint8_t>(Kind::PeerToPeer);
    encodeVoiceRecord(record, first.data() + HeaderSize);
    for (const Target& target : targets) {
        if (out.count == Block::Capacity) break;
        std::array<std::uint8_t, VoiceDatagramSize>& bytes = out.bytes[std::size_t(out.count)];
        if (out.count > 0) {
            bytes = first;
            bytes[1] = target.id;
        }
        out.to[std::size_t(out.count)] = target.to;
        ++out.count;
    }
}

VoiceSendPlan makeVoiceSendPlan(bool groupVoiceMode, const VoiceTargetList& targets, int voicePartner,
                                const Roster& roster, const MemberEntry& own)
{
    VoiceSendPlan plan;
    plan.senderId = idByte(own.id);
    auto add = [&](int id) {
        if (!roster.holds(id)) return;
        const MemberEntry& entry = roster.records[id];
        plan.targets.push_back({idByte(id), {entry.publicAddress, entry.publicPort}});
    };
    if (groupVoiceMode) {
        plan.command = cmd::VoiceGroup;
        for (int i = 0; i < targets.count && i < VoiceTargetList::Capacity; ++i) add(targets.ids[i]);
    } else {
        plan.command = cmd::VoiceDirect;
        add(voicePartner);
    }
    return plan;
}

PeerSlot* PeerSlots::find(int memberId)
{
    for (PeerSlot& slot : slots_)
        if (slot.memberId == memberId && memberId >= 0) return &slot;
    return nullptr;
}

PeerSlot* PeerSlots::firstFree()
{
    for (PeerSlot& slot : slots_)
        if (slot.memberId < 0) return &slot;
    return nullptr;
}

bool PeerSlots::setAnswer(int memberId, VoiceAnswer answer)
{
    PeerSlot* slot = find(memberId);
    if (!slot) return false;
    slot->answer = answer;
    return true;
}

std::vector<int> PeerSlots::sweepSilent(std::uint32_t now)
{
    std::vector<int> freed;
    for (PeerSlot& slot : slots_) {
        if (slot.memberId < 0 || now - slot.lastHeard <= SilentTicks) continue;
        slot.memberId = -1;
        slot.answer = VoiceAnswer::NotAsked;
        freed.push_back(indexOf(slot));
    }
    return freed;
}

}  // namespace lumo
