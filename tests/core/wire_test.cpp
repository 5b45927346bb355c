#include "core/text/gbk.h"
#include "core/wire/wire.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace lumo;

namespace {

MemberEntry sampleEntry()
{
    MemberEntry e;
    e.setName("alice");
    e.id = 0x0102;
    e.localPort = 3550;
    e.publicPort = 0xBEEF;
    e.localAddress = 0xC0A80102;   // 192.168.1.2
    e.publicAddress = 0xCB007107;  // 203.0.113.7
    return e;
}

}  // namespace

TEST(Wire, MemberEntryBytesAreLittleEndianWithAddressesInNetworkOrder)
{
    std::uint8_t out[32];
    encodeMemberEntry(sampleEntry(), out);
    const std::uint8_t expected[32] = {'a', 'l', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0x02, 0x01, 0, 0, 0xDE, 0x0D, 0xEF, 0xBE, 192, 168, 1, 2, 203, 0, 113, 7};
    EXPECT_EQ(0, std::memcmp(out, expected, 32));
    EXPECT_EQ(decodeMemberEntry(out), sampleEntry());
}

TEST(Wire, SixteenByteNameHasNoTerminatorAndReadsBackWhole)
{
    MemberEntry e;
    e.setName("abcdefghijklmnopqrst");
    EXPECT_EQ(e.nameBytes(), "abcdefghijklmnop");
    std::uint8_t out[32];
    encodeMemberEntry(e, out);
    EXPECT_EQ(out[15], 'p');
    EXPECT_EQ(decodeMemberEntry(out).nameBytes(), "abcdefghijklmnop");
}

TEST(Wire, NameIsCutOnGbkCharacterBoundary)
{
    // 15 ASCII bytes then a two-byte character: the character does not fit and is left out whole.
    const std::string name = std::string(15, 'x') + utf8ToGbk("中");
    MemberEntry e;
    e.setName(name);
    EXPECT_EQ(e.nameBytes(), std::string(15, 'x'));
    // Eight Chinese characters fill exactly 16 bytes.
    const std::string chinese = utf8ToGbk("一二三四五六七八九");
    e.setName(chinese);
    EXPECT_EQ(e.nameBytes(), chinese.substr(0, 16));
    EXPECT_EQ(gbkToUtf8(e.nameBytes()), "一二三四五六七八");
}

TEST(Wire, HeaderOnlyAndEntryDatagrams)
{
    EXPECT_EQ(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), (Bytes{21, 0, 0, 1}));
    MemberEntry own;
    own.id = UnassignedId;
    const Bytes join = makeEntryDatagram(cmd::JoinRequest, idByte(own.id), 0, Kind::ToHost, own);
    ASSERT_EQ(join.size(), 36u);
    EXPECT_EQ(join[0], 11);
    EXPECT_EQ(join[1], 0xCC);
    EXPECT_EQ(join[3], 3);
    EXPECT_EQ(join[4 + 16], 0xCC);
    EXPECT_EQ(join[4 + 17], 0xCC);
    EXPECT_EQ(idByte(-1), 0xFF);
}

TEST(Wire, RosterUpdateRoundTripAndLimits)
{
    Roster roster;
    roster.count = 3;
    for (int i = 0; i < 3; ++i) {
        roster.records[i] = sampleEntry();
        roster.records[i].id = static_cast<std::uint16_t>(i);
    }
    const Bytes update = makeRosterUpdate(2, roster);
    ASSERT_EQ(update.size(), 8u + 3 * 32);
    EXPECT_EQ((Bytes{update.begin(), update.begin() + 8}), (Bytes{22, 2, 0, 1, 3, 0, 0, 0}));
    ASSERT_TRUE(lengthFits(Message::RosterUpdate, update));
    const Roster back = readRosterUpdate(update);
    EXPECT_EQ(back.count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(back.records[i], roster.records[i]);

    // The largest group fits one receiver's read.
    roster.count = MaxGroupMembers;
    EXPECT_EQ(makeRosterUpdate(0, roster).size(), 1000u);
    EXPECT_LE(makeRosterUpdate(0, roster).size(), MaxDatagramSize);
    // An empty roster is 8 bytes.
    roster.count = 0;
    EXPECT_EQ(makeRosterUpdate(0, roster), (Bytes{22, 0, 0, 1, 0, 0, 0, 0}));
}

TEST(Wire, RosterUpdateWhoseCountDoesNotFitIsRejected)
{
    Bytes update{22, 0, 0, 1, 2, 0, 0, 0};
    update.resize(8 + 32);  // count says 2, one record present
    EXPECT_FALSE(lengthFits(Message::RosterUpdate, update));
    Bytes negative{22, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(lengthFits(Message::RosterUpdate, negative));
    Bytes huge{22, 0, 0, 1, 129, 0, 0, 0};
    huge.resize(1024);
    EXPECT_FALSE(lengthFits(Message::RosterUpdate, huge));
    EXPECT_FALSE(lengthFits(Message::RosterUpdate, Bytes{22, 0, 0, 1, 0, 0}));
}

TEST(Wire, ChatAndVoiceDatagrams)
{
    EXPECT_EQ(makeChatText(3, 1, ""), (Bytes{15, 3, 1, 2}));
    EXPECT_EQ(makeChatText(3, 1, "hi"), (Bytes{15, 3, 1, 2, 'h', 'i'}));

    VoiceRecord record;
    record.sequence = 0x01020304;
    for (std::size_t i = 0; i < record.speech.size(); ++i) record.speech[i] = static_cast<std::uint8_t>(i);
    const Bytes voice = makeVoiceDatagram(cmd::VoiceGroup, 4, 5, record);
    ASSERT_EQ(voice.size(), 68u);
    EXPECT_EQ((Bytes{voice.begin(), voice.begin() + 8}), (Bytes{25, 4, 5, 2, 4, 3, 2, 1}));
    EXPECT_EQ(decodeVoiceRecord(voice.data() + 4), record);
}

TEST(Wire, EveryCommandIsIdentifiedOnlyWithItsKind)
{
    struct Case {
        std::uint8_t command, kind;
        std::optional<Message> expected;
    };
    const Case cases[] = {
        {11, 3, Message::JoinRequest},     {12, 3, Message::RosterRequest},   {13, 3, Message::LeaveNotice},
        {14, 3, Message::PathRequest},     {13, 2, Message::VoiceStopNotice}, {14, 2, Message::PathOpener},
        {15, 2, Message::ChatText},        {21, 2, Message::PathConfirm},     {23, 2, Message::MemberPathProbe},
        {24, 2, Message::VoiceDirect},     {25, 2, Message::VoiceGroup},      {21, 1, Message::Ack},
        {22, 1, Message::RosterUpdate},    {23, 1, Message::HostPathProbe},   {11, 1, std::nullopt},
        {15, 3, std::nullopt},             {22, 2, std::nullopt},             {25, 1, std::nullopt},
        {21, 0, std::nullopt},             {21, 4, std::nullopt},             {0, 2, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(identify({c.command, 0, 0, c.kind}), c.expected) << int(c.command) << "/" << int(c.kind);
}

TEST(Wire, MinimumLengths)
{
    EXPECT_FALSE(readHeader(Bytes{21, 0, 0}));
    Bytes join(35, 0);
    EXPECT_FALSE(lengthFits(Message::JoinRequest, join));
    join.resize(36);
    EXPECT_TRUE(lengthFits(Message::JoinRequest, join));
    Bytes voice(67, 0);
    EXPECT_FALSE(lengthFits(Message::VoiceGroup, voice));
    EXPECT_TRUE(lengthFits(Message::ChatText, Bytes{15, 0, 0, 2}));
}

TEST(Wire, DottedAddresses)
{
    EXPECT_EQ(dottedAddress(0x7F000002), "127.0.0.2");
    EXPECT_EQ(dottedAddress(0), "0.0.0.0");
    EXPECT_EQ(parseDottedAddress("203.0.113.255"), 0xCB0071FFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.256", "a.b.c.d", "1..2.3", "1.2.3.4 ", "0001.2.3.4"})
        EXPECT_FALSE(parseDottedAddress(bad)) << bad;
}

TEST(Gbk, ConversionsAndBoundaries)
{
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("说：你好 abc")), "说：你好 abc");
    EXPECT_EQ(utf8ToGbk("中").size(), 2u);
    // Invalid bytes never fail the conversion.
    EXPECT_EQ(gbkToUtf8(std::string("a\xFF" "b")), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(gbkToUtf8(std::string("a\xD6")), "a\xEF\xBF\xBD");  // lead byte cut at the end
    const std::string text = utf8ToGbk("ab中文");  // a b [2] [2]
    EXPECT_EQ(gbkPrefixLength(text, 3), 2u);
    EXPECT_EQ(gbkPrefixLength(text, 4), 4u);
    EXPECT_EQ(gbkPrefixLength(text, 5), 4u);
    EXPECT_EQ(gbkPrefixLength(text, 100), 6u);
}

// The characters a text loses on the wire are named once each, in order, up to the limit.
TEST(Gbk, CharactersGbkLacksAreNamedOnce)
{
    EXPECT_TRUE(charactersGbkLacks("plain ascii ?").empty());
    EXPECT_TRUE(charactersGbkLacks("你好，世界★").empty());
    EXPECT_EQ(charactersGbkLacks("a😀b😀c🎮"), (std::vector<std::string>{"😀", "🎮"}));
    EXPECT_EQ(charactersGbkLacks("😀🎮🚀", 2), (std::vector<std::string>{"😀", "🎮"}));
    // Invalid UTF-8 is lost as well and named as it came, without reading past the end.
    EXPECT_EQ(charactersGbkLacks("x\xF0\x9F"), (std::vector<std::string>{"\xF0\x9F"}));
}
