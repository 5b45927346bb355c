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
