#include "app/push_to_talk_key.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cstdlib>

namespace lumo {

namespace {

struct RawKeyMask {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
};

// Selects raw key events of one master keyboard on `root`. The overlay's Home hook selects them
// for all master devices and Qt its own events for all devices: a mask per device id is a
// separate entry, so none of the three replaces another's when it changes.
bool selectRawKeys(xcb_connection_t* connection, xcb_window_t root, std::uint16_t device, bool on)
{
    RawKeyMask mask{};
    mask.head.deviceid = device;
    mask.head.mask_len = 1;
    mask.bits = on ? (XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE) : 0;
    const xcb_void_cookie_t cookie = xcb_input_xi_select_events_checked(connection, root, 1, &mask.head);
    xcb_generic_error_t* error = xcb_request_check(connection, cookie);
    const bool ok = !error;
    std::free(error);
    return ok;
}

std::vector<std::uint16_t> masterKeyboards(xcb_connection_t* connection)
{
    std::vector<std::uint16_t> out;
    xcb_input_xi_query_device_reply_t* reply = xcb_input_xi_query_device_reply(
        connection, xcb_input_xi_query_device(connection, XCB_INPUT_DEVICE_ALL_MASTER), nullptr);
    if (!reply) return out;
    for (xcb_input_xi_device_info_iterator_t it = xcb_input_xi_query_device_infos_iterator(reply); it.rem;
         xcb_input_xi_device_info_next(&it))
        if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD) out.push_back(it.data->deviceid);
    std::free(reply);
    return out;
}

}  // namespace

PushToTalkKey::PushToTalkKey(xcb_connection_t* connection, std::function<void(bool)> talk)
    : connection_(connection), talk_(std::move(talk))
{
}

PushToTalkKey* PushToTalkKey::install(std::uint32_t keysym, std::function<void(bool)> talk)
{
    if (keysym == 0) return nullptr;
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11) return nullptr;
    xcb_connection_t* connection = x11->connection();
    if (!connection || xcb_connection_has_error(connection)) return nullptr;

    const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(connection, &xcb_input_id);
    if (!xinput || !xinput->present) return nullptr;
    xcb_input_xi_query_version_reply_t* version =
        xcb_input_xi_query_version_reply(connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
    const bool xi2 = version && version->major_version >= 2;
    std::free(version);
    if (!xi2) return nullptr;

    auto* watcher = new PushToTalkKey(connection, std::move(talk));
    watcher->xinputOpcode_ = xinput->major_opcode;
    if (xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection)) {
        if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym)) {
            for (const xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code)
                if (std::find(watcher->keycodes_.begin(), watcher->keycodes_.end(), *code) == watcher->keycodes_.end())
                    watcher->keycodes_.push_back(*code);
            std::free(codes);
        }
        xcb_key_symbols_free(symbols);
    }
    watcher->keyboards_ = masterKeyboards(connection);
    if (watcher->keycodes_.empty() || watcher->keyboards_.empty()) {
        delete watcher;
        return nullptr;
    }
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem; xcb_screen_next(&it)) {
        bool selected = false;
        for (std::uint16_t keyboard : watcher->keyboards_)
            selected = selectRawKeys(connection, it.data->root, keyboard, true) || selected;
        if (selected) watcher->roots_.push_back(it.data->root);
    }
    if (watcher->roots_.empty()) {
        delete watcher;
        return nullptr;
    }
    QCoreApplication::instance()->installNativeEventFilter(watcher);
    return watcher;
}

PushToTalkKey::~PushToTalkKey()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
    if (connection_ && !xcb_connection_has_error(connection_)) {
        for (std::uint32_t root : roots_)
            for (std::uint16_t keyboard : keyboards_) selectRawKeys(connection_, root, keyboard, false);
        xcb_flush(connection_);
    }
    tell(state_.reset());
}

bool PushToTalkKey::isKey(std::uint8_t keycode) const
{
    return std::find(keycodes_.begin(), keycodes_.end(), keycode) != keycodes_.end();
}

bool PushToTalkKey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || !message) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC) return false;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (generic->extension != xinputOpcode_) return false;
    if (generic->event_type == XCB_INPUT_RAW_KEY_PRESS) {
        const auto* key = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
        if (isKey(std::uint8_t(key->detail))) tell(state_.press(key->time));
    } else if (generic->event_type == XCB_INPUT_RAW_KEY_RELEASE) {
        const auto* key = reinterpret_cast<const xcb_input_raw_key_release_event_t*>(event);
        if (isKey(std::uint8_t(key->detail))) {
            state_.release(key->time);
            // Final once the events read with this one are handled: a repeat's press follows
            // at the same moment and takes it back.
            if (!settlePosted_) {
                settlePosted_ = true;
                QMetaObject::invokeMethod(this, &PushToTalkKey::settle, Qt::QueuedConnection);
            }
        }
    }
    return false;  // the focused program has the key anyway
}

void PushToTalkKey::settle()
{
    settlePosted_ = false;
    tell(state_.settle());
}

void PushToTalkKey::tell(PushToTalkState::Change change)
{
    if (change == PushToTalkState::Change::None || !talk_) return;
    talk_(change == PushToTalkState::Change::Start);
}

}  // namespace lumo
