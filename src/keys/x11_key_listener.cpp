#include "keys/x11_key_listener.h"

#include <QCoreApplication>

namespace lumo {

std::unique_ptr<X11KeyListener> X11KeyListener::open(std::uint32_t keysym, RawKeyWatch::Devices devices)
{
    auto watch = RawKeyWatch::open(keysym, devices);
    if (!watch) return nullptr;
    std::unique_ptr<X11KeyListener> listener(new X11KeyListener(std::move(watch)));
    QCoreApplication::instance()->installNativeEventFilter(listener.get());
    return listener;
}

X11KeyListener::X11KeyListener(std::unique_ptr<RawKeyWatch> watch) : watch_(std::move(watch)) {}

X11KeyListener::~X11KeyListener()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool X11KeyListener::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    const auto key = watch_->keyEvent(eventType, message);
    if (!key) return false;
    if (key->press) {
        tell(edges_.press(key->time));
    } else {
        edges_.release(key->time);
        // Final once the events read with this one are handled: a repeat's press follows at the
        // same moment and takes it back.
        if (!settlePosted_) {
            settlePosted_ = true;
            QMetaObject::invokeMethod(this, &X11KeyListener::settle, Qt::QueuedConnection);
        }
    }
    return false;  // the focused program has the key anyway
}

void X11KeyListener::settle()
{
    settlePosted_ = false;
    tell(edges_.settle());
}

void X11KeyListener::tell(const std::vector<KeyEdge>& edges)
{
    for (const KeyEdge edge : edges) {
        if (edge == KeyEdge::Down)
            emit pressed();
        else
            emit released();
    }
}

}  // namespace lumo
