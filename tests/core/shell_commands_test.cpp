// The menu's command routing, the plug-in scan's rules and the updater's server setting.
#include "core/shell/menu_commands.h"
#include "core/shell/plugin_scan.h"
#include "core/shell/update_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace lumo;

namespace {

std::vector<std::string> texts(const std::vector<PluginItem>& items)
{
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(item.text);
    return out;
}

}  // namespace

TEST(ShellCommands, EveryIdReachesItsHandler)
{
    EXPECT_EQ(routeCommand(57665), (RoutedCommand{ShellCommand::Exit}));
    EXPECT_EQ(routeCommand(32774), (RoutedCommand{ShellCommand::SkinMenu}));
    EXPECT_EQ(routeCommand(32780), (RoutedCommand{ShellCommand::Forum}));
    EXPECT_EQ(routeCommand(57664), (RoutedCommand{ShellCommand::About}));
    EXPECT_EQ(routeCommand(32776), (RoutedCommand{ShellCommand::WebSite}));
    EXPECT_EQ(routeCommand(32778), (RoutedCommand{ShellCommand::OnlineUpdate}));
    EXPECT_EQ(routeCommand(32790), (RoutedCommand{ShellCommand::LanguageChoice, 0}));
    EXPECT_EQ(routeCommand(32791), (RoutedCommand{ShellCommand::LanguageChoice, 1}));
    EXPECT_EQ(routeCommand(32792), (RoutedCommand{ShellCommand::LanguageChoice, 2}));

    EXPECT_EQ(routeCommand(30000), (RoutedCommand{ShellCommand::SkinChoice, 0}));
    EXPECT_EQ(routeCommand(30030), (RoutedCommand{ShellCommand::SkinChoice, 30}));
    EXPECT_EQ(routeCommand(30090), (RoutedCommand{ShellCommand::SkinChoice, 90}));
    EXPECT_EQ(routeCommand(30100), (RoutedCommand{ShellCommand::PluginToggle, 0}));
    EXPECT_EQ(routeCommand(30131), (RoutedCommand{ShellCommand::PluginToggle, 31}));
    EXPECT_EQ(routeCommand(30190), (RoutedCommand{ShellCommand::PluginToggle, 90}));

    for (int id : {0, 1, 29999, 30091, 30099, 30191, 32775, 32777, 32779, 32789, 32793, 57663, 57666, -30000})
        EXPECT_FALSE(routeCommand(id)) << id;
}

TEST(ShellPluginScan, ItemsInNameOrderWithoutTheSuffix)
{
    const auto items = pluginItems({"b.so", "hudlet.so", "a.so", "README", "a.so.1", "lib.sox", "ZZ.SO"});
    EXPECT_EQ(texts(items), (std::vector<std::string>{"ZZ", "a", "b", "hudlet"}));
    EXPECT_EQ(items[0], (PluginItem{"ZZ", "ZZ.SO"}));  // the file keeps its own spelling
    EXPECT_EQ(items[3], (PluginItem{"hudlet", "hudlet.so"}));
    EXPECT_TRUE(pluginItems({}).empty());
    EXPECT_TRUE(pluginItems({"notes.txt", "x.dll"}).empty());
}

TEST(ShellPluginScan, MixedCaseSuffixEndsTheScan)
{
    // The search returns a.so, b.So, c.so in that order: b.So ends it and c is never listed.
    EXPECT_EQ(texts(pluginItems({"c.so", "b.So", "a.so"})), std::vector<std::string>{"a"});
    EXPECT_TRUE(pluginItems({"a.sO", "b.so"}).empty());
    // A bare ".so" has no name to show and is passed over.
    EXPECT_EQ(texts(pluginItems({".so", "a.so"})), std::vector<std::string>{"a"});
}

TEST(ShellPluginScan, AtMostTheCommandRangeOfItems)
{
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) names.push_back("p" + std::to_string(1000 + i) + ".so");
    const auto items = pluginItems(names);
    ASSERT_EQ(items.size(), static_cast<std::size_t>(MaxPluginItems));
    EXPECT_EQ(items.front().text, "p1000");
    EXPECT_EQ(items.back().text, "p1090");
    static_assert(30100 + MaxPluginItems - 1 == 30190);
}

TEST(ShellUpdateConfig, ServerHttpIsFoundBesideTheDirectoryList)
{
    const std::string shipped =
        "[urllist]\n"
        "\xb1\xbe\xbb\xfa=http://127.0.0.1:8080\n"
        "\n"
        "[server]\n"
        "http=http://127.0.0.1:8080/lumo\n";
    EXPECT_EQ(findIniValue(shipped, "server", "http"), "http://127.0.0.1:8080/lumo");
    EXPECT_EQ(findIniValue(shipped, "SERVER", "HTTP"), "http://127.0.0.1:8080/lumo");
    EXPECT_FALSE(findIniValue(shipped, "server", "ftp"));
    EXPECT_FALSE(findIniValue(shipped, "urllist", "http"));  // keys of another section
    EXPECT_FALSE(findIniValue("", "server", "http"));
}

TEST(ShellUpdateConfig, ValuesAreTrimmedUnquotedAndTheFirstWins)
{
    EXPECT_EQ(findIniValue("  [ server ]  \r\n  http  =  \"http://a/b c\"  \r\n", "server", "http"), "http://a/b c");
    EXPECT_EQ(findIniValue("[server]\nhttp='x'\n", "server", "http"), "x");
    EXPECT_EQ(findIniValue("[server]\nhttp=\"x'\n", "server", "http"), "\"x'");
    EXPECT_EQ(findIniValue("[server]\nhttp=a=b\nhttp=second\n", "server", "http"), "a=b");
    EXPECT_EQ(findIniValue("[server]\n;http=commented\nhttp=real\n", "server", "http"), "real");
    // Only the first section of the name is searched.
    EXPECT_FALSE(findIniValue("[server]\nother=1\n[x]\n[server]\nhttp=late\n", "server", "http"));
    EXPECT_FALSE(findIniValue("[server\nhttp=x\n", "server", "http"));
    EXPECT_EQ(findIniValue("[server]\nhttp=\n", "server", "http"), "");
}

TEST(ShellUpdateConfig, MissingFileSectionKeyOrValueGivesTheDefault)
{
    EXPECT_EQ(readUpdateServerUrl("/nonexistent/sys/sys.ini"), DefaultUpdateUrl);
    EXPECT_EQ(std::string(DefaultUpdateUrl).substr(0, 7), "http://");
    EXPECT_EQ(std::string(DefaultUpdateUrl).substr(std::string(DefaultUpdateUrl).size() - 5), "/lumo");

    const auto path = std::filesystem::temp_directory_path() / "shell_commands_test_sys.ini";
    std::ofstream(path) << "[server]\nhttp=\n";
    EXPECT_EQ(readUpdateServerUrl(path.string()), DefaultUpdateUrl);
    std::ofstream(path) << "[server]\nhttp = http://updates.example.org/lumo \n";
    EXPECT_EQ(readUpdateServerUrl(path.string()), "http://updates.example.org/lumo");
    std::filesystem::remove(path);
}
