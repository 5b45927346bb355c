// One key heard through the X server's raw key events wherever the focus is (see RawKeyWatch),
// the server's repeats of a held key folded into one press and one release.
#pragma once

#include "core/keys/key_edges.h"
#include "keys/raw_key_watch.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <memory>

namespace lumo {

class X11KeyListener : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Null without an X11 connection, without XInput2, or when no key makes the keysym.
    static std::unique_ptr<X11KeyListener> open(std::uint32_t keysym, RawKeyWatch::Devices devices);
    // Stops listening. A key held then gets no released(): the owner lets go itself.
    ~X11KeyListener() override;

    bool held() const { return edges_.held(); }
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void pressed();
    void released();

private:
    explicit X11KeyListener(std::unique_ptr<RawKeyWatch> watch);
    void settle();
    void tell(const std::vector<KeyEdge>& edges);

    std::unique_ptr<RawKeyWatch> watch_;
    KeyEdges edges_;
    bool settlePosted_ = false;
};

}  // namespace lumo
