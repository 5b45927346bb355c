#include "core/keys/portal_session.h"

#include <algorithm>

namespace lumo::portal {

namespace {

bool elementChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool validPathElement(std::string_view element)
{
    return !element.empty() && element.size() <= 255 && std::all_of(element.begin(), element.end(), elementChar);
}

bool validShortcutId(std::string_view id)
{
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](char c) { return elementChar(c) || c == '-' || c == '.'; });
}

bool validObjectPath(std::string_view path)
{
    if (path.empty() || path.front() != '/' || path.size() > 4096) return false;
    if (path.size() == 1) return true;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (!validPathElement(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::string requestPath(std::string_view uniqueName, std::string_view token)
{
    if (uniqueName.size() < 2 || uniqueName.front() != ':' || !validPathElement(token)) return {};
    std::string sender(uniqueName.substr(1));
    for (char& c : sender) {
        if (c == '.') c = '_';
        if (!elementChar(c)) return {};
    }
    return std::string(ObjectPath) + "/request/" + sender + "/" + std::string(token);
}

ShortcutSession::ShortcutSession(std::vector<std::string> ids)
{
    for (std::string& id : ids)
        if (validShortcutId(id) && !wanted(id) && ids_.size() < MaxShortcuts) ids_.push_back(std::move(id));
}

bool ShortcutSession::wanted(const std::string& id) const { return std::find(ids_.begin(), ids_.end(), id) != ids_.end(); }

bool ShortcutSession::ours(const std::string& sessionHandle) const { return !handle_.empty() && sessionHandle == handle_; }

std::optional<std::string> ShortcutSession::trigger(const std::string& id) const
{
    const auto found = triggers_.find(id);
    if (found == triggers_.end()) return std::nullopt;
    return found->second;
}

ShortcutSession::Step ShortcutSession::start()
{
    phase_ = Phase::Asking;
    return {Send::AskVersion, {}, true};
}

ShortcutSession::Step ShortcutSession::portalAnswered(std::optional<std::uint32_t> version)
{
    if (phase_ != Phase::Asking) return {};
    if (!version || *version == 0 || ids_.empty()) {
        phase_ = Phase::Absent;
        return {Send::Nothing, {}, true};
    }
    phase_ = Phase::Creating;
    return {Send::CreateSession, {}, true};
}

ShortcutSession::Step ShortcutSession::sessionCreated(std::uint32_t response, const std::string& sessionHandle)
{
    if (phase_ != Phase::Creating) return {};
    if (response != Success || !validObjectPath(sessionHandle)) {
        phase_ = Phase::Refused;
        return {Send::Nothing, {}, true};
    }
    handle_ = sessionHandle;
    phase_ = Phase::Binding;
    return {Send::BindShortcuts, {}, true};
}

bool ShortcutSession::takeTriggers(const std::vector<BoundShortcut>& bound)
{
    std::map<std::string, std::string> triggers;
    for (const BoundShortcut& shortcut : bound) {
        if (!wanted(shortcut.id) || triggers.count(shortcut.id)) continue;
        triggers[shortcut.id] = shortcut.trigger.substr(0, MaxTriggerBytes);
    }
    if (triggers == triggers_) return false;
    triggers_ = std::move(triggers);
    return true;
}

ShortcutSession::Step ShortcutSession::shortcutsBound(std::uint32_t response, const std::vector<BoundShortcut>& bound)
{
    if (phase_ != Phase::Binding) return {};
    if (response == Success) takeTriggers(bound);
    phase_ = triggers_.empty() ? Phase::Refused : Phase::Bound;
    return {Send::Nothing, {}, true};
}

ShortcutSession::Step ShortcutSession::shortcutsChanged(const std::string& sessionHandle,
                                                         const std::vector<BoundShortcut>& bound)
{
    // The player may bind or unbind the shortcuts later in the desktop's own settings.
    if (!ours(sessionHandle) || (phase_ != Phase::Bound && phase_ != Phase::Refused)) return {};
    Step step;
    step.changed = takeTriggers(bound);
    for (auto it = held_.begin(); it != held_.end();) {
        if (triggers_.count(*it)) {
            ++it;
            continue;
        }
        step.edges.emplace_back(*it, KeyEdge::Up);
        it = held_.erase(it);
    }
    const Phase phase = triggers_.empty() ? Phase::Refused : Phase::Bound;
    step.changed = step.changed || phase != phase_;
    phase_ = phase;
    return step;
}

ShortcutSession::Step ShortcutSession::activated(const std::string& sessionHandle, const std::string& id)
{
    // A desktop that repeats a held shortcut sends Activated again: it is still one press.
    if (phase_ != Phase::Bound || !ours(sessionHandle) || !triggers_.count(id) || held_.count(id)) return {};
    held_.insert(id);
    return {Send::Nothing, {{id, KeyEdge::Down}}, false};
}

ShortcutSession::Step ShortcutSession::deactivated(const std::string& sessionHandle, const std::string& id)
{
    if (!ours(sessionHandle) || !held_.erase(id)) return {};
    return {Send::Nothing, {{id, KeyEdge::Up}}, false};
}

ShortcutSession::Step ShortcutSession::endSession(Phase phase)
{
    Step step;
    for (const std::string& id : held_) step.edges.emplace_back(id, KeyEdge::Up);
    held_.clear();
    triggers_.clear();
    handle_.clear();
    step.changed = phase_ != phase;
    phase_ = phase;
    return step;
}

ShortcutSession::Step ShortcutSession::sessionClosed(const std::string& sessionHandle)
{
    if (!ours(sessionHandle)) return {};
    return endSession(Phase::Lost);
}

ShortcutSession::Step ShortcutSession::portalGone()
{
    if (phase_ == Phase::Absent || phase_ == Phase::Lost) return {};
    return endSession(phase_ == Phase::Asking ? Phase::Absent : Phase::Lost);
}

ShortcutSession::Step ShortcutSession::portalBack()
{
    // A portal that starts (again) is asked from the beginning: its old session is gone.
    if (phase_ != Phase::Absent && phase_ != Phase::Lost) return {};
    return start();
}

}  // namespace lumo::portal
