#include "voice/far_end_reference.h"

#include <algorithm>

namespace lumo {

namespace {

constexpr std::int64_t RingMask = FarEndReference::RingSamples - 1;
static_assert((FarEndReference::RingSamples & RingMask) == 0, "the ring size is a power of two");

}  // namespace

FarEndReference::Writer::Writer(FarEndReference* reference)
{
    if (!reference) return;
    for (Ring& ring : reference->rings_) {
        bool free = false;
        if (!ring.taken.compare_exchange_strong(free, true, std::memory_order_acq_rel)) continue;
        ring.written.store(0, std::memory_order_relaxed);
        // Readers that see the new generation start over with this writer's samples.
        ring.generation.fetch_add(1, std::memory_order_release);
        ring_ = &ring;
        return;
    }
}

FarEndReference::Writer::~Writer()
{
    if (ring_) ring_->taken.store(false, std::memory_order_release);
}

void FarEndReference::Writer::write(const std::int16_t* samples, int count)
{
    if (!ring_ || !samples || count <= 0) return;
    std::int64_t written = ring_->written.load(std::memory_order_relaxed);
    if (count > RingSamples) {
        // Only the newest ring's worth can be kept.
        written += count - RingSamples;
        samples += count - RingSamples;
        count = RingSamples;
    }
    for (int i = 0; i < count; ++i)
        ring_->samples[std::size_t((written + i) & RingMask)].store(samples[i], std::memory_order_relaxed);
    ring_->written.store(written + count, std::memory_order_release);
}

void FarEndReference::Reader::read(std::int16_t* out, int count)
{
    if (!out || count <= 0) return;
    const int n = std::min(count, MaxReadSamples);
    std::array<std::int32_t, MaxReadSamples> sum{};
    std::array<std::int16_t, MaxReadSamples> part{};
    sources_ = 0;
    for (int s = 0; s < Slots; ++s) {
        Ring& ring = reference_.rings_[std::size_t(s)];
        Follow& follow = follow_[std::size_t(s)];
        if (!ring.taken.load(std::memory_order_acquire)) {
            follow.active = false;
            continue;
        }
        const std::uint32_t generation = ring.generation.load(std::memory_order_acquire);
        const std::int64_t written = ring.written.load(std::memory_order_acquire);
        if (!follow.active || follow.generation != generation) {
            follow = Follow{true, generation, written - n - FirstMargin, FirstMargin};
        } else {
            const std::int64_t ready = written - follow.cursor;
            if (ready < n) {
                // Ran dry: this output hands over its samples in bigger bursts than the margin.
                follow.margin = std::min(follow.margin * 2, MaxMargin);
                follow.cursor = written - n - follow.margin;
                ++resyncs_;
            } else if (ready > n + follow.margin + DriftSlack) {
                follow.cursor = written - n - follow.margin;
                ++resyncs_;
            }
        }
        for (int i = 0; i < n; ++i) {
            const std::int64_t at = follow.cursor + i;  // before the writer's first sample: silence
            part[std::size_t(i)] =
                at < 0 ? std::int16_t{0} : ring.samples[std::size_t(at & RingMask)].load(std::memory_order_relaxed);
        }
        // A reader that stalled for a whole ring may have read samples the writer was replacing.
        const bool lapped = ring.written.load(std::memory_order_acquire) - follow.cursor > RingSamples;
        follow.cursor += n;
        if (lapped) continue;
        for (int i = 0; i < n; ++i) sum[std::size_t(i)] += part[std::size_t(i)];
        ++sources_;
    }
    for (int i = 0; i < n; ++i) out[i] = std::int16_t(std::clamp(sum[std::size_t(i)], -32768, 32767));
    std::fill(out + n, out + count, std::int16_t{0});
}

}  // namespace lumo
