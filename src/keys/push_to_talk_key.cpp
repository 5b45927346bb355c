#include "keys/push_to_talk_key.h"

#include <QCoreApplication>

namespace lumo {

PushToTalkKey::PushToTalkKey(std::unique_ptr<RawKeyWatch> watch, std::function<void(bool)> talk)
    : watch_(std::move(watch)), talk_(std::move(talk))
{
}

PushToTalkKey* PushToTalkKey::install(std::uint32_t keysym, std::function<void(bool)> talk)
{
    // Each master keyboard: the overlay's Home hook selects all master devices and Qt all
    // devices, and a selection per device id is an entry of its own, so none replaces another.
    auto watch = RawKeyWatch::open(keysym, RawKeyWatch::Devices::EachMasterKeyboard);
    if (!watch) return nullptr;
    auto* watcher = new PushToTalkKey(std::move(watch), std::move(talk));
    QCoreApplication::instance()->installNativeEventFilter(watcher);
    return watcher;
}

PushToTalkKey::~PushToTalkKey()
{
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
    tell(state_.reset());
}

bool PushToTalkKey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    const auto key = watch_->keyEvent(eventType, message);
    if (!key) return false;
    if (key->press) {
        tell(state_.press(key->time));
    } else {
        state_.release(key->time);
        // Final once the events read with this one are handled: a repeat's press follows at the
        // same moment and takes it back.
        if (!settlePosted_) {
            settlePosted_ = true;
            QMetaObject::invokeMethod(this, &PushToTalkKey::settle, Qt::QueuedConnection);
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
