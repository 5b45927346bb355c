// The push-to-talk key, watched wherever the focus is: like the overlay's Home key, through
// XInput2's raw key events on the X11 root window, so that the focused program (the game) still
// gets the key. Talking starts when the key goes down and stops when it comes up; the X
// server's auto-repeat of a held key is not taken for a release.
#pragma once

#include "keys/raw_key_watch.h"
#include "core/voice/sound_choices.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace lumo {

class PushToTalkKey : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Watches the key with this X11 keysym and calls `talk` from the event loop with true when
    // it goes down and false when it comes up. Null without an X11 connection (offscreen,
    // Wayland), without XInput2, or when no key of the keyboard makes that keysym.
    static PushToTalkKey* install(std::uint32_t keysym, std::function<void(bool)> talk);
    ~PushToTalkKey() override;  // stops watching; a held key counts as released

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    PushToTalkKey(std::unique_ptr<RawKeyWatch> watch, std::function<void(bool)> talk);
    void settle();
    void tell(PushToTalkState::Change change);

    std::unique_ptr<RawKeyWatch> watch_;
    std::function<void(bool)> talk_;
    PushToTalkState state_;
    bool settlePosted_ = false;
};

}  // namespace lumo
