// One key watched wherever the focus is, through XInput2's raw key events on the X11 root
// windows: the focused program (a game) still gets the key, and XInput 2.1 and later deliver the
// events even while another client grabs the keyboard. The overlay's Home key and the
// push-to-talk key are both watched this way.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace lumo {

class RawKeyWatch {
public:
    // Whose raw keys are selected. A root window keeps one selection per client and device id:
    // watches of one program with the same ids share it (the last to go takes it back), and Qt's
    // own selection is for all devices.
    enum class Devices { AllMasters, EachMasterKeyboard };

    // Watches the keys that make the X11 keysym `keysym` on the application's X11 connection.
    // Null without one (offscreen, Wayland), without XInput2, or when no key makes that keysym.
    static std::unique_ptr<RawKeyWatch> open(std::uint32_t keysym, Devices devices);
    ~RawKeyWatch();  // deselects
    RawKeyWatch(const RawKeyWatch&) = delete;
    RawKeyWatch& operator=(const RawKeyWatch&) = delete;

    struct KeyEvent {
        bool press;          // down, or up
        std::uint32_t time;  // the X server's time: an auto-repeat's release and press share it
    };
    // The watched key going down or up, when the native event (as Qt's native event filters get
    // it) is one.
    std::optional<KeyEvent> keyEvent(const QByteArray& eventType, void* message) const;

private:
    RawKeyWatch() = default;

    xcb_connection_t* connection_ = nullptr;
    std::uint8_t xinputOpcode_ = 0;
    std::vector<std::uint8_t> keycodes_;
    std::vector<std::uint16_t> devices_;  // the device ids asked for
    struct RootSelection {
        std::uint32_t root;
        std::vector<std::uint16_t> devices;  // the device ids selected on it
    };
    std::vector<RootSelection> roots_;
};

}  // namespace lumo
