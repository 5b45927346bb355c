#include "core/directory/directory_protocol.h"
#include "core/text/gbk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace lumo;

namespace {

std::vector<std::string> allLines(std::string_view body)
{
    std::vector<std::string> lines;
    ReplyLines reader(body);
    while (auto line = reader.next()) lines.push_back(*line);
    return lines;
}

GroupRow row(std::string id, std::string name, std::string address, std::string port, std::string state)
{
    return GroupRow{{std::move(id), std::move(name), std::move(address), std::move(port), std::move(state)}};
}

constexpr Ipv4 Own = 0xC0000201;     // 192.0.2.1
constexpr Ipv4 Second = 0x0A000005;  // 10.0.0.5

}  // namespace

TEST(DirectoryReplyLines, CarriageReturnsVanishAndTheLastLineNeedsNoFeed)
{
    EXPECT_EQ(allLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(allLines("x\ry\r\n"), (std::vector<std::string>{"xy"}));
    EXPECT_EQ(allLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(allLines("\n"), (std::vector<std::string>{""}));
    EXPECT_TRUE(allLines("").empty());
}

TEST(DirectoryReplyFields, EveryFieldEndsWithASpace)
{
    EXPECT_EQ(splitFields("7 alpha 192.0.2.1 3555 ok "),
              (std::vector<std::string>{"7", "alpha", "192.0.2.1", "3555", "ok"}));
    // Without the trailing space the last field is lost.
    EXPECT_EQ(splitFields("7 alpha 192.0.2.1 3555 ok"), (std::vector<std::string>{"7", "alpha", "192.0.2.1", "3555"}));
    EXPECT_EQ(splitFields("a  b "), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(splitFields(" "), (std::vector<std::string>{""}));
    EXPECT_TRUE(splitFields("").empty());
    EXPECT_TRUE(splitFields("nospace").empty());
}

TEST(DirectoryReplyFields, NothingIsReadPastTheSixteenBitPositionLimit)
{
    std::string line = "a " + std::string(MaxFieldEnd - 2, 'x') + " ";  // second space at byte 32767
    EXPECT_EQ(splitFields(line).size(), 2u);
    line = "a " + std::string(MaxFieldEnd - 1, 'x') + " b ";  // second space at byte 32768
    EXPECT_EQ(splitFields(line), (std::vector<std::string>{"a"}));
}

TEST(DirectoryListReply, FirstLineMustBeExactlyTheMarker)
{
    EXPECT_TRUE(parseListReply("myserverlist\n1.2.3.4 \n").valid);
    EXPECT_TRUE(parseListReply("myserverlist\r\n1.2.3.4 \r\n").valid);
    EXPECT_TRUE(parseListReply("my\rserverlist").valid);  // a CR anywhere vanishes
    EXPECT_FALSE(parseListReply("myserverlist \n1.2.3.4 \n").valid);
    EXPECT_FALSE(parseListReply("MyServerList\n1.2.3.4 \n").valid);
    EXPECT_FALSE(parseListReply(" myserverlist\n").valid);
    EXPECT_FALSE(parseListReply("").valid);
    EXPECT_FALSE(parseListReply("<html><body>404 Not Found</body></html>\n").valid);
    const auto bad = parseListReply("MYSERVERLIST\n1.2.3.4 \n1 a 1.2.3.4 3555 ok \n");
    EXPECT_TRUE(bad.seenAddress.empty());
    EXPECT_TRUE(bad.rows.empty());
}

TEST(DirectoryListReply, SeenAddressIsTheTextBeforeTheFirstSpace)
{
    EXPECT_EQ(parseListReply("myserverlist\n203.0.113.9 \n").seenAddress, "203.0.113.9");
    EXPECT_EQ(parseListReply("myserverlist\n203.0.113.9 anything else\n").seenAddress, "203.0.113.9");
    EXPECT_EQ(parseListReply("myserverlist\n203.0.113.9\n").seenAddress, "");  // no space
    const auto onlyMarker = parseListReply("myserverlist");
    EXPECT_TRUE(onlyMarker.valid);
    EXPECT_EQ(onlyMarker.seenAddress, "");
    EXPECT_TRUE(onlyMarker.rows.empty());
}

TEST(DirectoryListReply, GroupLinesFillFiveColumnsInReplyOrder)
{
    const auto reply = parseListReply(
        "myserverlist\r\n"
        "203.0.113.9 \r\n"
        "1 first 192.0.2.1 3555 ok \r\n"
        "2 second 192.0.2.2 3555 ok extra more \r\n"  // seven fields: the last two are ignored
        "3 short 192.0.2.3 3555 ok\r\n"               // no closing space: state lost
        "4  192.0.2.4 3555 ok \r\n"                    // empty name takes its own column
        "5 two\r\n");                                  // one field
    ASSERT_EQ(reply.rows.size(), 5u);
    EXPECT_EQ(reply.rows[0], row("1", "first", "192.0.2.1", "3555", "ok"));
    EXPECT_EQ(reply.rows[1], row("2", "second", "192.0.2.2", "3555", "ok"));
    EXPECT_EQ(reply.rows[2], row("3", "short", "192.0.2.3", "3555", ""));
    EXPECT_EQ(reply.rows[3], row("4", "", "192.0.2.4", "3555", "ok"));
    EXPECT_EQ(reply.rows[4], row("5", "", "", "", ""));
}

TEST(DirectoryListReply, GbkNamesPassThroughByteForByte)
{
    // "在线" and a name with a trail byte that is a backslash-like ASCII value (0x5C).
    const auto reply = parseListReply("myserverlist\n1.1.1.1 \n9 \xD5\x5C\xB6\xD3 1.2.3.4 3555 \xD4\xDA\xCF\xDF \n");
    ASSERT_EQ(reply.rows.size(), 1u);
    EXPECT_EQ(reply.rows[0].columns[NameColumn], "\xD5\x5C\xB6\xD3");
    EXPECT_EQ(reply.rows[0].columns[StateColumn], "\xD4\xDA\xCF\xDF");
}

TEST(DirectoryListReply, RowCountIsBounded)
{
    std::string body = "myserverlist\n1.1.1.1 \n";
    for (std::size_t i = 0; i < MaxGroupRows + 10; ++i) body += std::to_string(i) + " g 1.2.3.4 3555 ok \n";
    const auto reply = parseListReply(body);
    ASSERT_EQ(reply.rows.size(), MaxGroupRows);
    EXPECT_EQ(reply.rows.back().columns[IdColumn], std::to_string(MaxGroupRows - 1));
}

TEST(DirectoryAddReply, OnlyAnExactOkCounts)
{
    EXPECT_TRUE(isAddAccepted("ok"));
    EXPECT_TRUE(isAddAccepted("ok\r\n"));
    EXPECT_TRUE(isAddAccepted("ok\nwhatever follows"));
    EXPECT_FALSE(isAddAccepted("ok "));
    EXPECT_FALSE(isAddAccepted("OK"));
    EXPECT_FALSE(isAddAccepted("okay"));
    EXPECT_FALSE(isAddAccepted("\nok"));
    EXPECT_FALSE(isAddAccepted(""));
    EXPECT_FALSE(isAddAccepted("error: missing parameter ip\r\n"));
}

TEST(DirectoryHostEligibility, SeenAddressDecidesAndMaySwitchToTheSecondAddress)
{
    auto e = decideHostEligibility("192.0.2.1", Own, Second);
    EXPECT_TRUE(e.mayHost);
    EXPECT_EQ(e.ownAddress, Own);

    e = decideHostEligibility("10.0.0.5", Own, Second);  // reached through the second address
    EXPECT_TRUE(e.mayHost);
    EXPECT_EQ(e.ownAddress, Second);

    e = decideHostEligibility("198.51.100.7", Own, Second);  // behind an address translator
    EXPECT_FALSE(e.mayHost);
    EXPECT_EQ(e.ownAddress, Own);

    EXPECT_FALSE(decideHostEligibility("", Own, Second).mayHost);
    EXPECT_FALSE(decideHostEligibility("192.0.2.01", Own, Second).mayHost);  // text, not number
    // No second address: "0.0.0.0" must not make 0 the own address.
    e = decideHostEligibility("0.0.0.0", Own, 0);
    EXPECT_FALSE(e.mayHost);
    EXPECT_EQ(e.ownAddress, Own);
}

TEST(DirectoryUrls, RequestsAreTheBaseFollowedByThePage)
{
    EXPECT_EQ(listUrl("http://127.0.0.1:8080/dir"), "http://127.0.0.1:8080/dir/lumo.asp");
    EXPECT_EQ(listUrl(""), "/lumo.asp");
    EXPECT_EQ(addUrl("http://h", "", Own), "http://h/lumoadd.asp?name=&ip=192.0.2.1&port=3555");
    EXPECT_EQ(addUrl("http://h", "abc-1.2_x~", Own), "http://h/lumoadd.asp?name=abc-1.2_x~&ip=192.0.2.1&port=3555");
    EXPECT_EQ(removeUrl("http://h", Second), "http://h/lumomove.asp?name=id&ip=10.0.0.5&port=3555");
}

TEST(DirectoryUrls, GroupNameBytesArePercentEncodedUnchanged)
{
    // GBK "群" is C8 BA; a name must not be able to add or override query parameters.
    EXPECT_EQ(addUrl("http://h", "\xC8\xBA a&ip=1.1.1.1+%", Own),
              "http://h/lumoadd.asp?name=%C8%BA%20a%26ip%3D1.1.1.1%2B%25&ip=192.0.2.1&port=3555");
    // A configured base keeps its own characters; only bytes no URL may hold are escaped.
    EXPECT_EQ(listUrl("http://h/a b?x=%41\xB1"), "http://h/a%20b?x=%41%B1/lumo.asp");
}

// The directory refuses these names; the browser says why before asking it.
TEST(DirectoryGroupName, EmptyAndSpacedNamesAreRefusedBeforeAsking)
{
    const std::vector<std::pair<std::string, GroupNameProblem>> cases = {
        {"", GroupNameProblem::Empty},         {"raid night", GroupNameProblem::Space},
        {" lead", GroupNameProblem::Space},    {"tab\there", GroupNameProblem::Space},
        {"cr\r", GroupNameProblem::Space},     {"del\x7f", GroupNameProblem::Space},
        {"raid_night", GroupNameProblem::None}, {utf8ToGbk("夜袭小队"), GroupNameProblem::None},
    };
    for (const auto& [name, problem] : cases) EXPECT_EQ(groupNameProblem(name), problem) << name;
}
