// The player's settings between runs, in the user's configuration folder
// ($XDG_CONFIG_HOME/lumo/LUMO.conf, QSettings with organization "lumo" and application "LUMO").
// Reading is bounded and checked (common/remembered_values.h): a damaged file gives defaults, one
// message, and is never read past MaxSettingsFileBytes. Values are written as they change, and
// QSettings writes the file from the event loop soon after, so a killed program loses little.
// It is the one way to the file: the sound choices (group "sound") go through it too.
#pragma once

#include "app/sound_settings.h"
#include "core/settings/remembered_values.h"

#include <QObject>
#include <QTimer>
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
    // The sound choices as the file holds them (checked; defaults when it holds none or the
    // file is unusable), and remembering new ones.
    SoundSettings sound() const;
    void rememberSound(const SoundSettings& sound);

    // Remembers under `key` where `window` is each time it moves.
    void watchWindow(QWidget* window, std::string_view key);
    // Where `window` may be put: the remembered place, when it lies on one of the present screens.
    std::optional<QPoint> reachablePlace(const std::optional<Place>& place, const QWidget& window) const;

    // Writes what is pending now (at closing). Changes are also written a moment after they are
    // made, so that a file that cannot be written is found while the player is still there.
    void sync();

signals:
    // The file could not be written (read-only, or its folder is): said once per run.
    void cannotWrite(const QString& message);

public:

    // The default settings file of this program.
    static QString defaultFileName();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool openFile();
    void moveDamagedFileAside(const QString& why);
    // Makes the file (created empty when missing) readable and writable by this user alone.
    void keepPrivate() const;
    void write(std::string_view key, const QString& value);

    QString fileName_;
    std::unique_ptr<QSettings> settings_;
    RememberedValues values_;
    QStringList problems_;
    bool fileDamaged_ = false;  // the whole file was set aside
    bool toldCannotWrite_ = false;
    QTimer* syncSoon_ = nullptr;
    std::vector<std::pair<QWidget*, std::string>> watched_;
};

}  // namespace lumo
