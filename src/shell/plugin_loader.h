// The plug-in loader behind the "&game" menu: it lists the libraries of plugin/ in the current
// directory, loads one and calls its gethook when the player switches it on, and when it is
// switched off (or the main window closes) asks the overlay to close, waits a bounded time for
// the overlay's "gamein" window to go, calls unhook and unloads the library. Should the window
// outlive the wait, the hook is removed all the same but the library's code stays mapped.
#pragma once

#include "ui/ui_text.h"

#include "core/shell/plugin_abi.h"
#include "core/shell/plugin_scan.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QLibrary;

namespace lumo {

// What the loader needs from the link to the overlay.
class PluginOverlayLink {
public:
    virtual ~PluginOverlayLink() = default;
    // Forgets the cached overlay window, so that the next post looks it up afresh, and posts
    // OverlayClose to it.
    virtual void closeOverlay() = 0;
    virtual bool overlayPipeOpen() const = 0;
    virtual void closeOverlayPipe() = 0;
};

class PluginLoader {
public:
    // Whether a top-level window (a mailbox) with this title exists now.
    using WindowExists = std::function<bool(const QString& title)>;

    // The title of the overlay's window.
    static const QString OverlayTitle;  // "gamein"

    // How long unloading waits for the overlay's window to go, looking every stepMs while the
    // program's events (not the player's input) keep running, so an overlay in this process can
    // close its window meanwhile.
    struct WaitLimits {
        int timeoutMs = 1000;
        int stepMs = 5;
    };

    // Texts told to the player (%1: the plug-in's name).
    static constexpr UiText CannotLoadText = LUMO_UI_TEXT("lumo::PluginLoader", "插件 %1 无法加载：\n%2");
    static constexpr UiText NotAPluginText = LUMO_UI_TEXT("lumo::PluginLoader", "插件 %1 不是 LUMO 插件：缺少 gethook 或 unhook。");
    static constexpr UiText HookFailedText = LUMO_UI_TEXT("lumo::PluginLoader", "插件 %1 未能启动：gethook 失败。");
    // The plug-in said why (its optional hookproblem export).
    static constexpr UiText HookRefusedText = LUMO_UI_TEXT("lumo::PluginLoader", "插件 %1 未能启动：%2");

    // messageParent: the window the failure messages belong to (may be null).
    PluginLoader(PluginOverlayLink& link, WindowExists windowExists, QWidget* messageParent = nullptr);
    ~PluginLoader();
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    void setWaitLimits(WaitLimits limits) { limits_ = limits; }

    // Lists plugin/*.so of the current directory (see pluginItems); nothing is loaded.
    const std::vector<PluginItem>& scan();
    const std::vector<PluginItem>& items() const { return items_; }
    // Whether item n has a slot, i.e. can be switched on at all.
    static bool hasSlot(int item) { return item >= 0 && item < PluginSlots; }

    // The menu command: switches item n off when it is on, otherwise on. Returns whether it is
    // on afterwards; an item that fails to load stays off, and the player is told why.
    bool toggle(int item);
    bool isOn(int item) const;
    // The hook handle gethook returned for item n (null when it is off).
    void* hookOf(int item) const;

    // Unloads every plug-in that is on, in slot order (the main window's closing).
    void unloadAll();

private:
    struct Slot {
        std::unique_ptr<QLibrary> module;
        void* hook = nullptr;
        UnhookFunction unhook = nullptr;
    };

    bool load(int item);
    // Why the library's gethook failed, when it says (its optional hookproblem export).
    static QString hookProblem(QLibrary& module);
    void unload(int item);
    // True once no overlay window is left; false when the wait ran out.
    bool waitForOverlayToGo();
    void tell(const QString& text) const;

    PluginOverlayLink& link_;
    WindowExists windowExists_;
    QPointer<QWidget> messageParent_;
    WaitLimits limits_;
    std::vector<PluginItem> items_;
    std::array<Slot, PluginSlots> slots_;
    bool busy_ = false;
};

}  // namespace lumo
