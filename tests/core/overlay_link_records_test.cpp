// The link's pipe records and mailbox posts: exact bytes, and what is refused.
#include "core/link/link_records.h"
#include "core/link/member_state_of.h"

#include <gtest/gtest.h>

using namespace lumo;
using namespace lumo::link;

namespace {

Roster rosterOf(int count)
{
    Roster roster;
    roster.count = count;
    for (int i = 0; i < count; ++i) {
        MemberEntry& e = roster.records[std::size_t(i)];
        e.setName("m" + std::to_string(i));
        e.id = std::uint16_t(i);
        e.publicPort = std::uint16_t(4000 + i);
        e.publicAddress = 0x0A000001u + std::uint32_t(i);
    }
    return roster;
}

}  // namespace

TEST(OverlayLinkRecords, RosterMessageIsCountThenRecordsAndReadsBack)
{
    const Roster roster = rosterOf(3);
    const Bytes bytes = encodeRosterMessage(roster);
    ASSERT_EQ(bytes.size(), 100u);  // 4 + 3 * 32: the length RosterSent announces
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{3, 0, 0, 0}));
    std::uint8_t record[32];
    encodeMemberEntry(roster.records[1], record);
    EXPECT_TRUE(std::equal(record, record + 32, bytes.begin() + 4 + 32));
    EXPECT_EQ(bytes[4 + 32 * 2 + 16], 2);  // the id at offset 16 of the third record

    const auto back = decodeRosterMessage(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(back->records[std::size_t(i)], roster.records[std::size_t(i)]);

    // Empty and full rosters are records too.
    EXPECT_EQ(encodeRosterMessage(rosterOf(0)), (Bytes{0, 0, 0, 0}));
    const Bytes full = encodeRosterMessage(rosterOf(128));
    EXPECT_EQ(full.size(), MaxRosterMessageSize);
    ASSERT_TRUE(decodeRosterMessage(full));
    EXPECT_EQ(decodeRosterMessage(full)->records[127].id, 127);
}

TEST(OverlayLinkRecords, RosterCountOutsideItsRangeIsClampedWhenSent)
{
    Roster roster = rosterOf(2);
    roster.count = -5;
    EXPECT_EQ(encodeRosterMessage(roster).size(), 4u);
    roster.count = 100000;
    EXPECT_EQ(encodeRosterMessage(roster).size(), MaxRosterMessageSize);
}

TEST(OverlayLinkRecords, RosterMessageWhoseCountDisagreesWithItsLengthIsRefused)
{
    Bytes bytes = encodeRosterMessage(rosterOf(3));
    bytes[0] = 4;  // claims one record more than it carries
    EXPECT_FALSE(decodeRosterMessage(bytes));
    bytes[0] = 2;
    EXPECT_FALSE(decodeRosterMessage(bytes));
    bytes[0] = 0xFF, bytes[1] = 0xFF, bytes[2] = 0xFF, bytes[3] = 0xFF;  // -1
    EXPECT_FALSE(decodeRosterMessage(bytes));

    // Lengths no roster has: short, between records, beyond 128 records.
    for (std::int64_t length : {std::int64_t(-4), std::int64_t(0), std::int64_t(3), std::int64_t(5), std::int64_t(35),
                                std::int64_t(MaxRosterMessageSize + 32), std::int64_t(1) << 40}) {
        EXPECT_FALSE(rosterLengthValid(length)) << length;
    }
    EXPECT_TRUE(rosterLengthValid(4));
    EXPECT_TRUE(rosterLengthValid(36));
    EXPECT_FALSE(decodeRosterMessage(Bytes(3)));
    EXPECT_FALSE(decodeRosterMessage(Bytes(37)));
    Bytes tooLong = encodeRosterMessage(rosterOf(128));
    tooLong.resize(tooLong.size() + 32);
    tooLong[0] = 129;
    EXPECT_FALSE(decodeRosterMessage(tooLong));
}

TEST(OverlayLinkRecords, SelectionMessageCarriesAtMostEightIds)
{
    EXPECT_TRUE(encodeSelectionMessage({}).empty());
    EXPECT_EQ(encodeSelectionMessage({2, 0x01020304}), (Bytes{2, 0, 0, 0, 4, 3, 2, 1}));
    EXPECT_EQ(encodeSelectionMessage({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}).size(), 32u);

    EXPECT_EQ(decodeSelectionMessage(Bytes{}), std::vector<int>{});
    EXPECT_EQ(decodeSelectionMessage(Bytes{2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), (std::vector<int>{2, -1}));
    EXPECT_FALSE(decodeSelectionMessage(Bytes(5)));   // not whole ids
    EXPECT_FALSE(decodeSelectionMessage(Bytes(36)));  // a ninth id
    EXPECT_FALSE(selectionLengthValid(-4));
    EXPECT_TRUE(selectionLengthValid(0));
    EXPECT_TRUE(selectionLengthValid(32));
}

TEST(OverlayLinkRecords, PostsSurviveAnySplitAndForeignBytesBreakTheStream)
{
    Bytes stream;
    for (Post post : {Post{0, 0}, Post{10, 100}, Post{20, -1}}) {
        const Bytes bytes = encodePost(post);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 12), (Bytes{0x64, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Fed one byte at a time, the reader never holds more than one post.
    PostReader reader;
    std::vector<Post> posts;
    for (std::uint8_t byte : stream) {
        EXPECT_TRUE(reader.feed(ByteView(&byte, 1), posts));
        EXPECT_LT(reader.pending(), PostSize);
    }
    EXPECT_EQ(posts, (std::vector<Post>{{0, 0}, {10, 100}, {20, -1}}));

    // A post that does not start with the link's message number: the sender is cut off.
    Bytes garbage = encodePost({4, 0});
    garbage[0] = 0x65;
    Bytes mixed = encodePost({11, 8});
    mixed.insert(mixed.end(), garbage.begin(), garbage.end());
    const Bytes after = encodePost({15, 0});
    mixed.insert(mixed.end(), after.begin(), after.end());
    PostReader strict;
    posts.clear();
    EXPECT_FALSE(strict.feed(mixed, posts));
    EXPECT_EQ(posts, (std::vector<Post>{{11, 8}}));
    EXPECT_FALSE(strict.feed(after, posts));
    EXPECT_EQ(posts.size(), 1u);
}

TEST(OverlayLinkRecords, RowsAreTheRosterReversed)
{
    EXPECT_EQ(rowOfIndex(3, 0), 2);
    EXPECT_EQ(rowOfIndex(3, 2), 0);
    EXPECT_EQ(indexOfRow(3, rowOfIndex(3, 1)), 1);
    EXPECT_EQ(rowOfIndex(3, 3), -1);
    EXPECT_EQ(rowOfIndex(3, -1), -1);
    EXPECT_EQ(rowOfIndex(0, 0), -1);
    EXPECT_EQ(pipeName(0), "pipe0");
    EXPECT_EQ(pipeName(255), "pipe255");
}

TEST(OverlayLinkRecords, MemberStatesMessageIsCountThenFourByteEntriesAndReadsBack)
{
    const std::vector<link::MemberState> states{{0, PathMark::Sealed, VoiceMark::Chatting, NotTalking},
                                          {2, PathMark::Open, VoiceMark::Prompt, 100},
                                          {127, PathMark::KeyChanged, VoiceMark::None, 0}};
    const Bytes bytes = encodeMemberStatesMessage(states);
    EXPECT_EQ(bytes, (Bytes{3, 0, 0, 0, 0, 2, 1, 0xFF, 2, 1, 4, 100, 127, 3, 0, 0}));
    EXPECT_EQ(decodeMemberStatesMessage(bytes), states);
    EXPECT_EQ(decodeMemberStatesMessage(encodeMemberStatesMessage({})), std::vector<link::MemberState>{});

    std::vector<link::MemberState> all;
    for (int id = 0; id < 130; ++id) all.push_back({id % 128, PathMark::Open, VoiceMark::Waiting, 7});
    const Bytes full = encodeMemberStatesMessage(all);  // the first 128 entries: ids 0..127
    EXPECT_EQ(full.size(), MaxMemberStatesMessageSize);
    ASSERT_TRUE(decodeMemberStatesMessage(full));
    EXPECT_EQ(decodeMemberStatesMessage(full)->size(), 128u);
    // An id no roster can hold is not written at all.
    EXPECT_EQ(encodeMemberStatesMessage({{-1, {}, {}, 0}, {128, {}, {}, 0}, {5, {}, {}, 0}}), (Bytes{1, 0, 0, 0, 5, 0, 0, 0}));
}

TEST(OverlayLinkRecords, MemberStatesMessageThatIsNotWholeAndConsistentIsRefused)
{
    const Bytes good{2, 0, 0, 0, 1, 1, 1, 50, 3, 0, 2, 0xFF};
    ASSERT_TRUE(decodeMemberStatesMessage(good));
    auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes bytes = good;
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"no count", {}},
        {"short count", {0, 0, 0}},
        {"short entry", Bytes(good.begin(), good.end() - 1)},
        {"one entry missing", Bytes(good.begin(), good.end() - 4)},
        {"count above the entries", with(0, 3)},
        {"count below the entries", with(0, 1)},
        {"negative count", with(3, 0x80)},
        {"id past 127", with(8, 128)},
        {"id given twice", with(8, 1)},
        {"unknown path", with(5, 4)},
        {"unknown voice", with(6, 5)},
        {"level past 100", with(7, 101)},
        {"longer than 128 entries", Bytes(4 + 4 * 129, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(decodeMemberStatesMessage(c.bytes)) << c.what;
        EXPECT_EQ(memberStatesLengthValid(std::int64_t(c.bytes.size())), c.bytes.size() >= 4 && c.bytes.size() % 4 == 0 && c.bytes.size() <= 516) << c.what;
    }
}

TEST(OverlayLinkRecords, MemberStateReadsAsTheMainListShowsTheMember)
{
    using K = PeerKeyState;
    struct Case {
        bool pathOpen;
        K key;
        VoiceState voice;
        int talking;
        PathMark path;
        VoiceMark shownVoice;
        std::uint8_t shownTalking;
    };
    const Case cases[] = {
        {false, K::None, VoiceState::None, -1, PathMark::None, VoiceMark::None, NotTalking},
        {true, K::None, VoiceState::Chatting, 100, PathMark::Open, VoiceMark::Chatting, 100},
        {true, K::Plain, VoiceState::NotChatting, 0, PathMark::Open, VoiceMark::NotChatting, 0},
        {true, K::Checking, VoiceState::Waiting, -1, PathMark::None, VoiceMark::Waiting, NotTalking},
        {true, K::Sealed, VoiceState::Prompt, 250, PathMark::Sealed, VoiceMark::Prompt, 100},
        {false, K::Sealed, VoiceState::None, -7, PathMark::None, VoiceMark::None, NotTalking},
        {true, K::KeyChanged, VoiceState::None, 40, PathMark::KeyChanged, VoiceMark::None, 40},
        {false, K::KeyChanged, VoiceState::None, -1, PathMark::KeyChanged, VoiceMark::None, NotTalking},
    };
    for (const Case& c : cases) {
        MemberStatus status;
        status.pathOpen = c.pathOpen;
        status.voice = c.voice;
        const link::MemberState state = memberStateOf(9, status, c.key, c.talking);
        EXPECT_EQ(state, (link::MemberState{9, c.path, c.shownVoice, c.shownTalking})) << int(c.key) << ' ' << c.talking;
        // Whatever the state, its record reads back.
        EXPECT_EQ(decodeMemberStatesMessage(encodeMemberStatesMessage({state})), std::vector<link::MemberState>{state});
    }
}
