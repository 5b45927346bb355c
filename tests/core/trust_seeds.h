// Fixed key seeds for the in-memory tests of keys and the handshake: a seed of one repeated byte,
// so that each test's peers are the same on every run.
#pragma once

#include "core/trust/identity.h"

#include <cstdint>

namespace lumo {

inline KeySeed seedOf(std::uint8_t value)
{
    KeySeed seed;
    seed.fill(value);
    return seed;
}

}  // namespace lumo
