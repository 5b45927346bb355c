// A key heard wherever the focus is, whichever way this desktop offers: the X server's raw key
// events in an X11 session; in a Wayland session the desktop's global shortcuts portal, where
// the desktop binds the key (with its own dialog) and reports its presses, and, where there is
// none, raw key events again for a program run through XWayland (heard only while an X11
// program has the focus). Callers see presses, releases and what to tell the player; which
// watcher runs is decided here.
#pragma once

#include "core/keys/key_way.h"
#include "keys/raw_key_watch.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

namespace lumo {

class PortalShortcuts;
class X11KeyListener;

struct GlobalKeyRequest {
    QString id;                // the desktop's name for it ("push-to-talk", "overlay")
    QString description;       // what the desktop's dialog says it does, in the player's language
    std::uint32_t keysym = 0;  // the key asked for (an X11 keysym); the desktop may bind another
    QString keyName;           // the key's name as the player picked it
    // Whose raw keys an X11 watch selects: two watches in one program need different ones.
    RawKeyWatch::Devices x11Devices = RawKeyWatch::Devices::EachMasterKeyboard;
};

class GlobalKey : public QObject {
    Q_OBJECT
public:
    // Starts watching at once; a desktop that is asked answers later (changed()).
    explicit GlobalKey(const GlobalKeyRequest& request, QObject* parent = nullptr);
    // Stops watching (and ends the desktop's session). A key held then gets no released().
    ~GlobalKey() override;

    KeyWay way() const { return status_.way; }
    // The desktop is being asked; it may be showing its dialog.
    bool asking() const { return status_.asking; }
    bool held() const { return held_; }
    // What the player presses: the desktop's own description of the bound trigger, or the key's
    // name where raw key events serve. Empty while the key is not heard.
    QString boundKey() const;
    // What does not work and what the player can do, in the player's language; empty when the
    // key is heard wherever the focus is, and while the desktop is being asked.
    QString problem() const;
    // One line for a settings window: what the desktop bound, that it is being asked, or the
    // problem; empty where raw key events hear the key everywhere.
    QString stateText() const;

    // The session this program runs in: Qt's platform and whether a Wayland compositor runs the
    // desktop (WAYLAND_DISPLAY).
    static KeyFacts currentFacts();
    // The trigger to propose to the desktop for a keysym, as the XDG shortcuts format
    // writes it (the keysym's name: "F9", "Home"); empty for none.
    static QString triggerFor(std::uint32_t keysym);

signals:
    void pressed();
    void released();
    void changed();  // way, asking, boundKey or problem changed

private:
    void update();
    void press();
    void release();

    GlobalKeyRequest request_;
    KeyFacts facts_;
    KeyStatus status_;
    PortalShortcuts* portal_ = nullptr;
    std::unique_ptr<X11KeyListener> x11_;
    bool x11Tried_ = false;
    bool held_ = false;
};

}  // namespace lumo
