#include "app/sound_settings.h"

#include <QByteArray>
#include <QSettings>

namespace lumo {

namespace {

// Member names are GBK bytes of any kind: keys carry them as hex.
QString nameKey(const std::string& gbkName)
{
    return QString::fromLatin1(QByteArray::fromStdString(gbkName).toHex());
}

std::string deviceLabelFrom(const QVariant& value)
{
    const QString text = value.toString();
    if (text.size() > SoundSettings::MaxDeviceLabel) return {};
    return text.toStdString();
}

// A switch key read back: a keysym in range and its name, or none.
SwitchKey switchKeyFrom(QSettings& settings, const QString& key)
{
    bool ok = false;
    const qlonglong keysym = settings.value(key, 0).toLongLong(&ok);
    if (!ok || keysym <= 0 || keysym > qlonglong(SoundSettings::MaxKeysym)) return {};
    return {std::uint32_t(keysym), settings.value(key + QStringLiteral("Name")).toString().left(64)};
}

void writeSwitchKey(QSettings& settings, const QString& key, const SwitchKey& value)
{
    settings.setValue(key, qlonglong(value.keysym));
    settings.setValue(key + QStringLiteral("Name"), value.name);
}

}  // namespace

SoundSettings SoundSettings::read(QSettings& settings)
{
    SoundSettings out;
    settings.beginGroup(QStringLiteral("sound"));
    out.devices.input = deviceLabelFrom(settings.value(QStringLiteral("input")));
    out.devices.output = deviceLabelFrom(settings.value(QStringLiteral("output")));
    bool ok = false;
    const int limit = settings.value(QStringLiteral("quietLimit"), DefaultQuietLimit).toInt(&ok);
    if (ok && limit >= 0 && limit <= MaxQuietLimit) out.quietLimit = limit;
    const qlonglong keysym = settings.value(QStringLiteral("pushToTalkKey"), 0).toLongLong(&ok);
    if (ok && keysym > 0 && keysym <= qlonglong(MaxKeysym)) {
        out.pushToTalkKeysym = std::uint32_t(keysym);
        out.pushToTalkKeyName = settings.value(QStringLiteral("pushToTalkKeyName")).toString().left(64);
    }
    out.muteKey = switchKeyFrom(settings, QStringLiteral("muteKey"));
    out.deafenKey = switchKeyFrom(settings, QStringLiteral("deafenKey"));
    // Only true and false count; anything else keeps the default.
    auto flag = [&settings](const QString& key) -> std::optional<bool> {
        const QString text = settings.value(key).toString();
        if (text == QLatin1String("true")) return true;
        if (text == QLatin1String("false")) return false;
        return std::nullopt;
    };
    out.noiseSuppression = flag(QStringLiteral("noiseSuppression")).value_or(out.noiseSuppression);
    out.gainControl = flag(QStringLiteral("gainControl")).value_or(out.gainControl);
    out.echoCancellation = flag(QStringLiteral("echoCancellation"));
    out.voiceDetection = flag(QStringLiteral("voiceDetection")).value_or(out.voiceDetection);
    settings.beginGroup(QStringLiteral("volumes"));
    const QStringList keys = settings.childKeys();
    for (const QString& key : keys.mid(0, MaxVolumes)) {
        const QByteArray name = QByteArray::fromHex(key.toLatin1());
        const qlonglong percent = settings.value(key).toLongLong(&ok);
        if (!ok || name.isEmpty() || name.size() > 16 || percent < 0 || percent > MaxVolumePercent) continue;
        out.volumes[name.toStdString()] = int(percent);
    }
    settings.endGroup();
    settings.endGroup();
    return out;
}

void SoundSettings::write(QSettings& settings) const
{
    settings.beginGroup(QStringLiteral("sound"));
    settings.setValue(QStringLiteral("input"), QString::fromStdString(devices.input));
    settings.setValue(QStringLiteral("output"), QString::fromStdString(devices.output));
    settings.setValue(QStringLiteral("quietLimit"), quietLimit);
    settings.setValue(QStringLiteral("pushToTalkKey"), qlonglong(pushToTalkKeysym));
    settings.setValue(QStringLiteral("pushToTalkKeyName"), pushToTalkKeyName);
    writeSwitchKey(settings, QStringLiteral("muteKey"), muteKey);
    writeSwitchKey(settings, QStringLiteral("deafenKey"), deafenKey);
    settings.setValue(QStringLiteral("noiseSuppression"), noiseSuppression);
    settings.setValue(QStringLiteral("gainControl"), gainControl);
    if (echoCancellation)
        settings.setValue(QStringLiteral("echoCancellation"), *echoCancellation);
    else
        settings.remove(QStringLiteral("echoCancellation"));
    settings.setValue(QStringLiteral("voiceDetection"), voiceDetection);
    settings.remove(QStringLiteral("volumes"));
    settings.beginGroup(QStringLiteral("volumes"));
    for (const auto& [name, percent] : volumes) settings.setValue(nameKey(name), percent);
    settings.endGroup();
    settings.endGroup();
}

int SoundSettings::volumeOf(const std::string& gbkName) const
{
    const auto found = volumes.find(gbkName);
    return found == volumes.end() ? DefaultVolumePercent : found->second;
}

std::uint32_t SoundSettings::keysymOf(KeyRole role) const
{
    switch (role) {
    case KeyRole::PushToTalk: return pushToTalkKeysym;
    case KeyRole::Mute: return muteKey.keysym;
    case KeyRole::Deafen: return deafenKey.keysym;
    }
    return 0;
}

std::optional<KeyRole> SoundSettings::roleOfKey(std::uint32_t keysym, KeyRole except) const
{
    if (keysym == 0) return std::nullopt;
    for (const KeyRole role : {KeyRole::PushToTalk, KeyRole::Mute, KeyRole::Deafen})
        if (role != except && keysymOf(role) == keysym) return role;
    return std::nullopt;
}

VoiceProcessingChoice SoundSettings::processing() const
{
    return {noiseSuppression, gainControl, echoCancellationFor(echoCancellation, devices.output), voiceDetection};
}

void SoundSettings::setVolume(const std::string& gbkName, int percent)
{
    if (gbkName.empty()) return;
    percent = clampVolume(percent);
    if (percent == DefaultVolumePercent)
        volumes.erase(gbkName);
    else if (volumes.size() < MaxVolumes || volumes.count(gbkName))
        volumes[gbkName] = percent;
}

}  // namespace lumo
