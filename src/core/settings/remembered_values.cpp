#include "core/settings/remembered_values.h"

#include "core/wire/wire.h"

#include <algorithm>
#include <charconv>

namespace lumo {

namespace {

// A window is restored only if this much of its top strip lies on one screen: enough to take
// hold of with the mouse.
constexpr int ReachableWidth = 48;
constexpr int ReachableHeight = 16;
constexpr std::size_t MaxRememberedPlugins = 32;

// Code points of valid UTF-8, or nullopt; control characters (C0, DEL) count as invalid.
std::optional<std::size_t> countCharacters(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) return std::nullopt;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
        i += length;
    }
    return count;
}

bool plainText(std::string_view text, std::size_t maxBytes)
{
    return text.size() <= maxBytes && countCharacters(text).has_value();
}

std::optional<int> parseCoordinate(std::string_view text)
{
    if (!text.empty() && text.front() == '+') return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < -MaxCoordinate || value > MaxCoordinate) return std::nullopt;
    return value;
}

std::optional<Place> parsePlace(std::string_view text)
{
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const auto x = parseCoordinate(text.substr(0, comma));
    const auto y = parseCoordinate(text.substr(comma + 1));
    if (!x || !y) return std::nullopt;
    return Place{*x, *y};
}

std::optional<std::vector<std::string>> parsePluginList(std::string_view text)
{
    std::vector<std::string> files;
    while (!text.empty()) {
        const auto slash = text.find('/');
        const std::string_view file = text.substr(0, slash);
        if (!plainFileName(file)) return std::nullopt;
        if (std::find(files.begin(), files.end(), file) == files.end()) {
            if (files.size() == MaxRememberedPlugins) return std::nullopt;
            files.emplace_back(file);
        }
        if (slash == std::string_view::npos) break;
        text.remove_prefix(slash + 1);
    }
    return files;
}

}  // namespace

const std::vector<std::string_view>& rememberedKeys()
{
    using namespace remembered_key;
    static const std::vector<std::string_view> keys = {Name,    HostAddress,     GainBoost,  Skin,          Plugins,
                                                       DirectoryServer, MainWindow, BrowserWindow, OverlayWindow, ChatPane};
    return keys;
}

bool rememberableName(std::string_view utf8)
{
    const auto characters = countCharacters(utf8);
    return characters && *characters <= MaxRememberedNameChars;
}

bool plainFileName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos && plainText(name, MaxRememberedTextBytes);
}

SettingsCheck checkStoredSettings(const StoredSettings& stored)
{
    SettingsCheck check;
    RememberedValues& values = check.values;
    for (const std::string_view key : rememberedKeys()) {
        const auto found = stored.find(key);
        if (found == stored.end() || found->second.kind == StoredValue::Kind::Absent) continue;
        const StoredValue& value = found->second;
        auto damaged = [&](std::string_view why) { check.damaged.push_back(std::string(key) + ": " + std::string(why)); };
        if (value.kind == StoredValue::Kind::NotText) {
            damaged("not text");
            continue;
        }
        const std::string& text = value.text;
        using namespace remembered_key;
        if (key == Name) {
            if (rememberableName(text)) values.name = text;
            else damaged("not a name of at most 16 characters");
        } else if (key == HostAddress) {
            if (text.empty() || (text.size() <= 15 && parseDottedAddress(text))) values.hostAddress = text;
            else damaged("not an IPv4 address");
        } else if (key == GainBoost || key == ChatPane) {
            if (text == "true" || text == "false") (key == GainBoost ? values.gainBoost : values.chatPane) = text == "true";
            else damaged("neither true nor false");
        } else if (key == Skin) {
            if (plainFileName(text)) values.skin = text;
            else damaged("not a file name");
        } else if (key == Plugins) {
            if (auto files = parsePluginList(text)) values.plugins = std::move(*files);
            else damaged("not a list of at most 32 file names");
        } else if (key == DirectoryServer) {
            if (plainText(text, MaxRememberedTextBytes)) values.directoryServer = text;
            else damaged("not a server name");
        } else {
            const auto place = parsePlace(text);
            if (!place) {
                damaged("not a window position x,y within the desktop's range");
                continue;
            }
            if (key == MainWindow) values.mainWindow = place;
            else if (key == BrowserWindow) values.browserWindow = place;
            else values.overlayWindow = place;
        }
    }
    return check;
}

std::string placeText(Place place) { return std::to_string(place.x) + "," + std::to_string(place.y); }

std::string pluginListText(const std::vector<std::string>& files)
{
    std::string text;
    for (const std::string& file : files) {
        if (!text.empty()) text += '/';
        text += file;
    }
    return text;
}

std::string boolText(bool on) { return on ? "true" : "false"; }

bool placeReachable(Place place, int width, int height, const std::vector<Area>& screens)
{
    if (place.x < -MaxCoordinate || place.x > MaxCoordinate || place.y < -MaxCoordinate || place.y > MaxCoordinate)
        return false;
    width = std::clamp(width, 1, MaxCoordinate);
    height = std::clamp(height, 1, MaxCoordinate);
    const int stripHeight = std::min(height, 24);
    for (const Area& screen : screens) {
        const long left = std::max<long>(place.x, screen.x);
        const long right = std::min<long>(long(place.x) + width, long(screen.x) + screen.width);
        const long top = std::max<long>(place.y, screen.y);
        const long bottom = std::min<long>(long(place.y) + stripHeight, long(screen.y) + screen.height);
        if (right - left >= std::min(width, ReachableWidth) && bottom - top >= std::min(stripHeight, ReachableHeight))
            return true;
    }
    return false;
}

}  // namespace lumo
