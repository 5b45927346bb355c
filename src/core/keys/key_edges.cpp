#include "core/keys/key_edges.h"

namespace lumo {

std::vector<KeyEdge> KeyEdges::press(std::uint32_t time)
{
    if (pendingRelease_) {
        const bool repeat = *pendingRelease_ == time;
        pendingRelease_.reset();
        if (repeat) return {};
        // A release at another moment was real: the key went up and down again.
        return {KeyEdge::Up, KeyEdge::Down};
    }
    if (held_) return {};
    held_ = true;
    return {KeyEdge::Down};
}

void KeyEdges::release(std::uint32_t time)
{
    if (held_) pendingRelease_ = time;
}

std::vector<KeyEdge> KeyEdges::settle()
{
    if (!pendingRelease_) return {};
    pendingRelease_.reset();
    held_ = false;
    return {KeyEdge::Up};
}

std::vector<KeyEdge> KeyEdges::reset()
{
    pendingRelease_.reset();
    if (!held_) return {};
    held_ = false;
    return {KeyEdge::Up};
}

}  // namespace lumo
