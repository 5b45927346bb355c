#pragma once

#include "core/wire/wire.h"

#include <optional>
#include <vector>

namespace lumo {

// Orders the machine's IPv4 addresses the way the program reports itself: the bind address alone
// when one is given; otherwise non-loopback addresses first (a Debian host name often resolves to
// 127.0.1.1, which no other member could reach), then loopback ones, each group in the order found.
std::vector<Ipv4> orderLocalAddresses(const std::vector<Ipv4>& found, std::optional<Ipv4> bindAddress);

}  // namespace lumo
