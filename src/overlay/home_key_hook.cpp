#include "overlay/home_key_hook.h"

#include "overlay/overlay_dialog.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cstdlib>

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
// The X11 keysyms (as in X11/keysymdef.h).
constexpr xcb_keysym_t HomeKeysym = 0xff50;
constexpr xcb_keysym_t NumLockKeysym = 0xff7f;

// The modifier bit that Num Lock sets, or 0 when no modifier carries it.
std::uint16_t numLockMask(xcb_connection_t* connection, xcb_key_symbols_t* symbols)
{
    xcb_keycode_t* numLock = xcb_key_symbols_get_keycode(symbols, NumLockKeysym);
    if (!numLock) return 0;
    std::uint16_t mask = 0;
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
    if (reply) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8 && !mask; ++modifier)
            for (int k = 0; k < perModifier && !mask; ++k)
                for (const xcb_keycode_t* n = numLock; *n != XCB_NO_SYMBOL; ++n)
                    if (codes[modifier * perModifier + k] == *n) mask = std::uint16_t(1u << modifier);
        std::free(reply);
    }
    std::free(numLock);
    return mask;
}

}  // namespace

HomeKeyHook::HomeKeyHook(xcb_connection_t* connection, std::function<void()> released)
    : connection_(connection), released_(std::move(released))
{
}

HomeKeyHook* HomeKeyHook::install(std::function<void()> released)
{
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) return nullptr;  // offscreen, Wayland: no X11 connection to grab the key on
    xcb_connection_t* connection = x11->connection();
    if (!connection || xcb_connection_has_error(connection)) return nullptr;

    auto* hook = new HomeKeyHook(connection, std::move(released));
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
    if (symbols) {
        if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, HomeKeysym)) {
            for (const xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code)
                if (std::find(hook->keycodes_.begin(), hook->keycodes_.end(), *code) == hook->keycodes_.end())
                    hook->keycodes_.push_back(*code);
            std::free(codes);
        }
        const std::uint16_t numLock = numLockMask(connection, symbols);
        hook->modifiers_ = {0, XCB_MOD_MASK_LOCK};
        if (numLock && numLock != XCB_MOD_MASK_LOCK) {
            hook->modifiers_.push_back(numLock);
            hook->modifiers_.push_back(std::uint16_t(numLock | XCB_MOD_MASK_LOCK));
        }
        xcb_key_symbols_free(symbols);
    }
    if (hook->keycodes_.empty()) {
        delete hook;
        return nullptr;
    }

    // Grab on every screen's root window. The plain grab must succeed; the lock variants are a
    // convenience (another program may hold them).
    bool plainGrabbed = false;
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem; xcb_screen_next(&it)) {
        const xcb_window_t root = it.data->root;
        hook->roots_.push_back(root);
        for (std::uint8_t code : hook->keycodes_) {
            for (std::uint16_t modifiers : hook->modifiers_) {
                // owner_events: while one of this process's own windows has the focus the key
                // still reaches it as well.
                xcb_void_cookie_t cookie = xcb_grab_key_checked(connection, 1, root, modifiers, code,
                                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
                xcb_generic_error_t* error = xcb_request_check(connection, cookie);
                if (!error && modifiers == 0) plainGrabbed = true;
                std::free(error);
            }
        }
    }
    if (!plainGrabbed) {
        delete hook;  // releases whatever was grabbed
        return nullptr;
    }
    QCoreApplication::instance()->installNativeEventFilter(hook);
    return hook;
}

HomeKeyHook::~HomeKeyHook()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
    if (connection_ && !xcb_connection_has_error(connection_)) {
        for (std::uint32_t root : roots_)
            for (std::uint8_t code : keycodes_)
                for (std::uint16_t modifiers : modifiers_) xcb_ungrab_key(connection_, code, root, modifiers);
        xcb_flush(connection_);
    }
}

bool HomeKeyHook::isHome(std::uint8_t keycode) const
{
    return std::find(keycodes_.begin(), keycodes_.end(), keycode) != keycodes_.end();
}

bool HomeKeyHook::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || !message) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_KEY_RELEASE) {
        const auto* key = reinterpret_cast<const xcb_key_release_event_t*>(event);
        if (isHome(key->detail) && pendingReleases_.size() < MaxPendingReleases) {
            pendingReleases_.push_back(key->time);
            // Acted on from the event loop, after the events read with this one: a press that
            // follows at the same moment marks this release as auto-repeat.
            QMetaObject::invokeMethod(this, &HomeKeyHook::deliverRelease, Qt::QueuedConnection);
        }
    } else if (type == XCB_KEY_PRESS) {
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
        if (isHome(key->detail) && !pendingReleases_.empty() && pendingReleases_.back() == key->time)
            pendingReleases_.pop_back();
    }
    return false;  // the key goes on as it would have
}

void HomeKeyHook::deliverRelease()
{
    if (pendingReleases_.empty()) return;
    pendingReleases_.pop_front();
    if (released_) released_();
}

}  // namespace lumo
