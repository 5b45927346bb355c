// The link between lumo and its in-game overlay: the LinkMessage codes each side posts to the
// other's mailbox, and the two records the main program writes into the pipe. Both deliverables
// build from this file; encoding is byte-exact little-endian, decoding validates every length.
#pragma once

#include "core/wire/wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumo::link {

// Every post carries this message number first, then the code and the value.
inline constexpr std::uint32_t LinkMessage = 0x464;  // WM_USER + 100
inline constexpr std::size_t PostSize = 12;

// Mailbox titles: the main program's window and the overlay's window.
inline constexpr const char* MainTitle = "LUMO";
inline constexpr const char* OverlayTitle = "gamein";

// Codes the main program posts to the overlay.
namespace to_overlay {
inline constexpr std::int32_t PipeReady = 0;      // value: pipe number
inline constexpr std::int32_t OverlayClose = 4;   // value: 0
inline constexpr std::int32_t RosterSent = 10;    // value: byte length of the RosterMessage
inline constexpr std::int32_t SelectionSent = 11; // value: byte length of the SelectionMessage
inline constexpr std::int32_t CallRequest = 20;   // value: member id (roster index)
// Sent only to an overlay that posted WantMemberStates: one that does not know the record never
// finds its bytes in the pipe, where they would break the framing of the records after them.
inline constexpr std::int32_t MemberStatesSent = 12;  // value: byte length of the MemberStatesMessage
}  // namespace to_overlay

// Codes the overlay posts to the main program; rows are rows of the member list.
namespace to_main {
inline constexpr std::int32_t OverlayOpened = 0;
inline constexpr std::int32_t OverlayClosed = 4;
inline constexpr std::int32_t SelectMember = 10;
inline constexpr std::int32_t DeselectMember = 11;
inline constexpr std::int32_t AcceptVoice = 12;
inline constexpr std::int32_t RefuseVoice = 13;
inline constexpr std::int32_t AskAgain = 14;
inline constexpr std::int32_t RefreshRoster = 15;  // value ignored
inline constexpr std::int32_t VoiceToggle = 20;    // 1 start talking, 0 stop
// The overlay reads MemberStatesMessage records; value: the record's version (1). A main program
// that does not know the code drops it and sends no such record.
inline constexpr std::int32_t WantMemberStates = 16;
inline constexpr std::int32_t MemberStatesVersion = 1;
}  // namespace to_main

// A member's voice answer, as the per-peer voice slots keep it.
enum class VoiceAnswer : std::int32_t { NotAsked = 0, Accepted = 6, Refused = 7 };

// The pipe is always number 0; its name is "pipe" followed by the number (taken as a byte).
inline constexpr std::uint8_t PipeNumber = 0;
std::string pipeName(std::uint8_t number);

// RosterMessage: an int32 count, then that many 32-byte member records.
inline constexpr int MaxRosterRecords = RosterCapacity;  // 128
inline constexpr std::size_t MaxRosterMessageSize = 4 + MemberEntrySize * MaxRosterRecords;  // 4,100
// SelectionMessage: up to 8 int32 member ids.
inline constexpr int MaxSelectionIds = 8;
inline constexpr std::size_t MaxSelectionMessageSize = 4 * MaxSelectionIds;  // 32

// Whether an announced length can be a whole record of that kind.
bool rosterLengthValid(std::int64_t length);
bool selectionLengthValid(std::int64_t length);
bool memberStatesLengthValid(std::int64_t length);

// The roster's count (clamped to 0..128) and its records, as the pipe carries them.
Bytes encodeRosterMessage(const Roster& roster);
// A roster whose count agrees with its length; nullopt for anything else.
std::optional<Roster> decodeRosterMessage(ByteView bytes);

// At most the first 8 ids.
Bytes encodeSelectionMessage(const std::vector<int>& ids);
// The ids of a record of 0..32 bytes, a multiple of 4; nullopt for anything else.
std::optional<std::vector<int>> decodeSelectionMessage(ByteView bytes);

// What the main window's member list shows of one member beside its name: the path column, the
// voice column (the player's answer) and the talking marker.
enum class PathMark : std::uint8_t { None = 0, Open = 1, Sealed = 2, KeyChanged = 3 };
enum class VoiceMark : std::uint8_t { None = 0, Chatting = 1, NotChatting = 2, Waiting = 3, Prompt = 4 };
inline constexpr std::uint8_t NotTalking = 0xFF;  // the talking byte of a member not heard now
inline constexpr std::uint8_t MaxTalkingLevel = 100;

struct MemberState {
    int id = 0;  // roster index, 0..127
    PathMark path = PathMark::None;
    VoiceMark voice = VoiceMark::None;
    std::uint8_t talking = NotTalking;  // 0..100 while heard (the level), NotTalking otherwise
    bool operator==(const MemberState&) const = default;
};

// MemberStatesMessage: an int32 count (0..128), then that many 4-byte entries {id, path, voice,
// talking}, each a byte; ids unique and below 128.
inline constexpr std::size_t MemberStateSize = 4;
inline constexpr std::size_t MaxMemberStatesMessageSize = 4 + MemberStateSize * MaxRosterRecords;  // 516

// Entries past the 128th, and entries with an id outside 0..127, are not written.
Bytes encodeMemberStatesMessage(const std::vector<MemberState>& states);
// The entries of a whole, consistent record; nullopt for a length that disagrees with the count,
// an id out of range or given twice, or a path, voice or talking byte outside its values.
std::optional<std::vector<MemberState>> decodeMemberStatesMessage(ByteView bytes);

struct Post {
    std::int32_t code = 0;
    std::int32_t value = 0;
    bool operator==(const Post&) const = default;
};

Bytes encodePost(Post post);

// Splits a mailbox byte stream into posts. Keeps at most one partial post between calls; a post
// that does not start with LinkMessage breaks the stream for good (the sender is not one of us).
class PostReader {
public:
    // Appends the posts found in `bytes` to `out`; false once the stream is broken.
    bool feed(ByteView bytes, std::vector<Post>& out);
    bool broken() const { return broken_; }
    std::size_t pending() const { return pendingSize_; }

private:
    std::uint8_t pending_[PostSize] = {};
    std::size_t pendingSize_ = 0;
    bool broken_ = false;
};

// Both sides fill the member list by inserting every record at the top, so roster index i shows
// in row count - 1 - i; the mapping is its own inverse. -1 when outside 0..count-1.
int rowOfIndex(int count, int index);
inline int indexOfRow(int count, int row) { return rowOfIndex(count, row); }

}  // namespace lumo::link
