#include "core/link/link_records.h"

#include <algorithm>

namespace lumo::link {

namespace {

void putInt32(std::uint8_t* out, std::uint32_t value)
{
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value >> 16);
    out[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t getInt32(const std::uint8_t* in)
{
    return std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 | std::uint32_t(in[2]) << 16 | std::uint32_t(in[3]) << 24;
}

}  // namespace

std::string pipeName(std::uint8_t number) { return "pipe" + std::to_string(number); }

bool rosterLengthValid(std::int64_t length)
{
    return length >= 4 && length <= std::int64_t(MaxRosterMessageSize) && (length - 4) % std::int64_t(MemberEntrySize) == 0;
}

bool selectionLengthValid(std::int64_t length)
{
    return length >= 0 && length <= std::int64_t(MaxSelectionMessageSize) && length % 4 == 0;
}

bool memberStatesLengthValid(std::int64_t length)
{
    return length >= 4 && length <= std::int64_t(MaxMemberStatesMessageSize) && (length - 4) % std::int64_t(MemberStateSize) == 0;
}

Bytes encodeMemberStatesMessage(const std::vector<MemberState>& states)
{
    Bytes out(4);
    std::uint32_t count = 0;
    for (const MemberState& state : states) {
        if (count == std::uint32_t(MaxRosterRecords)) break;
        if (state.id < 0 || state.id >= MaxRosterRecords) continue;
        out.push_back(std::uint8_t(state.id));
        out.push_back(std::uint8_t(state.path));
        out.push_back(std::uint8_t(state.voice));
        out.push_back(state.talking);
        ++count;
    }
    putInt32(out.data(), count);
    return out;
}

std::optional<std::vector<MemberState>> decodeMemberStatesMessage(ByteView bytes)
{
    if (!memberStatesLengthValid(std::int64_t(bytes.size()))) return std::nullopt;
    const std::uint32_t count = getInt32(bytes.data());
    if (count != (bytes.size() - 4) / MemberStateSize) return std::nullopt;
    std::vector<MemberState> states;
    states.reserve(count);
    bool seen[MaxRosterRecords] = {};
    for (std::size_t at = 4; at < bytes.size(); at += MemberStateSize) {
        const std::uint8_t id = bytes[at], path = bytes[at + 1], voice = bytes[at + 2], talking = bytes[at + 3];
        if (id >= MaxRosterRecords || seen[id]) return std::nullopt;
        if (path > std::uint8_t(PathMark::KeyChanged) || voice > std::uint8_t(VoiceMark::Prompt)) return std::nullopt;
        if (talking > MaxTalkingLevel && talking != NotTalking) return std::nullopt;
        seen[id] = true;
        states.push_back({id, PathMark(path), VoiceMark(voice), talking});
    }
    return states;
}

Bytes encodeRosterMessage(const Roster& roster)
{
    const int count = std::clamp(roster.count, 0, MaxRosterRecords);
    Bytes out(4 + MemberEntrySize * std::size_t(count));
    putInt32(out.data(), std::uint32_t(count));
    for (int i = 0; i < count; ++i) encodeMemberEntry(roster.records[std::size_t(i)], out.data() + 4 + MemberEntrySize * std::size_t(i));
    return out;
}

std::optional<Roster> decodeRosterMessage(ByteView bytes)
{
    if (!rosterLengthValid(std::int64_t(bytes.size()))) return std::nullopt;
    const auto count = static_cast<std::int32_t>(getInt32(bytes.data()));
    if (count < 0 || std::size_t(count) != (bytes.size() - 4) / MemberEntrySize) return std::nullopt;
    Roster roster;
    roster.count = count;
    for (int i = 0; i < count; ++i)
        roster.records[std::size_t(i)] = decodeMemberEntry(bytes.data() + 4 + MemberEntrySize * std::size_t(i));
    return roster;
}

Bytes encodeSelectionMessage(const std::vector<int>& ids)
{
    const std::size_t count = std::min(ids.size(), std::size_t(MaxSelectionIds));
    Bytes out(4 * count);
    for (std::size_t i = 0; i < count; ++i) putInt32(out.data() + 4 * i, static_cast<std::uint32_t>(ids[i]));
    return out;
}

std::optional<std::vector<int>> decodeSelectionMessage(ByteView bytes)
{
    if (!selectionLengthValid(std::int64_t(bytes.size()))) return std::nullopt;
    std::vector<int> ids;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) ids.push_back(static_cast<std::int32_t>(getInt32(bytes.data() + i)));
    return ids;
}

Bytes encodePost(Post post)
{
    Bytes out(PostSize);
    putInt32(out.data(), LinkMessage);
    putInt32(out.data() + 4, static_cast<std::uint32_t>(post.code));
    putInt32(out.data() + 8, static_cast<std::uint32_t>(post.value));
    return out;
}

bool PostReader::feed(ByteView bytes, std::vector<Post>& out)
{
    std::size_t at = 0;
    while (!broken_ && at < bytes.size()) {
        const std::size_t take = std::min(PostSize - pendingSize_, bytes.size() - at);
        std::copy_n(bytes.data() + at, take, pending_ + pendingSize_);
        pendingSize_ += take;
        at += take;
        if (pendingSize_ < PostSize) break;
        pendingSize_ = 0;
        if (getInt32(pending_) != LinkMessage) {
            broken_ = true;
            break;
        }
        out.push_back({static_cast<std::int32_t>(getInt32(pending_ + 4)), static_cast<std::int32_t>(getInt32(pending_ + 8))});
    }
    return !broken_;
}

int rowOfIndex(int count, int index)
{
    if (count <= 0 || index < 0 || index >= count) return -1;
    return count - 1 - index;
}

}  // namespace lumo::link
