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

namespace {

// One row per message, in the order of the Message enumeration.
constexpr std::array<MessageSpec, 14> Specs{{
    {Message::JoinRequest, cmd::JoinRequest, Kind::ToHost, EntryDatagramSize, "JoinRequest"},
    {Message::RosterRequest, cmd::RosterRequest, Kind::ToHost, EntryDatagramSize, "RosterRequest"},
    {Message::LeaveNotice, cmd::LeaveNotice, Kind::ToHost, EntryDatagramSize, "LeaveNotice"},
    {Message::PathRequest, cmd::PathRequest, Kind::ToHost, EntryDatagramSize, "PathRequest"},
    {Message::VoiceStopNotice, cmd::VoiceStopNotice, Kind::PeerToPeer, HeaderSize, "VoiceStopNotice"},
    {Message::PathOpener, cmd::PathOpener, Kind::PeerToPeer, EntryDatagramSize, "PathOpener"},
    {Message::ChatText, cmd::ChatText, Kind::PeerToPeer, HeaderSize, "ChatText"},
    {Message::PathConfirm, cmd::PathConfirm, Kind::PeerToPeer, HeaderSize, "PathConfirm"},
    {Message::MemberPathProbe, cmd::PathProbe, Kind::PeerToPeer, HeaderSize, "MemberPathProbe"},
    {Message::VoiceDirect, cmd::VoiceDirect, Kind::PeerToPeer, VoiceDatagramSize, "VoiceDirect"},
    {Message::VoiceGroup, cmd::VoiceGroup, Kind::PeerToPeer, VoiceDatagramSize, "VoiceGroup"},
    {Message::Ack, cmd::Ack, Kind::FromHost, HeaderSize, "Ack"},
    {Message::RosterUpdate, cmd::RosterUpdate, Kind::FromHost, RosterUpdateHeaderSize, "RosterUpdate"},
    {Message::HostPathProbe, cmd::PathProbe, Kind::FromHost, HeaderSize, "HostPathProbe"},
}};

constexpr bool specsInOrder()
{
    for (std::size_t i = 0; i < Specs.size(); ++i)
        if (std::size_t(Specs[i].message) != i) return false;
    return true;
}
static_assert(specsInOrder(), "Specs has one row per Message, in the enumeration's order");

// Kind (0..3) and command to the row of the message they announce; -1 for none.
constexpr auto MessageByKindAndCommand = [] {
    std::array<std::array<std::int8_t, 256>, 4> table{};
    for (auto& commands : table) commands.fill(-1);
    for (std::size_t i = 0; i < Specs.size(); ++i)
        table[std::size_t(Specs[i].kind)][Specs[i].command] = std::int8_t(i);
    return table;
}();

// The records a RosterUpdate says it carries, when they are all there; nullopt otherwise.
std::optional<std::int32_t> rosterCount(ByteView datagram)
{
    if (datagram.size() < RosterUpdateHeaderSize) return std::nullopt;
    const auto count = static_cast<std::int32_t>(get32(datagram.data() + 4));
    if (count < 0 || count > RosterCapacity) return std::nullopt;
    if (datagram.size() < RosterUpdateHeaderSize + MemberEntrySize * static_cast<std::size_t>(count)) return std::nullopt;
    return count;
}

}  // namespace

const MessageSpec& specOf(Message message) { return Specs[std::size_t(message)]; }

std::optional<Message> identify(const DatagramHeader& header)
{
    if (header.kind >= MessageByKindAndCommand.size()) return std::nullopt;
    const std::int8_t row = MessageByKindAndCommand[header.kind][header.command];
    if (row < 0) return std::nullopt;
    return Specs[std::size_t(row)].message;
}

bool lengthFits(Message message, ByteView datagram)
{
    const std::size_t size = datagram.size();
    if (size > MaxDatagramSize || size < specOf(message).minimumSize) return false;
    return message != Message::RosterUpdate || rosterCount(datagram).has_value();
}

WireRead readMessage(ByteView datagram)
{
    WireRead read;
    const auto header = readHeader(datagram);
    if (!header) {
        read.fault = WireFault::TooShort;
        return read;
    }
    read.announced = identify(*header);
    if (!read.announced) {
        read.fault = WireFault::UnknownMessage;
        return read;
    }
    if (!lengthFits(*read.announced, datagram)) {
        read.fault = WireFault::BadLength;
        return read;
    }
    read.message = WireMessage{*header, *read.announced, datagram.subspan(HeaderSize)};
    return read;
}

Roster readRosterUpdate(const WireMessage& message)
{
    Roster roster;
    roster.count = static_cast<std::int32_t>(get32(message.payload.data()));
    for (int i = 0; i < roster.count; ++i)
        roster.records[i] = decodeMemberEntry(message.payload.data() + (RosterUpdateHeaderSize - HeaderSize) + MemberEntrySize * i);
    return roster;
}

MemberEntry readEntry(const WireMessage& message) { return decodeMemberEntry(message.payload.data()); }

VoiceRecord readVoiceRecord(const WireMessage& message) { return decodeVoiceRecord(message.payload.data()); }

Roster readRosterUpdate(ByteView datagram)
{
    Roster roster;
    roster.count = static_cast<std::int32_t>(get32(datagram.data() + 4));
    for (int i = 0; i < roster.count; ++i)
        roster.records[i] = decodeMemberEntry(datagram.data() + RosterUpdateHeaderSize + MemberEntrySize * i);
    return roster;
}

}  // namespace lumo
