#include "voice/reorder_store.h"

namespace lumo {

const VoiceRecord* ReorderStore::find(std::uint32_t sequence) const
{
    for (const VoiceRecord& entry : store_) {
        if (entry.sequence == sequence)
            return &entry;
    }
    return nullptr;
}

ReorderStore::Plan ReorderStore::Step(const VoiceRecord& record)
{
    Plan plan;
    auto decode = [&plan](const VoiceRecord& r, Half half) {
        plan.decodes[plan.decodeCount++] = Decode{r, half};
    };

    const std::uint32_t cur = record.sequence;
    const std::uint32_t L = last_;
    const std::uint32_t d = cur - L;

    if (d == 0)
        return plan;

    if (d == 1) {
        decode(record, Half::A);
        last_ = L + 1;
        plan.playBytes = HalfBytes;
        if (const VoiceRecord* next = find(cur + 1)) {
            decode(*next, Half::B);
            last_ = L + 2;
            plan.playBytes = 2 * HalfBytes;
        }
        return plan;
    }

    if (d == 2) {
        if (const VoiceRecord* missing = find(L + 1)) {
            decode(*missing, Half::A);
            decode(record, Half::B);
            last_ = L + 2;
            plan.playBytes = 2 * HalfBytes;
        } else if (stale(store_[0])) {
            store_[0] = record;  // only entry 0 is considered here
        }
        return plan;
    }

    // d >= 3, including every number from the past.
    for (VoiceRecord& entry : store_) {
        if (stale(entry)) {
            entry = record;
            break;
        }
    }
    if (d >= 8) {  // too far ahead (or behind): resynchronise on this record
        last_ = cur;
        decode(record, Half::A);
        plan.playBytes = HalfBytes;
        return plan;
    }
    if (const VoiceRecord* next = find(L + 1)) {
        decode(*next, Half::A);
        last_ = L + 1;
        plan.playBytes = HalfBytes;
    }
    if (const VoiceRecord* after = find(L + 2)) {
        decode(*after, Half::B);
        last_ = last_ + 1;
        plan.playBytes = 2 * HalfBytes;
    }
    if (last_ == L)
        plan.playBytes = 0;
    return plan;
}

void doubleWithoutSaturation(std::int16_t* samples, int count)
{
    for (int i = 0; i < count; ++i) {
        const auto bits = static_cast<std::uint16_t>(samples[i]);
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 1));
    }
}

}  // namespace lumo
