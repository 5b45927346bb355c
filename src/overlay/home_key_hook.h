// The Home key that calls up the overlay. The plug-in runs inside the lumo process, so instead
// of a keyboard hook in every process it watches the keyboard through XInput2's raw key events
// on the X11 root window: wherever the focus is on the desktop, this process hears Home being
// released, while the focused program (the game, an editor, a terminal) still gets the key as
// it would without LUMO. A passive key grab would take Home away from every other program. The
// first release creates the overlay; every later one hides or shows it.
#pragma once

#include "keys/raw_key_watch.h"

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <deque>
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

class HomeKeyHook : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Listens for Home on every root window of the application's X11 connection and calls
    // `released` from the event loop for every release. Null without an X11 connection
    // (offscreen, Wayland) or without XInput2 on the X server.
    static HomeKeyHook* install(std::function<void()> released);
    ~HomeKeyHook() override;  // stops listening

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    HomeKeyHook(std::unique_ptr<RawKeyWatch> watch, std::function<void()> released);
    void deliverRelease();

    std::unique_ptr<RawKeyWatch> watch_;
    std::function<void()> released_;
    // Times of releases not yet delivered; an auto-repeat release is followed by a press with the
    // same time and is taken back.
    std::deque<std::uint32_t> pendingReleases_;
};

}  // namespace lumo
