// The link's pipe records and mailbox posts: exact bytes, and what is refused.
#include "core/link/link_records.h"

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
