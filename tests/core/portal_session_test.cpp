// A session of the desktop's global shortcuts portal: what is asked for in which order, which
// answers and signals belong to the session, and the key edges they give.
#include "core/keys/portal_session.h"

#include <gtest/gtest.h>

#include <functional>

namespace lumo::portal {
namespace {

using Send = ShortcutSession::Send;
const std::string Handle = "/org/freedesktop/portal/desktop/session/1_7/lumo_1";

std::string edges(const ShortcutSession::Step& step)
{
    std::string out;
    for (const auto& [id, edge] : step.edges) out += id + (edge == KeyEdge::Down ? "+" : "-") + " ";
    return out;
}

// A session brought to Bound with both keys bound.
ShortcutSession bound()
{
    ShortcutSession session({"push-to-talk", "overlay"});
    session.start();
    session.portalAnswered(1);
    session.sessionCreated(Success, Handle);
    session.shortcutsBound(Success, {{"push-to-talk", "F9"}, {"overlay", "Home"}});
    return session;
}

TEST(PortalSession, FromAskingToBound)
{
    ShortcutSession session({"push-to-talk", "overlay"});
    EXPECT_EQ(session.start().send, Send::AskVersion);
    EXPECT_EQ(session.portalAnswered(1).send, Send::CreateSession);
    EXPECT_EQ(session.phase(), Phase::Creating);
    EXPECT_EQ(session.sessionCreated(Success, Handle).send, Send::BindShortcuts);
    EXPECT_EQ(session.sessionHandle(), Handle);
    // The desktop answers for the shortcuts it bound; others are not ours.
    const auto step = session.shortcutsBound(Success, {{"push-to-talk", "F9"}, {"stranger", "X"}, {"push-to-talk", "F10"}});
    EXPECT_TRUE(step.changed);
    EXPECT_EQ(session.phase(), Phase::Bound);
    EXPECT_EQ(session.trigger("push-to-talk"), "F9");
    EXPECT_EQ(session.trigger("overlay"), std::nullopt);
    EXPECT_EQ(session.trigger("stranger"), std::nullopt);
}

TEST(PortalSession, WaysItEndsWithoutKeys)
{
    struct Case {
        const char* what;
        std::optional<std::uint32_t> version;
        std::uint32_t createResponse;
        std::string handle;
        std::uint32_t bindResponse;
        std::vector<BoundShortcut> bound;
        Phase phase;
    };
    const std::vector<BoundShortcut> one{{"push-to-talk", "F9"}};
    const Case cases[] = {
        {"no portal", std::nullopt, Success, Handle, Success, one, Phase::Absent},
        {"a portal without the interface's version", 0u, Success, Handle, Success, one, Phase::Absent},
        {"the session refused", 1u, 2, Handle, Success, one, Phase::Refused},
        {"a session handle that is no object path", 1u, Success, "session 7", Success, one, Phase::Refused},
        {"an empty session handle", 1u, Success, "", Success, one, Phase::Refused},
        {"the player cancelled the desktop's dialog", 1u, Success, Handle, Cancelled, one, Phase::Refused},
        {"bound, but none of ours", 1u, Success, Handle, Success, {{"stranger", "F1"}}, Phase::Refused},
        {"bound nothing", 1u, Success, Handle, Success, {}, Phase::Refused},
    };
    for (const Case& c : cases) {
        ShortcutSession session({"push-to-talk"});
        session.start();
        session.portalAnswered(c.version);
        session.sessionCreated(c.createResponse, c.handle);
        session.shortcutsBound(c.bindResponse, c.bound);
        EXPECT_EQ(session.phase(), c.phase) << c.what;
        EXPECT_EQ(session.activated(Handle, "push-to-talk").edges.size(), 0u) << c.what;
    }
}

TEST(PortalSession, PressesAndReleasesOfOurSessionOnly)
{
    ShortcutSession session = bound();
    struct Case {
        const char* what;
        bool down;
        std::string handle;
        std::string id;
        const char* edges;
    };
    const Case cases[] = {
        {"another session's shortcut", true, "/org/freedesktop/portal/desktop/session/1_9/other", "push-to-talk", ""},
        {"an id we never asked for", true, Handle, "stranger", ""},
        {"a release of a key not held", false, Handle, "push-to-talk", ""},
        {"push-to-talk down", true, Handle, "push-to-talk", "push-to-talk+ "},
        {"repeated while held", true, Handle, "push-to-talk", ""},
        {"the overlay key down meanwhile", true, Handle, "overlay", "overlay+ "},
        {"another session's release", false, "/other", "push-to-talk", ""},
        {"push-to-talk up", false, Handle, "push-to-talk", "push-to-talk- "},
        {"up twice", false, Handle, "push-to-talk", ""},
    };
    for (const Case& c : cases) {
        const auto step = c.down ? session.activated(c.handle, c.id) : session.deactivated(c.handle, c.id);
        EXPECT_EQ(edges(step), c.edges) << c.what;
    }
    EXPECT_TRUE(session.held("overlay"));
    EXPECT_FALSE(session.held("push-to-talk"));
}

TEST(PortalSession, TheEndOfTheSessionLetsHeldKeysGo)
{
    struct Case {
        const char* what;
        std::function<ShortcutSession::Step(ShortcutSession&)> end;
        Phase phase;
        bool ends;
    };
    const Case cases[] = {
        {"the portal goes away", [](ShortcutSession& s) { return s.portalGone(); }, Phase::Lost, true},
        {"the desktop closes the session", [](ShortcutSession& s) { return s.sessionClosed(Handle); }, Phase::Lost, true},
        {"another session closes", [](ShortcutSession& s) { return s.sessionClosed("/other"); }, Phase::Bound, false},
        {"the desktop unbinds push-to-talk",
         [](ShortcutSession& s) { return s.shortcutsChanged(Handle, {{"overlay", "Home"}}); }, Phase::Bound, true},
        {"the desktop unbinds both", [](ShortcutSession& s) { return s.shortcutsChanged(Handle, {}); }, Phase::Refused, true},
    };
    for (const Case& c : cases) {
        ShortcutSession session = bound();
        session.activated(Handle, "push-to-talk");
        const auto step = c.end(session);
        EXPECT_EQ(edges(step), c.ends ? "push-to-talk- " : "") << c.what;
        EXPECT_EQ(session.phase(), c.phase) << c.what;
        EXPECT_EQ(session.held("push-to-talk"), !c.ends) << c.what;
        if (c.phase == Phase::Lost) {
            EXPECT_TRUE(session.sessionHandle().empty()) << c.what;
            EXPECT_EQ(edges(session.activated(Handle, "push-to-talk")), "") << c.what;
        }
    }
}

TEST(PortalSession, BindingLaterAndAPortalThatComesBack)
{
    ShortcutSession session({"push-to-talk"});
    session.start();
    session.portalAnswered(1);
    session.sessionCreated(Success, Handle);
    session.shortcutsBound(Cancelled, {});
    EXPECT_EQ(session.phase(), Phase::Refused);
    // The player binds it afterwards in the desktop's own settings.
    EXPECT_TRUE(session.shortcutsChanged(Handle, {{"push-to-talk", "Ctrl+F9"}}).changed);
    EXPECT_EQ(session.phase(), Phase::Bound);
    EXPECT_EQ(session.trigger("push-to-talk"), "Ctrl+F9");
    EXPECT_FALSE(session.shortcutsChanged(Handle, {{"push-to-talk", "Ctrl+F9"}}).changed);
    // Answers out of turn change nothing.
    EXPECT_EQ(session.sessionCreated(Success, "/x").send, Send::Nothing);
    EXPECT_EQ(session.portalAnswered(1).send, Send::Nothing);
    EXPECT_EQ(session.portalBack().send, Send::Nothing);  // it never went

    session.portalGone();
    EXPECT_EQ(session.portalGone().changed, false);
    EXPECT_EQ(session.portalBack().send, Send::AskVersion);
    EXPECT_EQ(session.phase(), Phase::Asking);
    // Gone before it answered: there is none.
    session.portalGone();
    EXPECT_EQ(session.phase(), Phase::Absent);
}

TEST(PortalSession, WhatComesFromTheBusIsBounded)
{
    // Ids that could not be sent are dropped; an overlong trigger description is cut.
    ShortcutSession session({"push-to-talk", "", "has space", "push-to-talk", std::string(65, 'a')});
    EXPECT_EQ(session.ids(), std::vector<std::string>{"push-to-talk"});
    session.start();
    session.portalAnswered(2);
    session.sessionCreated(Success, Handle);
    session.shortcutsBound(Success, {{"push-to-talk", std::string(100000, 'x')}});
    EXPECT_EQ(session.trigger("push-to-talk")->size(), ShortcutSession::MaxTriggerBytes);
}

TEST(PortalSession, ObjectPathsAndRequestPaths)
{
    for (const char* good : {"/", "/a", "/org/freedesktop/portal/desktop/session/1_7/lumo_1", "/A_9/b"})
        EXPECT_TRUE(validObjectPath(good)) << good;
    for (const char* bad : {"", "a", "//", "/a/", "/a//b", "/a-b", "/a.b", "/ä", "/a b"})
        EXPECT_FALSE(validObjectPath(bad)) << bad;
    EXPECT_EQ(requestPath(":1.42", "lumo_3"), "/org/freedesktop/portal/desktop/request/1_42/lumo_3");
    EXPECT_EQ(requestPath("1.42", "lumo_3"), "");
    EXPECT_EQ(requestPath(":", "lumo_3"), "");
    EXPECT_EQ(requestPath(":1.42", "lumo-3"), "");
    EXPECT_EQ(requestPath(":1/42", "lumo_3"), "");
}

}  // namespace
}  // namespace lumo::portal
