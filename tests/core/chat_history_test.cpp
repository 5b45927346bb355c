// The chat history: split parts joined into one text, the bounds and what is dropped past them,
// and the log file's lines.
#include "core/group/chat_history.h"

#include "core/text/gbk.h"
#include "core/wire/wire.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

// A long GBK text cut the way the sender cuts it.
std::vector<std::string> splitAsSent(const std::string& gbk)
{
    std::vector<std::string> parts;
    std::string_view rest = gbk;
    do {
        const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
        parts.emplace_back(rest.substr(0, length));
        rest.remove_prefix(length);
    } while (!rest.empty());
    return parts;
}

std::string longChinese(int characters)
{
    std::string utf8;
    for (int i = 0; i < characters; ++i) utf8 += (i % 2) ? "好" : "a你";
    return utf8;
}

}  // namespace

TEST(ChatHistoryJoin, PartsOfOneLongTextBecomeOneMessage)
{
    // Odd lengths put a two-byte character across the 252-byte cut, so some parts are 251 bytes.
    const std::string utf8 = longChinese(401);
    const std::vector<std::string> parts = splitAsSent(utf8ToGbk(utf8));
    ASSERT_GE(parts.size(), 3u);
    ASSERT_NE(parts[0].size(), MaxChatTextBytes);  // the case the rule must take as full
    ChatHistory history;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto added = history.addReceived("7@1.2.3.4", "bob", parts[i], 1000 + std::int64_t(i), 5000);
        EXPECT_EQ(added.continued, i > 0);
    }
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history.at(0)->text, utf8);
    EXPECT_EQ(history.at(0)->peer, "bob");
}

TEST(ChatHistoryJoin, ShortTextsAndOtherSendersAndLatePartsStaySeparate)
{
    const std::string full(MaxChatTextBytes, 'x');
    ChatHistory history;
    history.addReceived("a", "ann", "short", 0, 0);
    EXPECT_FALSE(history.addReceived("a", "ann", "next", 1, 0).continued);  // after a short text

    history.addReceived("a", "ann", full, 10, 0);
    EXPECT_FALSE(history.addReceived("b", "bob", "rest", 11, 0).continued);  // another member
    // bob's text came between: ann's full part is no longer the last open text.
    EXPECT_FALSE(history.addReceived("a", "ann", "rest", 12, 0).continued);

    const auto open = history.addReceived("a", "ann", full, 100, 0);
    EXPECT_FALSE(history.settled(open.serial, 100 + ChatHistory::ContinueWithinMs));
    EXPECT_TRUE(history.settled(open.serial, 100 + ChatHistory::ContinueWithinMs + 1));
    EXPECT_TRUE(history.settled(open.serial - 1, 100));
    EXPECT_FALSE(history.addReceived("a", "ann", "late", 100 + ChatHistory::ContinueWithinMs + 1, 0).continued);
    history.addSent("ann", "mine", 0);
    history.addReceived("a", "ann", full, 5000, 0);
    EXPECT_TRUE(history.addReceived("a", "ann", "", 5000 + ChatHistory::ContinueWithinMs, 0).continued);
    EXPECT_EQ(history.size(), 9u);
}

TEST(ChatHistoryJoin, AJoinedTextStopsGrowingAtItsBound)
{
    const std::string full(MaxChatTextBytes, 'y');
    ChatHistory history;
    std::size_t parts = ChatHistory::MaxMessageBytes / full.size() + 3;
    for (std::size_t i = 0; i < parts; ++i) history.addReceived("a", "ann", full, std::int64_t(i), 0);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_LE(history.at(0)->text.size(), ChatHistory::MaxMessageBytes);
    EXPECT_EQ(history.at(0)->text.size() + history.at(1)->text.size(), parts * full.size());  // nothing lost
}

TEST(ChatHistoryBounds, OldestAreDroppedAndCountedPastTheCount)
{
    ChatHistory history;
    const std::size_t total = ChatHistory::MaxMessages + 250;
    for (std::size_t i = 0; i < total; ++i) history.addSent("bob", std::to_string(i), std::int64_t(i));
    EXPECT_EQ(history.size(), ChatHistory::MaxMessages);
    EXPECT_EQ(history.droppedCount(), 250u);
    EXPECT_EQ(history.at(249), nullptr);
    ASSERT_NE(history.at(250), nullptr);
    EXPECT_EQ(history.at(250)->text, "250");
    EXPECT_EQ(history.at(total - 1)->text, std::to_string(total - 1));
    EXPECT_EQ(history.at(total), nullptr);
}

TEST(ChatHistoryBounds, OldestAreDroppedPastTheBytes)
{
    ChatHistory history;
    const std::string big(ChatHistory::MaxMessageBytes, 'z');
    const std::size_t fit = ChatHistory::MaxTextBytes / (big.size() + 3);
    for (std::size_t i = 0; i < fit + 10; ++i) history.addSent("bob", big, 0);
    EXPECT_LE(history.textBytes(), ChatHistory::MaxTextBytes);
    EXPECT_EQ(history.droppedCount() + history.size(), fit + 10);
    EXPECT_GE(history.droppedCount(), 10u);
}

TEST(ChatHistoryBounds, BadBytesFromTheWireAreKeptReadable)
{
    ChatHistory history;
    history.addReceived("a", "ann", std::string("\x81\xFF\0ok", 5), 0, 0);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_NE(history.at(0)->text.find("ok"), std::string::npos);
    EXPECT_NE(history.at(0)->text.find("\xEF\xBF\xBD"), std::string::npos);  // U+FFFD for the bad pair
}

TEST(ChatLogLine, OneLinePerTextWithControlsEscaped)
{
    ChatMessage message;
    message.timeMs = 1796678705123;  // 2026-12-07 21:25:05.123 UTC
    message.text = "a\nb\\c\x01\td\r";
    EXPECT_EQ(formatLogLine(message, "bob说：", 0), "2026-12-07 21:25:05 bob说：a\\nb\\\\c\\x01\\td\\r\n");
    EXPECT_EQ(formatLogLine(message, "x", 8 * 3600 * 1000).substr(0, 20), "2026-12-08 05:25:05 ");
    message.timeMs = 951782400000;  // 2000-02-29 00:00:00 UTC, a leap day
    EXPECT_EQ(formatLogLine(message, "", 0).substr(0, 20), "2000-02-29 00:00:00 ");
    EXPECT_EQ(logFileName(0xC0A80114), "192.168.1.20.log");
}
