// The UDP wire format shared by every client: the member record, the roster, the 4-byte
// datagram header, the commands and the builders and readers for each datagram.
// Encoding is byte-exact little-endian regardless of the host's byte order or struct padding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// An IPv4 address as a number: a.b.c.d is (a << 24) | (b << 16) | (c << 8) | d. On the wire the
// four bytes travel in network order, a first.
using Ipv4 = std::uint32_t;

struct Endpoint {
    Ipv4 address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// A datagram to send and where to.
struct Outgoing {
    Endpoint to;
    Bytes bytes;
};

std::string dottedAddress(Ipv4 address);
std::optional<Ipv4> parseDottedAddress(std::string_view text);

inline constexpr std::uint16_t MemberPort = 3550;  // memberSocket
inline constexpr std::uint16_t HostPort = 3555;    // hostSocket
inline constexpr std::uint16_t UnassignedId = 0xCCCC;
inline constexpr std::uint8_t NoPartnerByte = 0xFF;

inline constexpr std::size_t MaxDatagramSize = 1024;   // every receiver reads at most this much
inline constexpr std::size_t HeaderSize = 4;
inline constexpr std::size_t MemberEntrySize = 32;
inline constexpr std::size_t EntryDatagramSize = HeaderSize + MemberEntrySize;  // 36
inline constexpr std::size_t NameSize = 16;
inline constexpr int RosterCapacity = 128;   // ids are one byte on the wire: 0..127
// 8 + 31 * 32 = 1,000 bytes: the most records a RosterUpdate can carry within the 1,024 bytes
// every receiver reads. The host's table holds no more than this, so every member always gets
// the whole group in one datagram.
inline constexpr int MaxGroupMembers = 31;
inline constexpr std::size_t RosterUpdateHeaderSize = 8;
inline constexpr std::size_t MaxChatTextBytes = 252;  // 256-byte datagram less the header
inline constexpr std::size_t VoiceSpeechSize = 60;
inline constexpr std::size_t VoiceRecordSize = 64;
inline constexpr std::size_t VoiceDatagramSize = HeaderSize + VoiceRecordSize;  // 68

enum class Kind : std::uint8_t { FromHost = 1, PeerToPeer = 2, ToHost = 3 };

// Command bytes. Some numbers mean different messages depending on the kind.
namespace cmd {
inline constexpr std::uint8_t JoinRequest = 11;      // kind 3
inline constexpr std::uint8_t RosterRequest = 12;    // kind 3
inline constexpr std::uint8_t LeaveNotice = 13;      // kind 3
inline constexpr std::uint8_t VoiceStopNotice = 13;  // kind 2
inline constexpr std::uint8_t PathRequest = 14;      // kind 3
inline constexpr std::uint8_t PathOpener = 14;       // kind 2
inline constexpr std::uint8_t ChatText = 15;         // kind 2
inline constexpr std::uint8_t Ack = 21;              // kind 1
inline constexpr std::uint8_t PathConfirm = 21;      // kind 2
inline constexpr std::uint8_t RosterUpdate = 22;     // kind 1
inline constexpr std::uint8_t PathProbe = 23;        // kind 1 (from host) and kind 2 (member)
inline constexpr std::uint8_t VoiceDirect = 24;      // kind 2
inline constexpr std::uint8_t VoiceGroup = 25;       // kind 2
}  // namespace cmd

// Every (command, kind) pair the protocol defines.
enum class Message {
    JoinRequest,
    RosterRequest,
    LeaveNotice,
    PathRequest,
    VoiceStopNotice,
    PathOpener,
    ChatText,
    PathConfirm,
    MemberPathProbe,
    VoiceDirect,
    VoiceGroup,
    Ack,
    RosterUpdate,
    HostPathProbe,
};

struct DatagramHeader {
    std::uint8_t command = 0;
    std::uint8_t firstId = 0;   // kinds 1, 2: recipient; kind 3: sender
    std::uint8_t secondId = 0;  // kinds 1, 2: sender or other party; kind 3: member asked about
    std::uint8_t kind = 0;
    bool operator==(const DatagramHeader&) const = default;
};

// The 32-byte member record.
struct MemberEntry {
    std::array<char, NameSize> name{};  // GBK, NUL-padded; a 16-byte name has no terminator
    std::uint16_t id = 0;
    std::uint16_t reserved = 0;
    std::uint16_t localPort = 0;
    std::uint16_t publicPort = 0;
    Ipv4 localAddress = 0;
    Ipv4 publicAddress = 0;

    // The name's bytes up to the first NUL (all 16 when there is none).
    std::string nameBytes() const;
    // Stores a GBK name, cut to 16 bytes on a character boundary, NUL-padded.
    void setName(std::string_view gbk);
    // Where the host saw the member's datagrams come from.
    Endpoint publicEndpoint() const { return {publicAddress, publicPort}; }

    bool operator==(const MemberEntry&) const = default;
};

struct Roster {
    std::int32_t count = 0;
    std::array<MemberEntry, RosterCapacity> records{};

    bool holds(int id) const { return id >= 0 && id < count && id < RosterCapacity; }
};

struct VoiceRecord {
    std::uint32_t sequence = 0;
    std::array<std::uint8_t, VoiceSpeechSize> speech{};
    bool operator==(const VoiceRecord&) const = default;
};

// --- encoding ---------------------------------------------------------------------------
void encodeMemberEntry(const MemberEntry& entry, std::uint8_t* out32);
MemberEntry decodeMemberEntry(const std::uint8_t* in32);
void encodeVoiceRecord(const VoiceRecord& record, std::uint8_t* out64);
VoiceRecord decodeVoiceRecord(const std::uint8_t* in64);

Bytes makeHeaderOnly(std::uint8_t command, std::uint8_t firstId, std::uint8_t secondId, Kind kind);
// Header followed by one member record: JoinRequest, RosterRequest, LeaveNotice, PathRequest,
// PathOpener.
Bytes makeEntryDatagram(std::uint8_t command, std::uint8_t firstId, std::uint8_t secondId, Kind kind,
                        const MemberEntry& entry);
// RosterUpdate carrying records 0..count-1 (count is clamped to what fits in one datagram).
Bytes makeRosterUpdate(std::uint8_t recipientIndex, const Roster& roster);
// ChatText with the text as given; callers keep it within MaxChatTextBytes.
Bytes makeChatText(std::uint8_t recipientId, std::uint8_t senderId, std::string_view gbkText);
Bytes makeVoiceDatagram(std::uint8_t command, std::uint8_t recipientId, std::uint8_t senderId,
                        const VoiceRecord& record);

// The low byte of an id as it travels in a header (0xCCCC becomes 0xCC, -1 becomes 0xFF).
inline std::uint8_t idByte(int id) { return static_cast<std::uint8_t>(id & 0xFF); }

// --- decoding ---------------------------------------------------------------------------
// What the wire says of each message: its command and kind, the fewest bytes it has (header
// included) and its name for the log. A new message is a new Message and a new row of this
// table; identify, lengthFits and readMessage then know it.
struct MessageSpec {
    Message message;
    std::uint8_t command;
    Kind kind;
    std::size_t minimumSize;
    const char* name;
};
const MessageSpec& specOf(Message message);
inline const char* messageName(Message message) { return specOf(message).name; }

// A received datagram, read once: its header, the message the header announces, and the bytes
// after the header, long enough for that message (a RosterUpdate's count checked and all its
// records present). Whoever handles it reads the payload and never the header again.
struct WireMessage {
    DatagramHeader header;
    Message message = Message::Ack;
    ByteView payload;
    std::size_t size() const { return HeaderSize + payload.size(); }
};

// Why a received datagram is not a message.
enum class WireFault { None, TooShort, UnknownMessage, BadLength };

struct WireRead {
    std::optional<WireMessage> message;  // set when fault is None
    WireFault fault = WireFault::None;
    std::optional<Message> announced;    // what the header names, also when its length is wrong (for the log)
};
// Reads a datagram of at most MaxDatagramSize bytes (a longer one is BadLength).
WireRead readMessage(ByteView datagram);

std::optional<DatagramHeader> readHeader(ByteView datagram);
// Which message a header announces; nullopt for a kind other than 1..3 or a command that has no
// meaning with that kind.
std::optional<Message> identify(const DatagramHeader& header);
// Whether the datagram is long enough for its message's payload (and, for a RosterUpdate,
// whether its count is within 0..128 and its records are all present).
bool lengthFits(Message message, ByteView datagram);
// Count and records of a RosterUpdate that passed lengthFits.
Roster readRosterUpdate(ByteView datagram);
Roster readRosterUpdate(const WireMessage& message);
// The member record of a JoinRequest, RosterRequest, LeaveNotice, PathRequest or PathOpener.
MemberEntry readEntry(const WireMessage& message);
// The record of a VoiceGroup or VoiceDirect.
VoiceRecord readVoiceRecord(const WireMessage& message);

}  // namespace lumo
