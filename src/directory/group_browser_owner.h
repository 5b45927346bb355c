// What the group browser needs from the main window. The main window implements it; tests use
// a fake.
#pragma once

#include "core/wire/wire.h"

#include <QString>

namespace lumo {

class GroupBrowserOwner {
public:
    virtual ~GroupBrowserOwner() = default;

    // The localAddress of ownEntry; the browser may overwrite it when the directory sees this
    // client at its second address.
    virtual Ipv4 ownAddress() const = 0;
    virtual void setOwnAddress(Ipv4 address) = 0;
    // The machine's second IPv4 address, 0 when it has none.
    virtual Ipv4 secondLocalAddress() const = 0;
    // Sets ownAddressText to the own address in dotted form and writes the window's fields back
    // to its controls.
    virtual void showOwnAddress() = 0;

    // Joining a group; the browser calls these in this order, hiding itself between the first
    // and the second. connectToHost runs the Connect action exactly as the Connect button does.
    virtual void setRemoteAddress(const QString& address) = 0;
    virtual void setMemberName(const QString& name) = 0;
    virtual void connectToHost() = 0;

    // SetURL of the main window's site link, after the player picked another server.
    virtual void setSiteUrl(const QString& url) = 0;
};

}  // namespace lumo
