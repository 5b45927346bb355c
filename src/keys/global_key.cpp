#include "keys/global_key.h"

#include "keys/portal_shortcuts.h"
#include "keys/x11_key_listener.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QGuiApplication>

#include <xkbcommon/xkbcommon.h>

#include <array>

namespace lumo {

KeyFacts GlobalKey::currentFacts()
{
    KeyFacts facts;
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb"))
        facts.display = KeyDisplay::X11;
    else if (platform.startsWith(QLatin1String("wayland")))
        facts.display = KeyDisplay::Wayland;
    facts.waylandSession = facts.display == KeyDisplay::Wayland || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return facts;
}

QString GlobalKey::triggerFor(std::uint32_t keysym)
{
    if (keysym == 0) return {};
    std::array<char, 64> name{};
    const int length = xkb_keysym_get_name(keysym, name.data(), name.size());
    if (length <= 0 || length >= int(name.size())) return {};
    return QString::fromLatin1(name.data(), length);
}

GlobalKey::GlobalKey(const GlobalKeyRequest& request, QObject* parent)
    : QObject(parent), request_(request), facts_(currentFacts())
{
    if (asksPortalFirst(facts_)) {
        portal_ = new PortalShortcuts(QDBusConnection::sessionBus(),
                                      {{request_.id, request_.description, triggerFor(request_.keysym)}}, this);
        connect(portal_, &PortalShortcuts::pressed, this, [this](const QString& id) {
            if (id == request_.id) press();
        });
        connect(portal_, &PortalShortcuts::released, this, [this](const QString& id) {
            if (id == request_.id) release();
        });
        connect(portal_, &PortalShortcuts::changed, this, &GlobalKey::update);
        portal_->start();
    }
    update();
}

GlobalKey::~GlobalKey() = default;

void GlobalKey::update()
{
    const std::optional<portal::Phase> phase = portal_ ? std::optional(portal_->phase()) : std::nullopt;
    if (wantsX11Watch(facts_, phase)) {
        if (!x11_ && !x11Tried_) {
            x11Tried_ = true;
            x11_ = X11KeyListener::open(request_.keysym, request_.x11Devices);
            if (x11_) {
                connect(x11_.get(), &X11KeyListener::pressed, this, &GlobalKey::press);
                connect(x11_.get(), &X11KeyListener::released, this, &GlobalKey::release);
            }
        }
    } else if (x11_) {
        // The portal serves again (or is being asked): one watcher at a time, and a key held on
        // the watcher that goes is let go.
        const bool wasHeld = x11_->held();
        x11_.reset();
        x11Tried_ = false;
        if (wasHeld) release();
    } else {
        x11Tried_ = false;
    }
    const KeyStatus status = keyStatus(facts_, phase, x11_ != nullptr);
    if (status.way == KeyWay::None) release();
    if (status.way != status_.way || status.asking != status_.asking) {
        static const char* const ways[] = {"X11 raw key events", "the desktop's portal", "nothing"};
        qCDebug(lumoKeys).noquote() << request_.id << "heard through" << ways[int(status.way)]
                                    << (status.asking ? "(asking the desktop)" : "");
    }
    status_ = status;
    emit changed();
}

void GlobalKey::press()
{
    if (held_) return;
    held_ = true;
    qCDebug(lumoKeys).noquote() << request_.id << "down";
    emit pressed();
}

void GlobalKey::release()
{
    if (!held_) return;
    held_ = false;
    qCDebug(lumoKeys).noquote() << request_.id << "up";
    emit released();
}

QString GlobalKey::boundKey() const
{
    switch (status_.way) {
    case KeyWay::DesktopPortal: return portal_->trigger(request_.id);
    case KeyWay::X11RawKeys: return request_.keyName;
    case KeyWay::None: break;
    }
    return {};
}

QString GlobalKey::problem() const
{
    QString text;
    for (const char* sentence : status_.problem) {
        const QString translated = QCoreApplication::translate(KeyTextContext, sentence);
        // Chinese sentences end in a full-width stop and follow each other directly.
        if (!text.isEmpty() && text.back().unicode() < 0x3000) text += QLatin1Char(' ');
        text += translated;
    }
    return text;
}

QString GlobalKey::stateText() const
{
    if (status_.way == KeyWay::DesktopPortal) {
        const QString trigger = boundKey();
        return trigger.isEmpty() ? QCoreApplication::translate(KeyTextContext, key_text::BoundByDesktopUnnamed)
                                 : QCoreApplication::translate(KeyTextContext, key_text::BoundByDesktop).arg(trigger);
    }
    if (status_.asking) return QCoreApplication::translate(KeyTextContext, key_text::AskingDesktop);
    return problem();
}

}  // namespace lumo
