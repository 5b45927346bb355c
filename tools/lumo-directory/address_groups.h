// The units the directory's limits count callers in. One subscriber usually holds a whole IPv6
// /64 and a provider hands out whole /48s, and one IPv4 /24 is commonly one provider's pool or
// one site: a caller must not escape a limit by taking another address of its own network.
#pragma once

#include <string>

struct sockaddr;

namespace lumo::directory {

// The unit the per-address limits count: an IPv4 address itself; for IPv6, its /64 network
// ("2001:db8:1:2::/64"). Text that is no address is returned as it is.
std::string addressGroup(const std::string& address);

// The network the per-network registration limit counts: an IPv4 /24 ("192.0.2.0/24"), an
// IPv6 /48 ("2001:db8:1::/48"). Takes an address or an addressGroup() text. Text that is no
// address is returned as it is.
std::string addressBlock(const std::string& address);

// A socket address as text; an IPv4 caller on an IPv6 socket is shown as IPv4. Empty for
// other families.
std::string addressText(const sockaddr* address);

}  // namespace lumo::directory
