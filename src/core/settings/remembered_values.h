// What the program remembers between runs (name, host address, gain, skin, plug-ins, directory
// server, window places, the chat pane), and the rules for taking a value back from the settings file. Pure:
// the Qt side reads the file and hands over each value as text; the rules here decide which can
// be used, so that a damaged file gives defaults instead of odd windows or a crash.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

namespace remembered_key {
inline constexpr std::string_view Name = "player/name";
inline constexpr std::string_view HostAddress = "player/hostAddress";
inline constexpr std::string_view GainBoost = "player/gainBoost";
inline constexpr std::string_view Skin = "appearance/skin";
inline constexpr std::string_view Plugins = "plugins/on";
inline constexpr std::string_view DirectoryServer = "directory/server";
inline constexpr std::string_view MainWindow = "windows/main";
inline constexpr std::string_view BrowserWindow = "windows/browser";
inline constexpr std::string_view OverlayWindow = "windows/overlay";
inline constexpr std::string_view ChatPane = "chat/pane";  // the chat pane in the main window
}  // namespace remembered_key

// Every key above, in the order they are checked.
const std::vector<std::string_view>& rememberedKeys();

// A settings file larger than this is not read at all: the program's own values take a few
// hundred bytes, and the file is read whole.
inline constexpr std::size_t MaxSettingsFileBytes = 64 * 1024;
// The name field takes 16 characters.
inline constexpr std::size_t MaxRememberedNameChars = 16;
// Skin and plug-in file names, the directory server's display name.
inline constexpr std::size_t MaxRememberedTextBytes = 255;
// Window coordinates beyond this are nonsense on any desktop.
inline constexpr int MaxCoordinate = 100000;

// A window's top-left corner, as the window system places it.
struct Place {
    int x = 0;
    int y = 0;
    bool operator==(const Place&) const = default;
};

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// One value as the file holds it: absent, text (UTF-8), or a value of another type (a list, a
// number, a binary record) where text belongs.
struct StoredValue {
    enum class Kind { Absent, Text, NotText };
    Kind kind = Kind::Absent;
    std::string text;
};
using StoredSettings = std::map<std::string, StoredValue, std::less<>>;

struct RememberedValues {
    std::string name;                   // UTF-8, at most MaxRememberedNameChars characters
    std::string hostAddress;            // a dotted IPv4 address, or empty
    bool gainBoost = false;
    std::string skin;                   // a file of skin/, or empty for the default skin
    std::vector<std::string> plugins;   // files of plugin/ that were switched on
    std::string directoryServer;        // display name in sys/sys.ini, or empty for the first
    std::optional<Place> mainWindow;
    std::optional<Place> browserWindow;
    std::optional<Place> overlayWindow;
    bool chatPane = false;  // texts show in the main window's pane instead of boxes
};

struct SettingsCheck {
    RememberedValues values;
    // One line per value that could not be used: "key: why". Such keys give their default.
    std::vector<std::string> damaged;
};

// Takes what can be used of the stored values. Absent keys give their defaults quietly; a value
// of the wrong type, too long, with control characters or out of range gives its default and a
// line in `damaged`.
SettingsCheck checkStoredSettings(const StoredSettings& stored);

// The text forms written to the file.
std::string placeText(Place place);                                  // "x,y"
std::string pluginListText(const std::vector<std::string>& files);   // "a.so/b.so": '/' never occurs in a file name
std::string boolText(bool on);                                       // "true" / "false"

// Whether a window of `size` at `place` can be reached on one of the screens: enough of its top
// strip (where its title bar is) lies on a single screen for the player to grab it.
bool placeReachable(Place place, int width, int height, const std::vector<Area>& screens);

// Whether the name can be remembered: at most MaxRememberedNameChars characters of valid UTF-8
// without control characters.
bool rememberableName(std::string_view utf8);
// A plain file name: no directories, no "." or "..", no control characters, bounded length.
bool plainFileName(std::string_view name);

}  // namespace lumo
