// Shared by the fuzz programs: reading one fuzz input as a run of records, the check that stops
// a run when the program breaks one of its own rules, and the host-side rules every reply keeps.
#pragma once

#include "core/text/gbk.h"
#include "core/wire/wire.h"
#include "core/group/host_table.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Unlike assert, stays on in optimised builds: a broken rule is a finding like a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace lumo::fuzz {

// A fuzz input read front to back. Reads past the end give zeros or short views, never fail.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    std::size_t left() const { return left_; }

    std::uint8_t byte()
    {
        if (left_ == 0) return 0;
        --left_;
        return *data_++;
    }
    std::uint32_t u32()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= std::uint32_t(byte()) << (8 * i);
        return value;
    }
    // Up to n bytes (fewer at the end of the input).
    ByteView take(std::size_t n)
    {
        const std::size_t count = n < left_ ? n : left_;
        const ByteView view(data_, count);
        data_ += count;
        left_ -= count;
        return view;
    }

    // One datagram as the seed program writes it: a control byte, a two-byte little-endian length
    // (taken modulo 1,025, as no receiver reads more than 1,024 bytes) and the bytes.
    struct Datagram {
        std::uint8_t control = 0;
        ByteView bytes;
    };
    Datagram datagram()
    {
        Datagram d;
        d.control = byte();
        const std::size_t length = (byte() | (std::size_t(byte()) << 8)) % (MaxDatagramSize + 1);
        d.bytes = take(length);
        return d;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

// The datagram's source as the socket reports it: one of 32 loopback addresses 127.0.1.1 to
// 127.0.1.32 (bits 0-4 of the control byte), from the member port or another port (bit 5).
inline Endpoint sourceOf(std::uint8_t control)
{
    return {0x7F000101u + (control & 0x1Fu), static_cast<std::uint16_t>((control & 0x20) ? 40000 : MemberPort)};
}
// Bit 6: the host's timer sweeps duplicate members after this datagram.
inline bool sweepAfter(std::uint8_t control) { return (control & 0x40) != 0; }

inline bool validUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

// What a window shows of GBK bytes from outside: always valid UTF-8, whatever came in.
inline void checkShownText(std::string_view gbk) { FUZZ_CHECK(validUtf8(gbkToUtf8(gbk))); }

// The host table's own rules: at most 31 members, and every id equal to its index.
inline void checkTable(const Roster& roster)
{
    FUZZ_CHECK(roster.count >= 0 && roster.count <= MaxGroupMembers);
    for (int i = 0; i < roster.count; ++i) FUZZ_CHECK(roster.records[i].id == i);
}

// Every datagram the host sends is one a member accepts: a well-formed kind-1 message within
// 1,024 bytes; a roster holds the whole table (finalCount unless the table changed between
// broadcasts, as in a sweep) and names its recipient's own record.
inline void checkHostSends(const HostReply& reply, int finalCount, bool countMayShrink)
{
    for (const Outgoing& out : reply.sends) {
        const auto header = readHeader(out.bytes);
        FUZZ_CHECK(header && header->kind == static_cast<std::uint8_t>(Kind::FromHost));
        const auto message = identify(*header);
        FUZZ_CHECK(message && lengthFits(*message, out.bytes));
        if (*message != Message::RosterUpdate) continue;
        const Roster sent = readRosterUpdate(out.bytes);
        FUZZ_CHECK(countMayShrink ? sent.count >= finalCount : sent.count == finalCount);
        FUZZ_CHECK(sent.count <= MaxGroupMembers && sent.holds(header->firstId));
        const MemberEntry& recipient = sent.records[header->firstId];
        FUZZ_CHECK((out.to == Endpoint{recipient.publicAddress, recipient.publicPort}));
    }
}

}  // namespace lumo::fuzz
