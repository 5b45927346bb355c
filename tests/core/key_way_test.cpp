// Which way a key is heard in each kind of session, and what the player is told.
#include "core/keys/key_way.h"

#include <gtest/gtest.h>

#include <string>

namespace lumo {
namespace {

using portal::Phase;

TEST(KeyWay, PortalFirstEverywhereButAPlainX11Session)
{
    EXPECT_FALSE(asksPortalFirst({KeyDisplay::X11, false}));
    EXPECT_TRUE(asksPortalFirst({KeyDisplay::X11, true}));  // through XWayland
    EXPECT_TRUE(asksPortalFirst({KeyDisplay::Wayland, true}));
    EXPECT_TRUE(asksPortalFirst({KeyDisplay::Other, false}));
}

TEST(KeyWay, StatusInEachSession)
{
    namespace t = key_text;
    const KeyFacts x11{KeyDisplay::X11, false};
    const KeyFacts xwayland{KeyDisplay::X11, true};
    const KeyFacts wayland{KeyDisplay::Wayland, true};
    const KeyFacts offscreen{KeyDisplay::Other, false};
    struct Case {
        const char* what;
        KeyFacts facts;
        std::optional<Phase> phase;
        bool x11Opened;
        bool wantsX11;
        KeyWay way;
        bool asking;
        std::vector<const char*> problem;
    };
    const Case cases[] = {
        {"X11 session", x11, std::nullopt, true, true, KeyWay::X11RawKeys, false, {}},
        {"X11 session without XInput2", x11, std::nullopt, false, true, KeyWay::None, false, {t::X11WatchFailed}},
        {"XWayland while the desktop is asked", xwayland, Phase::Binding, false, false, KeyWay::None, true, {}},
        {"XWayland, bound", xwayland, Phase::Bound, false, false, KeyWay::DesktopPortal, false, {}},
        {"XWayland, no portal", xwayland, Phase::Absent, true, true, KeyWay::X11RawKeys, false,
         {t::PortalAbsent, t::OnlyWithX11Focus}},
        {"XWayland, refused", xwayland, Phase::Refused, true, true, KeyWay::X11RawKeys, false,
         {t::PortalRefused, t::OnlyWithX11Focus}},
        {"XWayland, portal gone, no XInput2", xwayland, Phase::Lost, false, true, KeyWay::None, false,
         {t::PortalLost, t::X11WatchFailed}},
        {"native Wayland, asking", wayland, Phase::Asking, false, false, KeyWay::None, true, {}},
        {"native Wayland, bound", wayland, Phase::Bound, false, false, KeyWay::DesktopPortal, false, {}},
        {"native Wayland, no portal", wayland, Phase::Absent, false, false, KeyWay::None, false,
         {t::PortalAbsent, t::NotOnNativeWayland}},
        {"native Wayland, portal gone", wayland, Phase::Lost, false, false, KeyWay::None, false,
         {t::PortalLost, t::NotOnNativeWayland}},
        {"offscreen, no portal", offscreen, Phase::Absent, false, false, KeyWay::None, false, {t::PortalAbsent, t::NoWayAtAll}},
        {"offscreen, bound", offscreen, Phase::Bound, false, false, KeyWay::DesktopPortal, false, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wantsX11Watch(c.facts, c.phase), c.wantsX11) << c.what;
        const KeyStatus status = keyStatus(c.facts, c.phase, c.x11Opened);
        EXPECT_EQ(status.way, c.way) << c.what;
        EXPECT_EQ(status.asking, c.asking) << c.what;
        // The texts, not their addresses: a literal may have a copy in each object file.
        EXPECT_EQ(std::vector<std::string>(status.problem.begin(), status.problem.end()),
                  std::vector<std::string>(c.problem.begin(), c.problem.end()))
            << c.what;
    }
}

}  // namespace
}  // namespace lumo
