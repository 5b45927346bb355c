#include "core/voice/silence_gate.h"

namespace lumo {

bool IsQuietBlock(const std::uint8_t* data, int length, int quietLimit)
{
    if (!data || length <= 1 || quietLimit < 0)
        return false;
    int quietBytes = 0;
    for (int offset = 1; offset < length; offset += 4) {
        const auto high = static_cast<std::int8_t>(data[offset]);
        if (high >= -quietLimit && high <= quietLimit)
            ++quietBytes;
    }
    return quietBytes > 200;
}

}  // namespace lumo
