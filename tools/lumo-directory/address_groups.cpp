#include "address_groups.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace lumo::directory {

namespace {

// The IPv6 network of `address` (an address, or a network text ending in "/N") cut to `bits`
// (a multiple of 8), as "prefix::/bits"; empty when it is no IPv6 address.
std::string ipv6Network(const std::string& address, int bits)
{
    in6_addr a6{};
    const std::string bare = address.substr(0, address.find('/'));
    if (bare.find(':') == std::string::npos || inet_pton(AF_INET6, bare.c_str(), &a6) != 1) return {};
    std::memset(&a6.s6_addr[bits / 8], 0, static_cast<std::size_t>(16 - bits / 8));
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a6, text, sizeof text);
    return std::string(text) + "/" + std::to_string(bits);
}

}  // namespace

std::string addressGroup(const std::string& address)
{
    if (address.find('/') != std::string::npos) return address;
    const std::string network = ipv6Network(address, 64);
    return network.empty() ? address : network;
}

std::string addressBlock(const std::string& address)
{
    in_addr a4{};
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1) {
        a4.s_addr &= htonl(0xFFFFFF00u);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a4, text, sizeof text);
        return std::string(text) + "/24";
    }
    const std::string network = ipv6Network(address, 48);
    return network.empty() ? address : network;
}

std::string addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (!address) return {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &a6, text, sizeof text);
        }
    }
    return text;
}

}  // namespace lumo::directory
