// Loopback addresses for benchmarks that bind the group's fixed ports: 127.B.x.y in a block B
// this process claims (by holding the member port on 127.B.255.254) for as long as it runs, so
// a bench never meets a running LUMO, a test run or another bench on the same ports.
#pragma once

#include "core/wire/wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace lumo::bench {

inline int loopbackBlock()
{
    static const int block = [] {
        // A random starting block: benches started together do not race for the same one.
        std::mt19937 pick(std::random_device{}());
        const int first = 1 + int(pick() % 254);
        for (int step = 0; step < 254; ++step) {
            const int candidate = 1 + (first - 1 + step) % 254;
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in claim{};
            claim.sin_family = AF_INET;
            claim.sin_port = htons(MemberPort);
            claim.sin_addr.s_addr = htonl(0x7F00FFFEu | (std::uint32_t(candidate) << 16));
            if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&claim), sizeof claim) == 0)
                return candidate;  // kept open: the claim lasts as long as the process
            if (fd >= 0) ::close(fd);
        }
        std::printf("no loopback address has UDP port %d free (a LUMO bound to every address?)\n", int(MemberPort));
        std::exit(1);
    }();
    return block;
}

// 127.B.(last >> 8).(last & 0xFF)
inline Ipv4 loopback(int last) { return 0x7F000000u | (Ipv4(loopbackBlock()) << 16) | Ipv4(last & 0xFFFF); }

inline sockaddr_in socketAddress(Endpoint at)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(at.port);
    a.sin_addr.s_addr = htonl(at.address);
    return a;
}

// A UDP descriptor bound to `at` (port 0: any free one), or -1.
inline int boundSocket(Endpoint at)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = socketAddress(at);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// The value of `--seconds S` on the command line (`fallback` without one), at least `least`.
inline double secondsArgument(int argc, char** argv, double fallback, double least)
{
    double value = fallback;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds") value = std::atof(argv[i + 1]);
    return std::max(least, value);
}

inline double seconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The machine's load while the bench runs, for the figures' context.
inline std::string loadAverage()
{
    double one = 0, five = 0, fifteen = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &one, &five, &fifteen) != 3) one = five = fifteen = 0;
        std::fclose(f);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
    return text;
}

struct Spread {
    double min = 0, median = 0, max = 0;
};
inline Spread spread(std::vector<double> values)
{
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

inline double percentile(std::vector<double>& sorted, double q)
{
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, std::size_t(q * double(sorted.size() - 1) + 0.5))];
}

}  // namespace lumo::bench
