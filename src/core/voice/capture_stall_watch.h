// Whether a microphone that should give a block every 60 ms has fallen silent while talking.
// Some drivers report an unplugged device; others only stop giving blocks, and this tells those
// apart from a working one. Pure logic: it is fed the time and the capture's block count.
#pragma once

#include <cstdint>
#include <optional>

namespace lumo {

class CaptureStallWatch {
public:
    using Millis = std::int64_t;
    static constexpr Millis DefaultLimitMs = 3000;

    // No new block for longer than `limitMs` while watching is a stall.
    void setLimit(Millis limitMs) { limitMs_ = limitMs; }
    Millis limit() const { return limitMs_; }
    // How often look() is worth calling: a third of the limit, so a stall is seen within 4/3 of
    // it (a wake-up a second at the default limit).
    Millis lookEveryMs() const;

    // Talking started (the capture had counted `blocks` so far) or stopped.
    void start(Millis now, std::uint64_t blocks);
    void stop() { watching_ = false; }
    bool watching() const { return watching_; }

    // The capture's count at `now`: true when it stalled, once per stall (the watch then waits a
    // whole limit again before it can say so anew).
    bool look(Millis now, std::uint64_t blocks);

private:
    Millis limitMs_ = DefaultLimitMs;
    bool watching_ = false;
    std::uint64_t blocks_ = 0;
    Millis lastBlockAt_ = 0;
};

}  // namespace lumo
