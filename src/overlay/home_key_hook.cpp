#include "overlay/home_key_hook.h"

#include "overlay/overlay_dialog.h"

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

// The X11 keysym of Home (as in X11/keysymdef.h).
constexpr std::uint32_t HomeKeysym = 0xff50;

}  // namespace

HomeKeyHook::HomeKeyHook(std::unique_ptr<GlobalKey> key, std::function<void()> released)
    : key_(std::move(key)), released_(std::move(released))
{
    connect(key_.get(), &GlobalKey::released, this, [this] {
        if (released_) released_();
    });
}

HomeKeyHook* HomeKeyHook::install(std::function<void()> released, QString* problem)
{
    const KeyFacts facts = GlobalKey::currentFacts();
    if (facts.display != KeyDisplay::X11) {
        if (problem) *problem = NeedsX11Text;
        return nullptr;
    }
    GlobalKeyRequest request;
    request.id = QStringLiteral("overlay");
    request.description = KeyDescriptionText;
    request.keysym = HomeKeysym;
    request.keyName = QStringLiteral("Home");
    // All master devices: the push-to-talk key, watched in the same program, selects each
    // master keyboard instead, so neither selection replaces the other.
    request.x11Devices = RawKeyWatch::Devices::AllMasters;
    auto key = std::make_unique<GlobalKey>(request);
    // In an X11 session the raw key watch is set up at once; without XInput2 nothing can hear Home.
    if (!asksPortalFirst(facts) && key->way() == KeyWay::None) {
        if (problem) *problem = key->problem();
        return nullptr;
    }
    return new HomeKeyHook(std::move(key), std::move(released));
}

HomeKeyHook::~HomeKeyHook() = default;

}  // namespace lumo
