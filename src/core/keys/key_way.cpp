#include "core/keys/key_way.h"

namespace lumo {

namespace {

bool portalCannotServe(portal::Phase phase)
{
    return phase == portal::Phase::Refused || phase == portal::Phase::Absent || phase == portal::Phase::Lost;
}

}  // namespace

bool asksPortalFirst(const KeyFacts& facts) { return facts.display != KeyDisplay::X11 || facts.waylandSession; }

bool wantsX11Watch(const KeyFacts& facts, std::optional<portal::Phase> phase)
{
    return facts.display == KeyDisplay::X11 && (!phase || portalCannotServe(*phase));
}

KeyStatus keyStatus(const KeyFacts& facts, std::optional<portal::Phase> phase, bool x11Opened)
{
    using portal::Phase;
    KeyStatus status;
    if (!phase) {
        if (x11Opened) status.way = KeyWay::X11RawKeys;
        else status.problem = {key_text::X11WatchFailed};
        return status;
    }
    if (*phase == Phase::Bound) {
        status.way = KeyWay::DesktopPortal;
        return status;
    }
    if (!portalCannotServe(*phase)) {
        status.asking = true;
        return status;
    }
    const char* cause = *phase == Phase::Refused ? key_text::PortalRefused
                        : *phase == Phase::Lost  ? key_text::PortalLost
                                                 : key_text::PortalAbsent;
    switch (facts.display) {
    case KeyDisplay::X11:
        if (x11Opened) {
            status.way = KeyWay::X11RawKeys;
            status.problem = {cause, key_text::OnlyWithX11Focus};
        } else {
            status.problem = {cause, key_text::X11WatchFailed};
        }
        break;
    case KeyDisplay::Wayland: status.problem = {cause, key_text::NotOnNativeWayland}; break;
    case KeyDisplay::Other: status.problem = {cause, key_text::NoWayAtAll}; break;
    }
    return status;
}

}  // namespace lumo
