// The silence gate of the capture side: a 60 ms block whose samples are nearly all close to
// zero is not worth sending.
#pragma once

#include <cstdint>

namespace lumo {

// Looks at the high byte of every other sample (bytes 1, 5, 9, ... of a little-endian 16-bit
// block) and calls the block quiet when more than 200 of them lie in -quietLimit..quietLimit;
// with the default limit 2, when more than 200 of those samples lie in -512..767. For a
// 960-byte block 240 bytes are examined. A null block or one of at most one byte is not quiet;
// a negative limit turns the gate off (nothing is quiet).
bool IsQuietBlock(const std::uint8_t* data, int length, int quietLimit = 2);

}  // namespace lumo
