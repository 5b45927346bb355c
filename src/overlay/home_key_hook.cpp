#include "overlay/home_key_hook.h"

#include "overlay/overlay_dialog.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

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
// The X11 keysym of Home (as in X11/keysymdef.h).
constexpr xcb_keysym_t HomeKeysym = 0xff50;

// XInput2's event mask for one device, as XISelectEvents takes it.
struct RawKeyMask {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
};

// Selects (or, with `on` false, deselects) raw key events of the master keyboards on `root`.
// Qt selects its own XInput2 events on the root window for all devices; this mask is for the
// master devices, a separate entry, so the two never replace each other.
bool selectRawKeys(xcb_connection_t* connection, xcb_window_t root, bool on)
{
    RawKeyMask mask{};
    mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
    mask.head.mask_len = 1;
    mask.bits = on ? (XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE) : 0;
    const xcb_void_cookie_t cookie = xcb_input_xi_select_events_checked(connection, root, 1, &mask.head);
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    const bool ok = !error;
    std::free(error);
    return ok;
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
    if (!x11) return nullptr;  // offscreen, Wayland: no X11 connection to listen on
    xcb_connection_t* connection = x11->connection();
    if (!connection || xcb_connection_has_error(connection)) return nullptr;

    // Raw events on the root window need XInput 2.0; 2.1 and later deliver them even while
    // another client grabs the keyboard (as full-screen games do).
    const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(connection, &xcb_input_id);
    if (!xinput || !xinput->present) return nullptr;
    xcb_input_xi_query_version_reply_t* version =
        xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
    const bool xi2 = version && version->major_version >= 2;
    std::free(version);
    if (!xi2) return nullptr;

    auto* hook = new HomeKeyHook(connection, std::move(released));
    hook->xinputOpcode_ = xinput->major_opcode;
    if (xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection)) {
        if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, HomeKeysym)) {
            for (const xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code)
                if (std::find(hook->keycodes_.begin(), hook->keycodes_.end(), *code) == hook->keycodes_.end())
                    hook->keycodes_.push_back(*code);
            std::free(codes);
        }
        xcb_key_symbols_free(symbols);
    }
    if (hook->keycodes_.empty()) {
        delete hook;
        return nullptr;
    }

    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem; xcb_screen_next(&it)) {
        if (selectRawKeys(connection, it.data->root, true)) hook->roots_.push_back(it.data->root);
    }
    if (hook->roots_.empty()) {
        delete hook;
        return nullptr;
    }
    QCoreApplication::instance()->installNativeEventFilter(hook);
    return hook;
}

HomeKeyHook::~HomeKeyHook()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
    if (connection_ && !xcb_connection_has_error(connection_)) {
        for (std::uint32_t root : roots_) selectRawKeys(connection_, root, false);
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
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC) return false;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (generic->extension != xinputOpcode_) return false;
    if (generic->event_type == XCB_INPUT_RAW_KEY_RELEASE) {
        const auto* key = reinterpret_cast<const xcb_input_raw_key_release_event_t*>(event);
        if (isHome(std::uint8_t(key->detail)) && pendingReleases_.size() < MaxPendingReleases) {
            pendingReleases_.push_back(key->time);
            // Acted on from the event loop, after the events read with this one: a press that
            // follows at the same moment marks this release as an auto-repeat.
            QMetaObject::invokeMethod(this, &HomeKeyHook::deliverRelease, Qt::QueuedConnection);
        }
    } else if (generic->event_type == XCB_INPUT_RAW_KEY_PRESS) {
        const auto* key = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
        if (isHome(std::uint8_t(key->detail)) && !pendingReleases_.empty() && pendingReleases_.back() == key->time)
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
