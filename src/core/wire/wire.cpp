#include "core/wire/wire.h"

#include "core/text/gbk.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace lumo {

namespace {

void put16(std::uint8_t* out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putAddress(std::uint8_t* out, Ipv4 address)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
}

std::uint16_t get16(const std::uint8_t* in) { return static_cast<std::uint16_t>(in[0] | (in[1] << 8)); }

std::uint32_t get32(const std::uint8_t* in)
{
    return std::uint32_t(in[0]) | (std::uint32_t(in[1]) << 8) | (std::uint32_t(in[2]) << 16) |
           (std::uint32_t(in[3]) << 24);
}

Ipv4 getAddress(const std::uint8_t* in)
{
    return (Ipv4(in[0]) << 24) | (Ipv4(in[1]) << 16) | (Ipv4(in[2]) << 8) | Ipv4(in[3]);
}

}  // namespace

std::string dottedAddress(Ipv4 address)
{
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::optional<Ipv4> parseDottedAddress(std::string_view text)
{
    Ipv4 address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') return std::nullopt;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') return std::nullopt;
        unsigned value = 0;
        auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || value > 255 || next - p > 3) return std::nullopt;
        address = (address << 8) | value;
        p = next;
    }
    if (p != end) return std::nullopt;
    return address;
}

std::string MemberEntry::nameBytes() const
{
    const auto end = std::find(name.begin(), name.end(), '\0');
    return std::string(name.begin(), end);
}

void MemberEntry::setName(std::string_view gbk)
{
    name.fill('\0');
    const std::size_t length = gbkPrefixLength(gbk, NameSize);
    std::copy_n(gbk.begin(), length, name.begin());
}

void encodeMemberEntry(const MemberEntry& entry, std::uint8_t* out)
{
    std::memcpy(out, entry.name.data(), NameSize);
    put16(out + 16, entry.id);
    put16(out + 18, entry.reserved);
    put16(out + 20, entry.localPort);
    put16(out + 22, entry.publicPort);
    putAddress(out + 24, entry.localAddress);
    putAddress(out + 28, entry.publicAddress);
}

MemberEntry decodeMemberEntry(const std::uint8_t* in)
{
    MemberEntry entry;
    std::memcpy(entry.name.data(), in, NameSize);
    entry.id = get16(in + 16);
    entry.reserved = get16(in + 18);
    entry.localPort = get16(in + 20);
    entry.publicPort = get16(in + 22);
    entry.localAddress = getAddress(in + 24);
    entry.publicAddress = getAddress(in + 28);
    return entry;
}

void encodeVoiceRecord(const VoiceRecord& record, std::uint8_t* out)
{
    put32(out, record.sequence);
    std::memcpy(out + 4, record.speech.data(), VoiceSpeechSize);
}

VoiceRecord decodeVoiceRecord(const std::uint8_t* in)
{
    VoiceRecord record;
    record.sequence = get32(in);
    std::memcpy(record.speech.data(), in + 4, VoiceSpeechSize);
    return record;
}

Bytes makeHeaderOnly(std::uint8_t command, std::uint8_t firstId, std::uint8_t secondId, Kind kind)
{
    return Bytes{command, firstId, secondId, static_cast<std::uint8_t>(kind)};
}

Bytes makeEntryDatagram(std::uint8_t command, std::uint8_t firstId, std::uint8_t secondId, Kind kind,
                        const MemberEntry& entry)
{
    Bytes bytes = makeHeaderOnly(command, firstId, secondId, kind);
    bytes.resize(EntryDatagramSize);
    encodeMemberEntry(entry, bytes.data() + HeaderSize);
    return bytes;
}

Bytes makeRosterUpdate(std::uint8_t recipientIndex, const Roster& roster)
{
    const int count = std::clamp(roster.count, 0, MaxGroupMembers);
    Bytes bytes = makeHeaderOnly(cmd::RosterUpdate, recipientIndex, 0, Kind::FromHost);
    bytes.resize(RosterUpdateHeaderSize + MemberEntrySize * count);
    put32(bytes.data() + 4, static_cast<std::uint32_t>(count));
    for (int i = 0; i < count; ++i)
        encodeMemberEntry(roster.records[i], bytes.data() + RosterUpdateHeaderSize + MemberEntrySize * i);
    return bytes;
}

Bytes makeChatText(std::uint8_t recipientId, std::uint8_t senderId, std::string_view gbkText)
{
    Bytes bytes = makeHeaderOnly(cmd::ChatText, recipientId, senderId, Kind::PeerToPeer);
    bytes.insert(bytes.end(), gbkText.begin(), gbkText.end());
    return bytes;
}

Bytes makeVoiceDatagram(std::uint8_t command, std::uint8_t recipientId, std::uint8_t senderId,
                        const VoiceRecord& record)
{
    Bytes bytes = makeHeaderOnly(command, recipientId, senderId, Kind::PeerToPeer);
    bytes.resize(VoiceDatagramSize);
    encodeVoiceRecord(record, bytes.data() + HeaderSize);
    return bytes;
}

std::optional<DatagramHeader> readHeader(ByteView datagram)
{
    if (datagram.size() < HeaderSize) return std::nullopt;
    return DatagramHeader{datagram[0], datagram[1], datagram[2], datagram[3]};
}

std::optional<Message> identify(const DatagramHeader& header)
{
    switch (header.kind) {
    case 3:
        switch (header.command) {
        case cmd::JoinRequest: return Message::JoinRequest;
        case cmd::RosterRequest: return Message::RosterRequest;
        case cmd::LeaveNotice: return Message::LeaveNotice;
        case cmd::PathRequest: return Message::PathRequest;
        }
        break;
    case 2:
        switch (header.command) {
        case cmd::VoiceStopNotice: return Message::VoiceStopNotice;
        case cmd::PathOpener: return Message::PathOpener;
        case cmd::ChatText: return Message::ChatText;
        case cmd::PathConfirm: return Message::PathConfirm;
        case cmd::PathProbe: return Message::MemberPathProbe;
        case cmd::VoiceDirect: return Message::VoiceDirect;
        case cmd::VoiceGroup: return Message::VoiceGroup;
        }
        break;
    case 1:
        switch (header.command) {
        case cmd::Ack: return Message::Ack;
        case cmd::RosterUpdate: return Message::RosterUpdate;
        case cmd::PathProbe: return Message::HostPathProbe;
        }
        break;
    }
    return std::nullopt;
}

bool lengthFits(Message message, ByteView datagram)
{
    const std::size_t size = datagram.size();
    if (size < HeaderSize || size > MaxDatagramSize) return false;
    switch (message) {
    case Message::JoinRequest:
    case Message::RosterRequest:
    case Message::LeaveNotice:
    case Message::PathRequest:
    case Message::PathOpener:
        return size >= EntryDatagramSize;
    case Message::VoiceDirect:
    case Message::VoiceGroup:
        return size >= VoiceDatagramSize;
    case Message::RosterUpdate: {
        if (size < RosterUpdateHeaderSize) return false;
        const auto count = static_cast<std::int32_t>(get32(datagram.data() + 4));
        if (count < 0 || count > RosterCapacity) return false;
        return size >= RosterUpdateHeaderSize + MemberEntrySize * static_cast<std::size_t>(count);
    }
    case Message::VoiceStopNotice:
    case Message::ChatText:
    case Message::PathConfirm:
    case Message::MemberPathProbe:
    case Message::Ack:
    case Message::HostPathProbe:
        return true;
    }
    return false;
}

Roster readRosterUpdate(ByteView datagram)
{
    Roster roster;
    roster.count = static_cast<std::int32_t>(get32(datagram.data() + 4));
    for (int i = 0; i < roster.count; ++i)
        roster.records[i] = decodeMemberEntry(datagram.data() + RosterUpdateHeaderSize + MemberEntrySize * i);
    return roster;
}

}  // namespace lumo
