#include "keys/raw_key_watch.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>

namespace lumo {

namespace {

// XInput2's event mask for one device, as XISelectEvents takes it.
struct RawKeyMask {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
};

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

// A root window keeps one selection per client and device: several watches of one program (the
// push-to-talk, mute and deafen keys) share it, and only the last one to go may take it back.
using Selection = std::tuple<xcb_connection_t*, xcb_window_t, std::uint16_t>;
std::map<Selection, int>& selectionUsers()
{
    static std::map<Selection, int> users;  // the user-interface thread's alone
    return users;
}

bool holdSelection(xcb_connection_t* connection, xcb_window_t root, std::uint16_t device)
{
    int& users = selectionUsers()[{connection, root, device}];
    if (users == 0 && !selectRawKeys(connection, root, device, true)) {
        selectionUsers().erase({connection, root, device});
        return false;
    }
    ++users;
    return true;
}

void releaseSelection(xcb_connection_t* connection, xcb_window_t root, std::uint16_t device)
{
    const auto found = selectionUsers().find({connection, root, device});
    if (found == selectionUsers().end()) return;
    if (--found->second > 0) return;
    selectionUsers().erase(found);
    if (!xcb_connection_has_error(connection)) selectRawKeys(connection, root, device, false);
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

std::vector<std::uint8_t> keycodesOf(xcb_connection_t* connection, std::uint32_t keysym)
{
    std::vector<std::uint8_t> out;
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
    if (!symbols) return out;
    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym)) {
        for (const xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code)
            if (std::find(out.begin(), out.end(), *code) == out.end()) out.push_back(*code);
        std::free(codes);
    }
    xcb_key_symbols_free(symbols);
    return out;
}

}  // namespace

std::unique_ptr<RawKeyWatch> RawKeyWatch::open(std::uint32_t keysym, Devices devices)
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

    std::unique_ptr<RawKeyWatch> watch(new RawKeyWatch);
    watch->connection_ = connection;
    watch->xinputOpcode_ = xinput->major_opcode;
    watch->keycodes_ = keycodesOf(connection, keysym);
    watch->devices_ = devices == Devices::AllMasters ? std::vector<std::uint16_t>{XCB_INPUT_DEVICE_ALL_MASTER}
                                                     : masterKeyboards(connection);
    if (watch->keycodes_.empty() || watch->devices_.empty()) return nullptr;
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem; xcb_screen_next(&it)) {
        std::vector<std::uint16_t> held;
        for (const std::uint16_t device : watch->devices_)
            if (holdSelection(connection, it.data->root, device)) held.push_back(device);
        if (!held.empty()) watch->roots_.push_back({it.data->root, held});
    }
    if (watch->roots_.empty()) return nullptr;
    return watch;
}

RawKeyWatch::~RawKeyWatch()
{
    if (!connection_) return;
    for (const auto& [root, devices] : roots_)
        for (const std::uint16_t device : devices) releaseSelection(connection_, root, device);
    if (!xcb_connection_has_error(connection_)) xcb_flush(connection_);
}

std::optional<RawKeyWatch::KeyEvent> RawKeyWatch::keyEvent(const QByteArray& eventType, void* message) const
{
    if (eventType != "xcb_generic_event_t" || !message) return std::nullopt;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC) return std::nullopt;
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (generic->extension != xinputOpcode_) return std::nullopt;
    const bool press = generic->event_type == XCB_INPUT_RAW_KEY_PRESS;
    if (!press && generic->event_type != XCB_INPUT_RAW_KEY_RELEASE) return std::nullopt;
    // Raw press and release events have the same layout.
    const auto* key = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
    if (std::find(keycodes_.begin(), keycodes_.end(), std::uint8_t(key->detail)) == keycodes_.end()) return std::nullopt;
    return KeyEvent{press, key->time};
}

}  // namespace lumo
