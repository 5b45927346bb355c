#include "app/remembered_settings.h"

#include <utility>

#include "core/wire/wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QWidget>

#include <cstdio>

namespace lumo {

namespace {

QString keyText(std::string_view key) { return QString::fromUtf8(key.data(), qsizetype(key.size())); }

// What QSettings writes: UTF-8 lines. NUL bytes, other control characters or broken UTF-8 mean
// the file was damaged (or is not a settings file at all).
bool looksLikeSettingsText(const QByteArray& bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F) return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    return !utf8.hasError();
}

}  // namespace

QString RememberedSettings::defaultFileName()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/') +
           QCoreApplication::organizationName() + QLatin1Char('/') + QCoreApplication::applicationName() +
           QStringLiteral(".conf");
}

RememberedSettings::RememberedSettings(const QString& fileName, QObject* parent)
    : QObject(parent), fileName_(fileName.isEmpty() ? defaultFileName() : fileName)
{
    if (!openFile()) return;

    StoredSettings stored;
    for (const std::string_view key : rememberedKeys()) {
        const QString name = keyText(key);
        if (!settings_->contains(name)) continue;
        const QVariant value = settings_->value(name);
        StoredValue read;
        if (value.typeId() == QMetaType::QString) {
            read.kind = StoredValue::Kind::Text;
            read.text = value.toString().toStdString();
        } else {
            read.kind = StoredValue::Kind::NotText;
        }
        stored.emplace(std::string(key), std::move(read));
    }
    SettingsCheck check = checkStoredSettings(stored);
    values_ = std::move(check.values);
    for (const std::string& line : check.damaged) {
        problems_ << QString::fromStdString(line);
        // The value is gone for good: the next start finds the default instead and says nothing.
        settings_->remove(QString::fromStdString(line.substr(0, line.find(':'))));
    }
    if (!problems_.isEmpty()) sync();
}

RememberedSettings::~RememberedSettings()
{
    sync();
}

bool RememberedSettings::openFile()
{
    const QFileInfo info(fileName_);
    if (info.exists()) {
        // Checked before QSettings reads it, which it does whole and at once.
        if (!info.isFile()) {
            moveDamagedFileAside(QStringLiteral("not a regular file"));
        } else if (info.size() > qint64(MaxSettingsFileBytes)) {
            moveDamagedFileAside(QStringLiteral("larger than %1 bytes").arg(MaxSettingsFileBytes));
        } else {
            QFile file(fileName_);
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.read(qint64(MaxSettingsFileBytes) + 1);
                file.close();
                if (bytes.size() > qsizetype(MaxSettingsFileBytes))
                    moveDamagedFileAside(QStringLiteral("larger than %1 bytes").arg(MaxSettingsFileBytes));
                else if (!looksLikeSettingsText(bytes))
                    moveDamagedFileAside(QStringLiteral("not text (control characters or broken UTF-8)"));
            }
        }
        if (QFileInfo::exists(fileName_) && !QFileInfo(fileName_).isFile()) {
            problems_ << QStringLiteral("%1 could not be moved aside: nothing is remembered this time").arg(fileName_);
            return false;
        }
    }
    keepPrivate();
    settings_ = std::make_unique<QSettings>(fileName_, QSettings::IniFormat);
    if (settings_->status() == QSettings::FormatError) {
        settings_.reset();
        moveDamagedFileAside(QStringLiteral("not in the settings format"));
        keepPrivate();
        settings_ = std::make_unique<QSettings>(fileName_, QSettings::IniFormat);
    }
    return true;
}

void RememberedSettings::keepPrivate() const
{
    // The file exists before QSettings first writes it, readable by this user alone: its atomic
    // rewrites keep the permissions of the file they replace.
    QDir().mkpath(QFileInfo(fileName_).absolutePath());
    QFile file(fileName_);
    if (!file.exists() && file.open(QIODevice::WriteOnly)) file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void RememberedSettings::moveDamagedFileAside(const QString& why)
{
    fileDamaged_ = true;
    const QString aside = fileName_ + QStringLiteral(".damaged");
    QFile::remove(aside);
    if (QFile::rename(fileName_, aside))
        problems_ << QStringLiteral("%1: %2; kept as %3, defaults used").arg(fileName_, why, aside);
    else
        problems_ << QStringLiteral("%1: %2; defaults used").arg(fileName_, why);
}

QString RememberedSettings::damageMessage() const
{
    if (problems_.isEmpty()) return {};
    QString message = tr("设置文件 %1 已损坏或含有无法使用的值，相关设置已恢复为默认值。").arg(QDir::toNativeSeparators(fileName_));
    if (fileDamaged_ && QFileInfo::exists(fileName_ + QStringLiteral(".damaged")))
        message += QLatin1Char('\n') + tr("原文件已另存为 %1。").arg(QDir::toNativeSeparators(fileName_ + QStringLiteral(".damaged")));
    return message;
}

void RememberedSettings::write(std::string_view key, const QString& value)
{
    if (!settings_) return;
    const QString name = keyText(key);
    const QVariant old = settings_->value(name);
    if (old.typeId() == QMetaType::QString && old.toString() == value) return;
    settings_->setValue(name, value);
    if (!syncSoon_) {
        syncSoon_ = new QTimer(this);
        syncSoon_->setSingleShot(true);
        syncSoon_->setInterval(1000);
        connect(syncSoon_, &QTimer::timeout, this, &RememberedSettings::sync);
    }
    if (!syncSoon_->isActive()) syncSoon_->start();
}

void RememberedSettings::rememberName(const QString& name)
{
    const std::string utf8 = name.toStdString();
    if (rememberableName(utf8)) write(remembered_key::Name, name);
}

void RememberedSettings::rememberHostAddress(const QString& address)
{
    // Half-typed addresses are not kept: the last complete one (or an emptied field) is.
    const std::string text = address.toStdString();
    if (address.isEmpty() || (text.size() <= 15 && parseDottedAddress(text))) write(remembered_key::HostAddress, address);
}

void RememberedSettings::rememberGainBoost(bool on) { write(remembered_key::GainBoost, QString::fromStdString(boolText(on))); }

void RememberedSettings::rememberSkin(const QString& file)
{
    if (plainFileName(file.toStdString())) write(remembered_key::Skin, file);
}

void RememberedSettings::rememberPlugins(const QStringList& files)
{
    std::vector<std::string> plain;
    for (const QString& file : files)
        if (plainFileName(file.toStdString())) plain.push_back(file.toStdString());
    write(remembered_key::Plugins, QString::fromStdString(pluginListText(plain)));
}

void RememberedSettings::rememberDirectoryServer(const QString& name)
{
    if (name.toUtf8().size() <= qsizetype(MaxRememberedTextBytes)) write(remembered_key::DirectoryServer, name);
}

void RememberedSettings::rememberPlace(std::string_view key, QPoint place)
{
    write(key, QString::fromStdString(placeText({place.x(), place.y()})));
}

SoundSettings RememberedSettings::sound() const { return settings_ ? SoundSettings::read(*settings_) : SoundSettings{}; }

void RememberedSettings::rememberSound(const SoundSettings& sound)
{
    if (settings_) sound.write(*settings_);
}

void RememberedSettings::watchWindow(QWidget* window, std::string_view key)
{
    if (!window) return;
    watched_.emplace_back(window, std::string(key));
    window->installEventFilter(this);
}

bool RememberedSettings::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Move) {
        for (const auto& [window, key] : watched_)
            // Only where the window system or the player put a shown window.
            if (window == watched && window->isVisible()) rememberPlace(key, window->pos());
    }
    return QObject::eventFilter(watched, event);
}

std::optional<QPoint> RememberedSettings::reachablePlace(const std::optional<Place>& place, const QWidget& window) const
{
    if (!place) return std::nullopt;
    std::vector<Area> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        screens.push_back({area.x(), area.y(), area.width(), area.height()});
    }
    const QSize size = window.frameGeometry().size();
    if (!placeReachable(*place, size.width(), size.height(), screens)) {
        std::fprintf(stderr, "lumo: settings: remembered window position %d,%d is on no screen; not used\n", place->x,
                     place->y);
        return std::nullopt;
    }
    return QPoint(place->x, place->y);
}

void RememberedSettings::sync()
{
    if (!settings_) return;
    settings_->sync();
    if (settings_->status() == QSettings::AccessError) {
        if (!std::exchange(toldCannotWrite_, true))
            emit cannotWrite(tr("无法保存设置：%1 不可写。这次的改动在下次启动时不会保留。").arg(fileName_));
        return;
    }
    QFile::setPermissions(fileName_, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

}  // namespace lumo
