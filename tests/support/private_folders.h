// Every lumo a test starts gets configuration and data folders of its own, so that values it
// remembers never reach the next test, and the tester's own ~/.config and ~/.local/share are
// neither read nor written.
#pragma once

#include <QDir>
#include <QProcessEnvironment>
#include <QString>

namespace lumo::test {

// Points XDG_CONFIG_HOME and XDG_DATA_HOME of `env` into `folder` (created as needed), and
// leaves out the desktop's session bus.
inline void usePrivateFolders(QProcessEnvironment& env, const QString& folder)
{
    const QString config = folder + QStringLiteral("/config");
    const QString data = folder + QStringLiteral("/data");
    QDir().mkpath(config);
    QDir().mkpath(data);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    // Nor the tester's desktop: no notifications reach it.
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
}

}  // namespace lumo::test
