#include "core/group/local_addresses.h"

namespace lumo {

std::vector<Ipv4> orderLocalAddresses(const std::vector<Ipv4>& found, std::optional<Ipv4> bindAddress)
{
    if (bindAddress && *bindAddress != 0) return {*bindAddress};
    std::vector<Ipv4> ordered;
    const auto isLoopback = [](Ipv4 a) { return (a >> 24) == 127; };
    for (Ipv4 a : found)
        if (a != 0 && !isLoopback(a)) ordered.push_back(a);
    for (Ipv4 a : found)
        if (isLoopback(a)) ordered.push_back(a);
    return ordered;
}

}  // namespace lumo
