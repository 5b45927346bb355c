// The rules for taking remembered settings back from a file that may be damaged.
#include "core/settings/remembered_values.h"

#include <gtest/gtest.h>

using namespace lumo;
namespace key = remembered_key;

namespace {

StoredValue text(std::string value) { return {StoredValue::Kind::Text, std::move(value)}; }
StoredValue notText() { return {StoredValue::Kind::NotText, {}}; }

// The keys named in `damaged`, in order.
std::vector<std::string> damagedKeys(const SettingsCheck& check)
{
    std::vector<std::string> keys;
    for (const std::string& line : check.damaged) keys.push_back(line.substr(0, line.find(':')));
    return keys;
}

}  // namespace

TEST(RememberedValues, SoundValuesWrittenByTheProgramComeBack)
{
    StoredSettings stored;
    stored[std::string(key::Name)] = text("\xE5\xB0\x8F\xE6\x98\x8E bob");  // 小明 bob
    stored[std::string(key::HostAddress)] = text("192.168.1.20");
    stored[std::string(key::GainBoost)] = text(boolText(true));
    stored[std::string(key::ChatPane)] = text(boolText(true));
    stored[std::string(key::Skin)] = text("Ocean.smf");
    stored[std::string(key::Plugins)] = text(pluginListText({"hudlet.so", "other.so"}));
    stored[std::string(key::DirectoryServer)] = text("\xE6\x9C\xAC\xE6\x9C\xBA");
    stored[std::string(key::MainWindow)] = text(placeText({-40, 1200}));
    stored[std::string(key::BrowserWindow)] = text(placeText({MaxCoordinate, -MaxCoordinate}));
    stored[std::string(key::OverlayWindow)] = text(placeText({0, 0}));

    const SettingsCheck check = checkStoredSettings(stored);
    EXPECT_TRUE(check.damaged.empty());
    EXPECT_EQ(check.values.name, "\xE5\xB0\x8F\xE6\x98\x8E bob");
    EXPECT_EQ(check.values.hostAddress, "192.168.1.20");
    EXPECT_TRUE(check.values.gainBoost);
    EXPECT_TRUE(check.values.chatPane);
    EXPECT_EQ(check.values.skin, "Ocean.smf");
    EXPECT_EQ(check.values.plugins, (std::vector<std::string>{"hudlet.so", "other.so"}));
    EXPECT_EQ(check.values.directoryServer, "\xE6\x9C\xAC\xE6\x9C\xBA");
    EXPECT_EQ(check.values.mainWindow, (Place{-40, 1200}));
    EXPECT_EQ(check.values.browserWindow, (Place{MaxCoordinate, -MaxCoordinate}));
    EXPECT_EQ(check.values.overlayWindow, (Place{0, 0}));

    // An empty file, or emptied fields and no plug-ins, are the defaults, and no damage.
    EXPECT_TRUE(checkStoredSettings({}).damaged.empty());
    StoredSettings emptied;
    emptied[std::string(key::HostAddress)] = text("");
    emptied[std::string(key::Plugins)] = text(pluginListText({}));
    emptied[std::string(key::Name)] = text("");
    const SettingsCheck none = checkStoredSettings(emptied);
    EXPECT_TRUE(none.damaged.empty());
    EXPECT_TRUE(none.values.plugins.empty());
    EXPECT_EQ(none.values.hostAddress, "");
}

TEST(RememberedValues, DamagedValuesGiveDefaultsAndAreNamed)
{
    struct Case {
        std::string_view key;
        StoredValue value;
    };
    const std::vector<Case> cases = {
        {key::Name, notText()},
        {key::Name, text(std::string(17, 'a'))},                 // more than the field takes
        {key::Name, text("bo\x01" "b")},                         // a control character
        {key::Name, text("\xC3(")},                              // broken UTF-8
        {key::Name, text(std::string(100000, 'x'))},             // huge
        {key::HostAddress, text("999.1.1.1")},
        {key::HostAddress, text("1.2.3")},
        {key::HostAddress, text(std::string(5000, '1'))},
        {key::GainBoost, text("yes")},
        {key::GainBoost, notText()},
        {key::ChatPane, text("1")},
        {key::ChatPane, notText()},
        {key::Skin, text("../../etc/passwd")},
        {key::Skin, text("sub/Ocean.smf")},
        {key::Skin, text("..")},
        {key::Skin, text(std::string(300, 's'))},
        {key::Plugins, text("hudlet.so/../evil.so")},
        {key::Plugins, text("a.so//b.so")},
        {key::DirectoryServer, text(std::string(256, 'd'))},
        {key::MainWindow, text("99999999,5")},                 // off any desktop
        {key::MainWindow, text("1,2,3")},
        {key::MainWindow, text("x,y")},
        {key::BrowserWindow, text("")},
        {key::BrowserWindow, text("+5,5")},
        {key::OverlayWindow, text("-2147483649,0")},           // past int
        {key::OverlayWindow, notText()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value.text.substr(0, 40));
        StoredSettings stored;
        stored[std::string(c.key)] = c.value;
        stored[std::string(key::Name)] = c.key == key::Name ? c.value : text("ann");  // a sound neighbour stays
        const SettingsCheck check = checkStoredSettings(stored);
        EXPECT_EQ(damagedKeys(check), std::vector<std::string>{std::string(c.key)});
        const RememberedValues defaults;
        EXPECT_EQ(check.values.name, c.key == key::Name ? defaults.name : "ann");
        EXPECT_EQ(check.values.hostAddress, defaults.hostAddress);
        EXPECT_EQ(check.values.gainBoost, defaults.gainBoost);
        EXPECT_EQ(check.values.chatPane, defaults.chatPane);
        EXPECT_EQ(check.values.skin, defaults.skin);
        EXPECT_TRUE(check.values.plugins.empty());
        EXPECT_EQ(check.values.directoryServer, defaults.directoryServer);
        EXPECT_FALSE(check.values.mainWindow || check.values.browserWindow || check.values.overlayWindow);
    }

    // More plug-ins than there are slots: the list is damaged, not cut.
    std::vector<std::string> many;
    for (int i = 0; i < 33; ++i) many.push_back("p" + std::to_string(i) + ".so");
    StoredSettings stored;
    stored[std::string(key::Plugins)] = text(pluginListText(many));
    EXPECT_EQ(damagedKeys(checkStoredSettings(stored)), std::vector<std::string>{std::string(key::Plugins)});
    many.pop_back();
    stored[std::string(key::Plugins)] = text(pluginListText(many) + "/p0.so");  // 32 and a repeat
    const SettingsCheck check = checkStoredSettings(stored);
    EXPECT_TRUE(check.damaged.empty());
    EXPECT_EQ(check.values.plugins.size(), 32u);
}

TEST(RememberedValues, NamesAsTheFieldHoldsThem)
{
    EXPECT_TRUE(rememberableName(""));
    EXPECT_TRUE(rememberableName(std::string(16, 'a')));
    // Sixteen Chinese characters are 48 bytes of UTF-8 but fit the field.
    std::string chinese;
    for (int i = 0; i < 16; ++i) chinese += "\xE5\xB0\x8F";
    EXPECT_TRUE(rememberableName(chinese));
    EXPECT_FALSE(rememberableName(chinese + "a"));
    EXPECT_FALSE(rememberableName("a\nb"));
    EXPECT_FALSE(rememberableName("a\x7F"));
    EXPECT_FALSE(rememberableName("\xF8\x88\x80\x80\x80"));  // not UTF-8
    EXPECT_FALSE(rememberableName("\xE5\xB0"));              // cut character
}

TEST(RememberedValues, APlaceIsRestoredOnlyWhereThePlayerCanReachIt)
{
    const std::vector<Area> one = {{0, 0, 1280, 800}};
    const std::vector<Area> two = {{0, 0, 1280, 800}, {1280, -200, 1920, 1080}};
    EXPECT_TRUE(placeReachable({100, 100}, 400, 300, one));
    EXPECT_TRUE(placeReachable({1280 - 48, 800 - 16}, 400, 300, one));   // just enough of the top strip shows
    EXPECT_FALSE(placeReachable({1280 - 47, 100}, 400, 300, one));
    EXPECT_FALSE(placeReachable({100, 800 - 15}, 400, 300, one));
    EXPECT_FALSE(placeReachable({100, -20}, 400, 300, one));            // its top strip is above the screen
    EXPECT_TRUE(placeReachable({-352, 0}, 400, 300, one));              // 48 pixels of it on the left edge
    EXPECT_FALSE(placeReachable({-3000, -3000}, 400, 300, one));
    EXPECT_FALSE(placeReachable({2000, 100}, 400, 300, one));           // where a second screen was
    EXPECT_TRUE(placeReachable({2000, -150}, 400, 300, two));
    EXPECT_FALSE(placeReachable({2000, -250}, 400, 300, two));
    EXPECT_FALSE(placeReachable({100, 100}, 400, 300, {}));             // no screen at all
    // Windows smaller than the strip count whole; absurd sizes and places do not overflow.
    EXPECT_TRUE(placeReachable({1270, 790}, 10, 10, one));
    EXPECT_TRUE(placeReachable({0, 0}, 2147483647, 2147483647, one));
    EXPECT_FALSE(placeReachable({MaxCoordinate + 1, 0}, 400, 300, {{MaxCoordinate, 0, 1000, 1000}}));
    EXPECT_FALSE(placeReachable({-2147483647 - 1, -2147483647 - 1}, 2147483647, 2147483647, one));
}
