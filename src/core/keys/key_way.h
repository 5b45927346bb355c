// How a key is heard while another program has the focus, and what to tell the player when it
// is not. In an X11 session the X server's raw key events serve (XInput2). A Wayland compositor
// gives keys only to the focused window, so there the desktop's global shortcuts portal is
// asked first; without it a program run through XWayland still hears keys while an X11 program
// (a game run through XWayland) has the focus, and a native Wayland program hears none.
#pragma once

#include "core/keys/portal_session.h"
#include "core/text/translatable.h"

#include <vector>

namespace lumo {

// The window system the program itself runs on (Qt's platform plug-in).
enum class KeyDisplay { X11, Wayland, Other };

enum class KeyWay { X11RawKeys, DesktopPortal, None };

struct KeyFacts {
    KeyDisplay display = KeyDisplay::Other;
    bool waylandSession = false;  // a Wayland compositor runs the desktop, whatever this program uses
};

// Whether the desktop's portal is asked first (everywhere but in a plain X11 session).
bool asksPortalFirst(const KeyFacts& facts);

// How the key is heard now, and what to tell the player.
struct KeyStatus {
    KeyWay way = KeyWay::None;
    bool asking = false;  // the desktop is still being asked (it may be showing its dialog)
    // What does not work and what the player can do about it: whole sentences, translated with
    // the context KeyTextContext and shown one after the other. Empty when the key is heard
    // wherever the focus is, and while the desktop is being asked.
    std::vector<const char*> problem;
};

// `phase`: the portal's, once it is asked (nullopt in a plain X11 session, where it is not);
// `x11Opened`: whether the X11 watch is set up, where one is wanted.
KeyStatus keyStatus(const KeyFacts& facts, std::optional<portal::Phase> phase, bool x11Opened);
// Whether the X11 watch is wanted: in an X11 session, and through XWayland once the portal
// cannot serve (absent, refused, gone). Never beside a bound portal shortcut.
bool wantsX11Watch(const KeyFacts& facts, std::optional<portal::Phase> phase);

inline constexpr const char* KeyTextContext = "lumo::GlobalKey";

namespace key_text {
inline constexpr const char* X11WatchFailed =
    LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "无法监听这个按键：X 服务器没有 XInput2 扩展，或键盘上没有这个键。");
inline constexpr const char* PortalAbsent =
    LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "桌面没有提供全局快捷键门户（org.freedesktop.portal.GlobalShortcuts）。");
inline constexpr const char* PortalRefused = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "桌面没有绑定这个按键。");
inline constexpr const char* PortalLost = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "桌面的全局快捷键门户已退出。");
inline constexpr const char* OnlyWithX11Focus = LUMO_TRANSLATE_NOOP(
    "lumo::GlobalKey",
    "按键只在 X11 程序（经 XWayland 运行的游戏）有焦点时有效；KDE Plasma 5.27 及以后、GNOME 48 及以后的桌面提供该门户。");
inline constexpr const char* NotOnNativeWayland = LUMO_TRANSLATE_NOOP(
    "lumo::GlobalKey",
    "按键无法使用：请以 QT_QPA_PLATFORM=xcb 启动 LUMO（经 XWayland 运行，按键在 X11 游戏有焦点时有效），"
    "或使用提供该门户的桌面（KDE Plasma 5.27 及以后、GNOME 48 及以后）。");
// What the sound dialog shows beside the key while the desktop binds or has bound it.
inline constexpr const char* AskingDesktop = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "正在请桌面绑定按键……");
inline constexpr const char* BoundByDesktop = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "由桌面绑定：%1");
inline constexpr const char* BoundByDesktopUnnamed = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "已由桌面绑定。");
inline constexpr const char* NoWayAtAll = LUMO_TRANSLATE_NOOP("lumo::GlobalKey", "这里也没有 X11 显示：按键无法使用。");
}  // namespace key_text

}  // namespace lumo
