#include "core/shell/skin_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using lumo::parseSkinList;
using lumo::readSkinList;
using lumo::SkinEntry;

namespace {

std::vector<std::string> names(const std::vector<SkinEntry>& entries)
{
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.name);
    return out;
}

// A scratch file that goes away with the test.
struct ScratchFile {
    explicit ScratchFile(const std::string& content)
        : path(std::filesystem::temp_directory_path() /
               ("shell_skin_list_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
        std::ofstream(path, std::ios::binary) << content;
    }
    ~ScratchFile() { std::filesystem::remove(path); }
    std::filesystem::path path;
};

}  // namespace

TEST(ShellSkinList, OneEntryGivesItsNameFileAndLineNumber)
{
    const auto entries = parseSkinList("[skin]\nBlue=blue.smf\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (SkinEntry{1, "Blue", "blue.smf"}));
    EXPECT_EQ(lumo::skinFilePath(entries[0]), "skin/blue.smf");
}

TEST(ShellSkinList, SectionLineMustNameSkinExactly)
{
    const std::string entry = "\nBlue=blue.smf\n";
    EXPECT_EQ(parseSkinList("[ skin ]" + entry).size(), 1u);
    EXPECT_EQ(parseSkinList("[\tskin\t]" + entry).size(), 1u);
    EXPECT_EQ(parseSkinList("[skin] anything after" + entry).size(), 1u);
    EXPECT_EQ(parseSkinList("[skin]]" + entry).size(), 1u);
    EXPECT_EQ(parseSkinList("[skin]\r" + entry).size(), 1u);

    EXPECT_TRUE(parseSkinList(" [skin]" + entry).empty());  // blank before the bracket
    EXPECT_TRUE(parseSkinList("[Skin]" + entry).empty());
    EXPECT_TRUE(parseSkinList("[skin" + entry).empty());    // no closing bracket
    EXPECT_TRUE(parseSkinList("[sk in]" + entry).empty());
    EXPECT_TRUE(parseSkinList("skin" + entry).empty());
    EXPECT_TRUE(parseSkinList(entry).empty());               // empty first line
    EXPECT_TRUE(parseSkinList("").empty());
    EXPECT_TRUE(parseSkinList("[skin]").empty());            // a section and nothing else
}

TEST(ShellSkinList, EntriesSplitAtTheFirstEqualsAndAreTrimmed)
{
    const auto entries = parseSkinList(
        "[skin]\r\n"
        "   Dark Blue  =  dark=blue.smf  \r\n"
        "\tnoequalsign.smf\n"
        "=nameless.smf\n"
        "named=\t\t\t\n");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0], (SkinEntry{1, "Dark Blue", "dark=blue.smf"}));
    EXPECT_EQ(entries[1], (SkinEntry{2, "", "noequalsign.smf"}));
    EXPECT_EQ(entries[2], (SkinEntry{3, "", "nameless.smf"}));
    EXPECT_EQ(entries[3], (SkinEntry{4, "named", ""}));
}

TEST(ShellSkinList, ShortLineEndsTheList)
{
    // Seven bytes after leading white space are enough; six end the list there.
    EXPECT_EQ(names(parseSkinList("[skin]\na=b.smf\n")), std::vector<std::string>{"a"});
    EXPECT_TRUE(parseSkinList("[skin]\na=b.sm\nlonger=later.smf\n").empty());
    EXPECT_TRUE(parseSkinList("[skin]\n      a=b.sm\n").empty());
    // Trailing white space counts toward the seven bytes.
    EXPECT_EQ(parseSkinList("[skin]\na=b.s  \n").size(), 1u);
    // An empty line between entries ends the list at that line.
    EXPECT_EQ(names(parseSkinList("[skin]\nfirst=1.smf\n\nthird=3.smf\n")), std::vector<std::string>{"first"});
    EXPECT_EQ(names(parseSkinList("[skin]\nfirst=1.smf\n   \t\nthird=3.smf\n")), std::vector<std::string>{"first"});
}

TEST(ShellSkinList, OnlyTheFirst31EntriesCount)
{
    std::string text = "[skin]\n";
    for (int i = 0; i < 40; ++i) text += "skin" + std::to_string(i) + "=s" + std::to_string(i) + ".smf\n";
    const auto entries = parseSkinList(text);
    ASSERT_EQ(entries.size(), 31u);
    EXPECT_EQ(entries.front(), (SkinEntry{1, "skin0", "s0.smf"}));
    EXPECT_EQ(entries.back(), (SkinEntry{31, "skin30", "s30.smf"}));
    static_assert(lumo::MaxSkins == 31);
}

TEST(ShellSkinList, LongNamesAndGbkTextAreKeptWhole)
{
    const std::string gbkName = "\xba\xa3\xd1\xf3";  // 海洋 in GBK
    std::string longFile(40, 'x');
    longFile += ".smf";
    const auto entries = parseSkinList("[skin]\n" + gbkName + "=" + longFile + "\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, gbkName);
    EXPECT_EQ(entries[0].file, longFile);
}

TEST(ShellSkinList, ReadsTheFileBoundedAndMissingFilesGiveNothing)
{
    EXPECT_TRUE(readSkinList("/nonexistent/skin/skin.ini").empty());
    EXPECT_TRUE(readSkinList(std::filesystem::temp_directory_path().string()).empty());  // a directory

    ScratchFile good("[skin]\nZarive=Zarive.smf\nOcean=Ocean.smf\n");
    EXPECT_EQ(names(readSkinList(good.path.string())), (std::vector<std::string>{"Zarive", "Ocean"}));

    // A first line longer than the read bound never finds its closing bracket.
    ScratchFile huge("[skin" + std::string(lumo::MaxSkinListBytes, ' ') + "]\nZarive=Zarive.smf\n");
    EXPECT_TRUE(readSkinList(huge.path.string()).empty());
}
