// The Home key that calls up the overlay. The plug-in runs inside the lumo process, so instead
// of a keyboard hook in every process it asks for the key through GlobalKey: in an X11 session
// XInput2's raw key events on the root window, which this process hears wherever the focus is
// while the focused program (the game) still gets the key; in a Wayland session, for a LUMO run
// through XWayland, the desktop's global shortcuts portal where it offers one (the desktop then
// owns the key), else raw key events, heard while an X11 program has the focus. A native Wayland
// window can neither stay above the game nor hear keys elsewhere, so there the hook refuses and
// says so. The first release creates the overlay; every later one hides or shows it.
#pragma once

#include "keys/global_key.h"
#include "ui/ui_text.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace lumo {

class OverlayDialog;

// The overlay of this process and whether it is shown.
class OverlayToggle {
public:
    // One release of Home: the first creates the overlay and shows it; each later one hides it
    // when shown and shows it when hidden. Once the overlay has been destroyed (the main program
    // closed it) releases only flip the flag.
    void homeReleased();
    // Destroys the overlay if it still exists and starts over (the hook is being removed). While
    // the player answers a question in it, it goes once the answer is in.
    void reset();

    OverlayDialog* overlay() const;
    bool created() const { return created_; }
    bool overlayShown() const { return shown_; }

private:
    QPointer<OverlayDialog> overlay_;
    bool created_ = false;
    bool shown_ = true;
};

class HomeKeyHook : public QObject {
    Q_OBJECT
public:
    static constexpr UiText NeedsX11Text = LUMO_UI_TEXT(
        "lumo::HomeKeyHook",
        "游戏内浮窗需要 X11 会话，或经 XWayland 运行的 LUMO（以 QT_QPA_PLATFORM=xcb 启动）：作为 Wayland 原生窗口，"
        "它无法停留在游戏上方，也听不到游戏中按下的 Home 键。");
    static constexpr UiText KeyDescriptionText = LUMO_UI_TEXT("lumo::HomeKeyHook", "显示或隐藏 LUMO 的游戏内浮窗");

    // Listens for Home and calls `released` from the event loop for every release. Null where the
    // overlay cannot work (not on X11, or X11 without XInput2); `problem` then says why.
    static HomeKeyHook* install(std::function<void()> released, QString* problem = nullptr);
    ~HomeKeyHook() override;  // stops listening

    const GlobalKey& key() const { return *key_; }

private:
    HomeKeyHook(std::unique_ptr<GlobalKey> key, std::function<void()> released);

    std::unique_ptr<GlobalKey> key_;
    std::function<void()> released_;
};

}  // namespace lumo
