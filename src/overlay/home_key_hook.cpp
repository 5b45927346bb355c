#include "overlay/home_key_hook.h"

#include "overlay/overlay_dialog.h"

#include <QCoreApplication>
#include <QGuiApplication>


namespace lumo {

// --- OverlayToggle --------------------------------------------------------------------------

void OverlayToggle::homeReleased()
{
    if (!created_) {
        created_ = true;
        overlay_ = new OverlayDialog;
        overlay_->showOverlay();
        return;  // the flag keeps its value (shown)
    }
    shown_ = !shown_;
    if (!overlay_) return;
    if (shown_)
        overlay_->showOverlay();
    else
        overlay_->hide();
}

OverlayDialog* OverlayToggle::overlay() const { return overlay_; }

void OverlayToggle::reset()
{
    if (overlay_) {
        if (overlay_->asking())
            overlay_->closeOverlay();
        else
            delete overlay_.data();
    }
    overlay_ = nullptr;
    created_ = false;
    shown_ = true;
}

// --- HomeKeyHook ----------------------------------------------------------------------------

namespace {

constexpr std::size_t MaxPendingReleases = 16;
// The X11 keysym of Home (as in X11/keysymdef.h).
constexpr std::uint32_t HomeKeysym = 0xff50;

}  // namespace

HomeKeyHook::HomeKeyHook(std::unique_ptr<RawKeyWatch> watch, std::function<void()> released)
    : watch_(std::move(watch)), released_(std::move(released))
{
}

HomeKeyHook* HomeKeyHook::install(std::function<void()> released)
{
    // All master devices: the push-to-talk key, watched in the same program, selects each
    // master keyboard instead, so neither selection replaces the other.
    auto watch = RawKeyWatch::open(HomeKeysym, RawKeyWatch::Devices::AllMasters);
    if (!watch) return nullptr;
    auto* hook = new HomeKeyHook(std::move(watch), std::move(released));
    QCoreApplication::instance()->installNativeEventFilter(hook);
    return hook;
}

HomeKeyHook::~HomeKeyHook()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool HomeKeyHook::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    const auto key = watch_->keyEvent(eventType, message);
    if (!key) return false;
    if (!key->press && pendingReleases_.size() < MaxPendingReleases) {
        pendingReleases_.push_back(key->time);
        // Acted on from the event loop, after the events read with this one: a press that
        // follows at the same moment marks this release as an auto-repeat.
        QMetaObject::invokeMethod(this, &HomeKeyHook::deliverRelease, Qt::QueuedConnection);
    } else if (key->press && !pendingReleases_.empty() && pendingReleases_.back() == key->time) {
        pendingReleases_.pop_back();
    }
    return false;  // Qt goes on as it would have; the focused program has the key anyway
}

void HomeKeyHook::deliverRelease()
{
    if (pendingReleases_.empty()) return;
    pendingReleases_.pop_front();
    if (released_) released_();
}

}  // namespace lumo
