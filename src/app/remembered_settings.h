// The player's settings between runs, in the user's configuration folder
// ($XDG_CONFIG_HOME/lumo/LUMO.conf, QSettings with organization "lumo" and application "LUMO").
// Reading is bounded and checked (common/remembered_values.h): a damaged file gives defaults, one
// message, and is never read past MaxSettingsFileBytes. Values are written as they change, and
// QSettings writes the file from the event loop soon after, so a killed program loses little.
// Only this program's groups are touched; others (the sound settings) are left as they are.
#pragma once

#include "core/settings/remembered_values.h"

#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string_view>

class QSettings;
class QWidget;

namespace lumo {

class RememberedSettings : public QObject {
    Q_OBJECT
public:
    // The application's settings file; `fileName` replaces it (tests).
    explicit RememberedSettings(const QString& fileName = {}, QObject* parent = nullptr);
    ~RememberedSettings() override;

    // The values that can be used; defaults where the file had none or a damaged one.
    const RememberedValues& values() const { return values_; }
    // What could not be used, one line each, for the log; empty when the file was sound.
    const QStringList& problems() const { return problems_; }
    // The player's message about a damaged file; empty when there is nothing to say.
    QString damageMessage() const;
    QString fileName() const { return fileName_; }
    // Whether values are written at all (false when the file's place is unusable).
    bool writable() const { return settings_ != nullptr; }

    void rememberName(const QString& name);
    void rememberHostAddress(const QString& address);
    void rememberGainBoost(bool on);
    void rememberSkin(const QString& file);
    void rememberPlugins(const QStringList& files);
    void rememberDirectoryServer(const QString& name);
    void rememberPlace(std::string_view key, QPoint place);

    // Remembers under `key` where `window` is each time it moves.
    void watchWindow(QWidget* window, std::string_view key);
    // Where `window` may be put: the remembered place, when it lies on one of the present screens.
    std::optional<QPoint> reachablePlace(const std::optional<Place>& place, const QWidget& window) const;

    // Writes what is pending now (at closing).
    void sync();

    // The default settings file of this program.
    static QString defaultFileName();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool openFile();
    void moveDamagedFileAside(const QString& why);
    void write(std::string_view key, const QString& value);

    QString fileName_;
    std::unique_ptr<QSettings> settings_;
    RememberedValues values_;
    QStringList problems_;
    bool fileDamaged_ = false;  // the whole file was set aside
    std::vector<std::pair<QWidget*, std::string>> watched_;
};

}  // namespace lumo
