// The presses and releases of one watched key, from the X server's raw key events. The server
// repeats a held key as a release and a press with the same time, read together: a release is
// therefore final only once the events read with it are handled (settle) and no press of the
// same moment took it back. The edges come out in the order the player made them, so a key
// held through its repeats is one press and one release, and two quick taps are two of each.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lumo {

enum class KeyEdge { Down, Up };

class KeyEdges {
public:
    // Each returns the edges to act on now, in order.
    std::vector<KeyEdge> press(std::uint32_t time);
    void release(std::uint32_t time);
    // The events read together have been handled: a release still pending is final.
    std::vector<KeyEdge> settle();
    // The key is no longer watched (it changed, the watch ends): a held key counts as let go.
    std::vector<KeyEdge> reset();
    bool held() const { return held_; }

private:
    bool held_ = false;
    std::optional<std::uint32_t> pendingRelease_;
};

}  // namespace lumo
