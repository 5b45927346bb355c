// Voice between members, as pure logic: where a captured block is sent, and the per-member
// slots of the receiving side with the player's answer to each member (the players that go with
// the slots belong to whoever owns the sound devices).
#pragma once

#include "core/link/link_records.h"
#include "core/wire/wire.h"

#include <array>
#include <cstdint>
#include <vector>

namespace lumo {

// Up to 8 ticked members that receive this client's voice; the first 8 ticked rows win.
struct VoiceTargetList {
    static constexpr int Capacity = 8;
    std::array<int, Capacity> ids{-1, -1, -1, -1, -1, -1, -1, -1};
    int count = 0;
};

// Everything the capture thread needs to address one block, taken together by the user-interface
// thread whenever any of it changes, so the capture thread never sees half an update.
struct VoiceSendPlan {
    std::uint8_t command = cmd::VoiceGroup;  // VoiceGroup to the targets, VoiceDirect to the partner
    std::uint8_t senderId = 0;
    struct Target {
        std::uint8_t id;
        Endpoint to;
    };
    std::vector<Target> targets;

    std::vector<Outgoing> datagrams(const VoiceRecord& record) const;

    // The same datagrams written into a buffer the caller keeps (the capture thread keeps one),
    // so that a block is addressed without touching the heap. At most Capacity targets.
    struct Block {
        static constexpr int Capacity = 8;
        std::array<std::array<std::uint8_t, VoiceDatagramSize>, Capacity> bytes;
        std::array<Endpoint, Capacity> to;
        int count = 0;
    };
    void fill(const VoiceRecord& record, Block& out) const;
};

// Group mode: every target that has a roster entry; otherwise the voice partner alone, if it has
// one. Ids without a roster entry are never sent to.
VoiceSendPlan makeVoiceSendPlan(bool groupVoiceMode, const VoiceTargetList& targets, int voicePartner,
                                const Roster& roster, const MemberEntry& own);

// The player's answer to a member's voice (NotAsked 0, Accepted 6, Refused 7: the values a
// Yes/No box returns), as the overlay's link also carries it.
using VoiceAnswer = link::VoiceAnswer;

struct PeerSlot {
    int memberId = -1;  // -1: free
    std::uint32_t lastHeard = 0;
    VoiceAnswer answer = VoiceAnswer::NotAsked;
};

// At most 16 members are heard at the same time.
class PeerSlots {
public:
    static constexpr int Count = 16;
    static constexpr std::uint32_t SilentTicks = 512;

    PeerSlot* find(int memberId);
    PeerSlot* firstFree();
    // Sets the answer of the first slot of that member; false when it has none.
    bool setAnswer(int memberId, VoiceAnswer answer);
    // Frees every slot whose member has been silent for more than 512 ticks. Returns the indices
    // freed, so that their players can be released.
    std::vector<int> sweepSilent(std::uint32_t now);
    int indexOf(const PeerSlot& slot) const { return int(&slot - slots_.data()); }
    const std::array<PeerSlot, Count>& all() const { return slots_; }
    std::array<PeerSlot, Count>& entries() { return slots_; }

private:
    std::array<PeerSlot, Count> slots_;
};

}  // namespace lumo
