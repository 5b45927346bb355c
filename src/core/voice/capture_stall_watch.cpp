#include "core/voice/capture_stall_watch.h"

#include <algorithm>

namespace lumo {

CaptureStallWatch::Millis CaptureStallWatch::lookEveryMs() const { return std::clamp<Millis>(limitMs_ / 3, 20, 1000); }

void CaptureStallWatch::start(Millis now, std::uint64_t blocks)
{
    watching_ = true;
    blocks_ = blocks;
    lastBlockAt_ = now;
}

bool CaptureStallWatch::look(Millis now, std::uint64_t blocks)
{
    if (!watching_) return false;
    if (blocks != blocks_) {
        blocks_ = blocks;
        lastBlockAt_ = now;
        return false;
    }
    if (now - lastBlockAt_ <= limitMs_) return false;
    lastBlockAt_ = now;
    return true;
}

}  // namespace lumo
