// One session of the desktop's global shortcuts portal (org.freedesktop.portal.GlobalShortcuts),
// as data: the Qt side makes the D-Bus calls this asks for and feeds in the answers and signals,
// checked for shape only; everything about whether an answer belongs to this session and what it
// means for the keys is decided here. A session is created, its shortcuts are bound once (the
// desktop may show its own dialog for that), and from then on the desktop reports each shortcut
// going down (Activated) and up (Deactivated) wherever the focus is.
#pragma once

#include "core/keys/key_edges.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::portal {

inline constexpr std::string_view Service = "org.freedesktop.portal.Desktop";
inline constexpr std::string_view ObjectPath = "/org/freedesktop/portal/desktop";
inline constexpr std::string_view Interface = "org.freedesktop.portal.GlobalShortcuts";
inline constexpr std::string_view RequestInterface = "org.freedesktop.portal.Request";
inline constexpr std::string_view SessionInterface = "org.freedesktop.portal.Session";

// The response codes of org.freedesktop.portal.Request::Response.
inline constexpr std::uint32_t Success = 0;
inline constexpr std::uint32_t Cancelled = 1;

// A shortcut the desktop bound, and how it says the player triggers it ("F9", "Ctrl+Home").
struct BoundShortcut {
    std::string id;
    std::string trigger;
};

enum class Phase {
    Asking,    // whether the desktop offers the portal at all
    Creating,  // CreateSession asked for
    Binding,   // BindShortcuts asked for: the desktop may be showing its dialog
    Bound,     // at least one shortcut is bound; its presses arrive
    Refused,   // the desktop (or the player, in its dialog) bound none
    Absent,    // no portal, or one without global shortcuts
    Lost,      // the portal went away or closed the session
};

class ShortcutSession {
public:
    enum class Send { Nothing, AskVersion, CreateSession, BindShortcuts };
    struct Step {
        Send send = Send::Nothing;
        std::vector<std::pair<std::string, KeyEdge>> edges;  // shortcut id and edge, in order
        bool changed = false;                                // the phase or a trigger changed
    };

    // The ids of the shortcuts this session binds (at most MaxShortcuts; see validShortcutId).
    explicit ShortcutSession(std::vector<std::string> ids);

    Step start();
    // The portal's version of the interface; nullopt when it does not answer or has none.
    Step portalAnswered(std::optional<std::uint32_t> version);
    Step sessionCreated(std::uint32_t response, const std::string& sessionHandle);
    Step shortcutsBound(std::uint32_t response, const std::vector<BoundShortcut>& bound);
    Step shortcutsChanged(const std::string& sessionHandle, const std::vector<BoundShortcut>& bound);
    Step activated(const std::string& sessionHandle, const std::string& id);
    Step deactivated(const std::string& sessionHandle, const std::string& id);
    Step sessionClosed(const std::string& sessionHandle);
    Step portalGone();
    Step portalBack();

    Phase phase() const { return phase_; }
    const std::vector<std::string>& ids() const { return ids_; }
    // The session's object path once created; empty before and after.
    const std::string& sessionHandle() const { return handle_; }
    // What the desktop says triggers a bound shortcut; nullopt while it is not bound.
    std::optional<std::string> trigger(const std::string& id) const;
    bool held(const std::string& id) const { return held_.count(id) != 0; }

    static constexpr std::size_t MaxShortcuts = 8;
    static constexpr std::size_t MaxTriggerBytes = 256;

private:
    bool wanted(const std::string& id) const;
    bool ours(const std::string& sessionHandle) const;
    bool takeTriggers(const std::vector<BoundShortcut>& bound);
    Step endSession(Phase phase);

    std::vector<std::string> ids_;
    Phase phase_ = Phase::Asking;
    std::string handle_;
    std::map<std::string, std::string> triggers_;
    std::set<std::string> held_;
};

// The ids LUMO gives its shortcuts: 1 to 64 of [A-Za-z0-9_.-].
bool validShortcutId(std::string_view id);
// D-Bus object path syntax: "/" or "/" element ("/" element)*, elements of [A-Za-z0-9_].
bool validObjectPath(std::string_view path);
// One element of an object path (the tokens LUMO sends and the ids of shortcuts).
bool validPathElement(std::string_view element);
// Where the portal puts the Request object of a call made with `token` by the connection with
// this unique name (":1.42" → /org/freedesktop/portal/desktop/request/1_42/TOKEN); empty when
// the name or the token cannot make one.
std::string requestPath(std::string_view uniqueName, std::string_view token);

}  // namespace lumo::portal
