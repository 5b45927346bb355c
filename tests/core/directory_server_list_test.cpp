#include "core/directory/server_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using lumo::findServerUrl;
using lumo::parseServerList;
using lumo::readServerList;
using lumo::ServerEntry;

namespace {

std::vector<std::string> names(const std::vector<ServerEntry>& entries)
{
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.name);
    return out;
}

}  // namespace

TEST(DirectoryServerList, HeaderMustReduceToUrllist)
{
    const std::string entry = "\nlocal=http://127.0.0.1:8080\n";
    EXPECT_EQ(parseServerList("[urllist]" + entry).size(), 1u);
    EXPECT_EQ(parseServerList("[ urllist ]" + entry).size(), 1u);
    EXPECT_EQ(parseServerList("[\turllist]" + entry).size(), 1u);
    EXPECT_EQ(parseServerList("[urllist] trailing text" + entry).size(), 1u);
    EXPECT_EQ(parseServerList("[urllist]\r" + entry).size(), 1u);

    EXPECT_TRUE(parseServerList(" [urllist]" + entry).empty());  // leading blank: not a header
    EXPECT_TRUE(parseServerList("[URLLIST]" + entry).empty());
    EXPECT_TRUE(parseServerList("[urllist" + entry).empty());  // no "]": empty name
    EXPECT_TRUE(parseServerList("urllist" + entry).empty());
    EXPECT_TRUE(parseServerList("[server]" + entry).empty());
    EXPECT_TRUE(parseServerList("\n[urllist]" + entry).empty());
    EXPECT_TRUE(parseServerList("").empty());
}

TEST(DirectoryServerList, EntriesSplitAtFirstEqualsAndTrim)
{
    const auto entries = parseServerList(
        "[urllist]\n"
        "  local  =  http://127.0.0.1:8080  \n"
        "query=http://example.org/dir?a=b&c=d\n"
        "http://no.equals.sign\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (ServerEntry{"local", "http://127.0.0.1:8080"}));
    EXPECT_EQ(entries[1], (ServerEntry{"query", "http://example.org/dir?a=b&c=d"}));
    EXPECT_EQ(entries[2], (ServerEntry{"", "http://no.equals.sign"}));
}

TEST(DirectoryServerList, ShortOrEmptyLineEndsTheList)
{
    // "a=b" is under 7 bytes: the longer entry after it is never read.
    EXPECT_EQ(names(parseServerList("[urllist]\nfirst=http://a\na=b\nthird=http://c\n")),
              std::vector<std::string>{"first"});
    // Leading blanks do not count towards the 7 bytes, trailing blanks do.
    EXPECT_EQ(parseServerList("[urllist]\n        ab=c\n").size(), 0u);
    EXPECT_EQ(parseServerList("[urllist]\nab=c   \n"), (std::vector<ServerEntry>{{"ab", "c"}}));
    // The CR of a CR LF line is not part of it: "abcdef" stays too short.
    EXPECT_TRUE(parseServerList("[urllist]\r\nabcdef\r\nlonger=http://x\r\n").empty());
}

TEST(DirectoryServerList, CrLfReadsLikeLf)
{
    const std::string lf = "[urllist]\nlocal=http://127.0.0.1:8080\nother=http://10.0.0.1/dir\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    EXPECT_EQ(parseServerList(crlf), parseServerList(lf));
    EXPECT_EQ(parseServerList(crlf).size(), 2u);
}

TEST(DirectoryServerList, ServerSectionWithoutBlankLineIsReadAsEntries)
{
    const auto entries =
        parseServerList("[urllist]\nlocal=http://127.0.0.1:8080\n[server]\nhttp=http://127.0.0.1:8080/lumo\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1], (ServerEntry{"", "[server]"}));
    EXPECT_EQ(entries[2], (ServerEntry{"http", "http://127.0.0.1:8080/lumo"}));

    EXPECT_EQ(parseServerList("[urllist]\nlocal=http://127.0.0.1:8080\n\n[server]\nhttp=http://x/lumo\n").size(), 1u);
}

TEST(DirectoryServerList, OnlyLinesUpToThirtyTwoCount)
{
    std::string text = "[urllist]\n";
    for (int i = 0; i < 40; ++i) text += "server" + std::to_string(i) + "=http://10.0.0." + std::to_string(i) + "\n";
    const auto entries = parseServerList(text);
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(lumo::MaxServerEntries));
    EXPECT_EQ(entries.front().name, "server0");
    EXPECT_EQ(entries.back().name, "server30");
}

TEST(DirectoryServerList, LookupTakesTheFirstEntryOfAName)
{
    const auto entries = parseServerList("[urllist]\ntwin=http://first\ntwin=http://second\nother=http://third\n");
    EXPECT_EQ(findServerUrl(entries, "twin"), "http://first");
    EXPECT_EQ(findServerUrl(entries, "other"), "http://third");
    EXPECT_EQ(findServerUrl(entries, "Twin"), std::nullopt);
    EXPECT_EQ(findServerUrl(entries, ""), std::nullopt);
}

TEST(DirectoryServerList, ReadsTheFileAndKeepsGbkNames)
{
    const auto dir = std::filesystem::temp_directory_path() / ("lumo_server_list_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "sys.ini").string();
    {
        std::ofstream file(path, std::ios::binary);
        // "本机目录" in GBK, CR LF line ends, then a long tail the reader never needs.
        file << "[urllist]\r\n\xB1\xBE\xBB\xFA\xC4\xBF\xC2\xBC=http://127.0.0.1:8080\r\n\r\n";
        file << std::string(lumo::MaxServerListBytes * 2, 'x');
    }
    const auto entries = readServerList(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (ServerEntry{"\xB1\xBE\xBB\xFA\xC4\xBF\xC2\xBC", "http://127.0.0.1:8080"}));

    EXPECT_TRUE(readServerList((dir / "missing.ini").string()).empty());
    std::filesystem::remove_all(dir);
}
