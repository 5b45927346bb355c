// The remembered sound choices: what a settings file gives back, damaged files included, all
// through the program's one way to its settings file (RememberedSettings).
#include "app/remembered_settings.h"
#include "app/sound_settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <optional>

using namespace lumo;

class SoundSettingsTest : public QObject {
    Q_OBJECT

    static QString file() { return RememberedSettings::defaultFileName(); }
    static SoundSettings load() { return RememberedSettings().sound(); }
    static void save(const SoundSettings& settings) { RememberedSettings().rememberSound(settings); }
    static void writeFile(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(file()).path());
        QFile out(file());
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text);
    }

private slots:
    void init()
    {
        // Never the player's own file: the tests run with a private config folder.
        QVERIFY(!qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"));
        QFile::remove(file());
    }

    void whatIsSavedComesBack()
    {
        SoundSettings settings;
        settings.devices = {"ALSA: USB Headset: Audio (hw:1,0)", ""};
        settings.quietLimit = 17;
        settings.pushToTalkKeysym = 0xffc6;
        settings.pushToTalkKeyName = QStringLiteral("F9");
        const std::string gbkName = "\xd5\xc5\xc8\xfd";  // a GBK name, bytes that are no UTF-8
        settings.setVolume(gbkName, 250);
        settings.setVolume("carl", 100);  // the default is not stored
        settings.noiseSuppression = false;
        settings.echoCancellation = false;
        settings.voiceDetection = true;
        save(settings);

        const SoundSettings back = load();
        QCOMPARE(back.devices, settings.devices);
        QCOMPARE(back.quietLimit, 17);
        QCOMPARE(back.pushToTalkKeysym, 0xffc6u);
        QCOMPARE(back.pushToTalkKeyName, QStringLiteral("F9"));
        QCOMPARE(back.volumeOf(gbkName), 250);
        QCOMPARE(back.volumes.size(), std::size_t(1));
        QCOMPARE(back.volumeOf("nobody"), DefaultVolumePercent);
        QCOMPARE(back.processing(), (VoiceProcessingChoice{false, true, false, true}));
        QCOMPARE(back.echoCancellation, std::optional<bool>(false));
    }

    void echoCancellationUnchosenFollowsTheOutputDevice()
    {
        SoundSettings settings;
        settings.devices.output = "ALSA: USB Headset: Audio (hw:1,0)";
        save(settings);
        SoundSettings back = load();
        QVERIFY(!back.echoCancellation.has_value());
        QVERIFY(!back.processing().echoCancellation);
        back.devices.output = "ALSA: HDA Intel PCH";
        QVERIFY(back.processing().echoCancellation);
        QVERIFY(back.processing().noiseSuppression && back.processing().gainControl);
        QVERIFY(!back.processing().voiceDetection);
    }

    void aDamagedFileGivesTheDefaults()
    {
        QByteArray huge(20000, 'x');
        writeFile("[sound]\n"
                  "input=" + huge + "\n"
                  "output=@Variant(garbage\n"
                  "quietLimit=999\n"
                  "pushToTalkKey=-5\n"
                  "pushToTalkKeyName=F9\n"
                  "noiseSuppression=maybe\n"
                  "gainControl=0\n"
                  "echoCancellation=@Variant(garbage\n"
                  "voiceDetection=" + huge + "\n"
                  "[sound/volumes]\n"
                  "zz=50\n"
                  "6361726c=5000\n"
                  "616e6e=abc\n"
                  "626f62=-1\n"
                  "6576=30\n"
                  "616161616161616161616161616161616161=70\n");
        const SoundSettings back = load();
        QCOMPARE(back.devices.input, std::string());
        QCOMPARE(back.quietLimit, DefaultQuietLimit);
        QCOMPARE(back.pushToTalkKeysym, 0u);
        QVERIFY(back.pushToTalkKeyName.isEmpty());
        // Switches other than true and false keep their defaults.
        QVERIFY(back.noiseSuppression && back.gainControl && !back.voiceDetection);
        QVERIFY(!back.echoCancellation.has_value());
        // Only "ev" at 30 % is a usable entry: bad hex, out-of-range, not a number, over 16 bytes.
        QCOMPARE(back.volumes.size(), std::size_t(1));
        QCOMPARE(back.volumeOf("ev"), 30);
    }

    void manyVolumesAreBounded()
    {
        SoundSettings settings;
        for (int i = 0; i < SoundSettings::MaxVolumes + 50; ++i) settings.setVolume("m" + std::to_string(i), 50);
        QCOMPARE(int(settings.volumes.size()), SoundSettings::MaxVolumes);
        settings.setVolume("m0", 100);  // back to the default: forgotten
        QCOMPARE(int(settings.volumes.size()), SoundSettings::MaxVolumes - 1);
        save(settings);
        QCOMPARE(int(load().volumes.size()), SoundSettings::MaxVolumes - 1);
    }

    // The sound choices take the settings file's own route: another file when one is named, and
    // a file too large to be settings is set aside before anything of it is read.
    void theSettingsFilesRouteHoldsForSoundToo()
    {
        const QString other = QFileInfo(file()).path() + QStringLiteral("/other.conf");
        QFile::remove(other);
        SoundSettings settings;
        settings.quietLimit = 9;
        RememberedSettings(other).rememberSound(settings);
        QCOMPARE(RememberedSettings(other).sound().quietLimit, 9);
        QCOMPARE(load().quietLimit, DefaultQuietLimit);  // the default file holds nothing of it

        writeFile("[sound]\nquietLimit=12\n" + QByteArray(int(MaxSettingsFileBytes), '#'));
        RememberedSettings oversized;
        QCOMPARE(oversized.sound().quietLimit, DefaultQuietLimit);
        QVERIFY(!oversized.problems().isEmpty());
    }
};

QTEST_MAIN(SoundSettingsTest)
#include "sound_settings_test.moc"
