// The settings file as the program reads and writes it: values come back in the next run, other
// groups of the file are left alone, and a damaged file gives defaults and one message, never a
// crash, with nothing of it lost.
#include "app/remembered_settings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

using namespace lumo;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void expectDefaults(const RememberedValues& values)
{
    QVERIFY(values.name.empty());
    QVERIFY(values.hostAddress.empty());
    QVERIFY(!values.gainBoost);
    QVERIFY(values.skin.empty());
    QVERIFY(values.plugins.empty());
    QVERIFY(values.directoryServer.empty());
    QVERIFY(!values.mainWindow && !values.browserWindow && !values.overlayWindow);
}

}  // namespace

class RememberedSettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder_;
    QString file() const { return folder_.filePath(QStringLiteral("lumo/LUMO.conf")); }

private slots:
    void init()
    {
        QDir(folder_.path()).removeRecursively();
        QDir().mkpath(folder_.path());
    }

    // The file may say where the player goes: it is readable by this user alone, whether it is
    // new or was left readable by others.
    void theFileIsPrivate_data()
    {
        QTest::addColumn<bool>("existed");
        QTest::newRow("new") << false;
        QTest::newRow("readable by others") << true;
    }
    void theFileIsPrivate()
    {
        QFETCH(bool, existed);
        if (existed) {
            QVERIFY(writeFile(file(), "[General]\n"));
            QVERIFY(QFile::setPermissions(file(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther |
                                                      QFileDevice::ReadGroup));
        }
        const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        const QFileDevice::Permissions userFlags = QFileDevice::ReadUser | QFileDevice::WriteUser;
        {
            RememberedSettings settings(file());
            QCOMPARE(QFile::permissions(file()) & ~userFlags, ownerOnly);
            settings.rememberHostAddress(QStringLiteral("10.0.0.7"));
            settings.sync();
            QCOMPARE(QFile::permissions(file()) & ~userFlags, ownerOnly);
        }
        QCOMPARE(QFile::permissions(file()) & ~userFlags, ownerOnly);
        QVERIFY(readFile(file()).contains("10.0.0.7"));
    }

    // A file that cannot be written (here one under /proc, which even root cannot write) is
    // said once, however many changes follow; the changes are written a moment after they
    // are made, without waiting for the program to close.
    void anUnwritableFileIsSaidOnce()
    {
        RememberedSettings remembered(QStringLiteral("/proc/self/lumo-test/LUMO.conf"));
        QSignalSpy told(&remembered, &RememberedSettings::cannotWrite);
        remembered.rememberName(QStringLiteral("ann"));
        QTRY_COMPARE(told.size(), 1);
        QVERIFY(told.first().first().toString().contains(QStringLiteral("/proc/self/lumo-test/LUMO.conf")));
        remembered.rememberName(QStringLiteral("bob"));
        remembered.sync();
        QCOMPARE(told.size(), 1);

        RememberedSettings sound(file());
        QSignalSpy fine(&sound, &RememberedSettings::cannotWrite);
        sound.rememberName(QStringLiteral("ann"));
        QTRY_VERIFY(QFile(file()).size() > 0);
        QVERIFY(fine.isEmpty());
    }

    void writtenValuesComeBackAndOtherGroupsStay()
    {
        {
            QSettings sound(file(), QSettings::IniFormat);
            sound.setValue(QStringLiteral("sound/input"), QStringLiteral("USB 麦克风, left"));
        }
        {
            RememberedSettings settings(file());
            QVERIFY(settings.problems().isEmpty());
            QVERIFY(settings.damageMessage().isEmpty());
            settings.rememberName(QStringLiteral("小明"));
            settings.rememberHostAddress(QStringLiteral("10.0.0.7"));
            settings.rememberHostAddress(QStringLiteral("10.0."));  // half typed: the last whole one stays
            settings.rememberGainBoost(true);
            settings.rememberSkin(QStringLiteral("Ocean.smf"));
            settings.rememberPlugins({QStringLiteral("hudlet.so"), QStringLiteral("../x.so")});
            settings.rememberDirectoryServer(QStringLiteral("本机, test"));
            settings.rememberPlace(remembered_key::MainWindow, {-30, 40});
        }
        RememberedSettings again(file());
        QVERIFY2(again.problems().isEmpty(), qPrintable(again.problems().join(QLatin1Char('\n'))));
        const RememberedValues& values = again.values();
        QCOMPARE(QString::fromStdString(values.name), QStringLiteral("小明"));
        QCOMPARE(values.hostAddress, std::string("10.0.0.7"));
        QVERIFY(values.gainBoost);
        QCOMPARE(values.skin, std::string("Ocean.smf"));
        QCOMPARE(values.plugins, std::vector<std::string>{"hudlet.so"});
        QCOMPARE(QString::fromStdString(values.directoryServer), QStringLiteral("本机, test"));
        QVERIFY(values.mainWindow && *values.mainWindow == (Place{-30, 40}));
        QSettings sound(file(), QSettings::IniFormat);
        QCOMPARE(sound.value(QStringLiteral("sound/input")).toString(), QStringLiteral("USB 麦克风, left"));
        QCOMPARE(again.sound().devices.input, std::string("USB 麦克风, left"));  // read through the same route
    }

    // Garbage bytes, a file too large to be ours, a directory where the file belongs: each is
    // set aside whole (nothing lost), the values are the defaults, the player is told once, and
    // what is remembered from then on is kept.
    void unreadableFilesAreSetAsideOnce_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray garbage;
        for (int i = 0; i < 3000; ++i) garbage.append(char((i * 7919 + 13) % 256));
        QTest::newRow("garbage bytes") << garbage;
        QTest::newRow("a NUL in a settings line") << QByteArray("[player]\nname=bob\0\n", 19);
        QTest::newRow("broken UTF-8") << QByteArray("[player]\nname=\xC3(\n");
        QTest::newRow("too large") << (QByteArray("[sound]\nnote=") + QByteArray(200 * 1024, 'x') + "\n");
        QTest::newRow("a directory") << QByteArray();
    }
    void unreadableFilesAreSetAsideOnce()
    {
        QFETCH(QByteArray, bytes);
        if (bytes.isEmpty()) QVERIFY(QDir().mkpath(file()));
        else QVERIFY(writeFile(file(), bytes));
        {
            RememberedSettings settings(file());
            expectDefaults(settings.values());
            QVERIFY(!settings.problems().isEmpty());
            const QString message = settings.damageMessage();
            QVERIFY2(message.contains(file()) && message.contains(file() + QStringLiteral(".damaged")), qPrintable(message));
            QVERIFY(settings.writable());
            settings.rememberName(QStringLiteral("ann"));
        }
        if (!bytes.isEmpty()) QCOMPARE(readFile(file() + QStringLiteral(".damaged")), bytes);
        else QVERIFY(QFileInfo(file() + QStringLiteral(".damaged")).isDir());
        RememberedSettings again(file());
        QVERIFY2(again.problems().isEmpty(), qPrintable(again.problems().join(QLatin1Char('\n'))));
        QVERIFY(again.damageMessage().isEmpty());
        QCOMPARE(again.values().name, std::string("ann"));
    }

    // Values of the wrong type, huge or absurd: those give their defaults and are named once;
    // the sound values beside them are left alone.
    void damagedValuesGiveDefaultsOnce()
    {
        {
            QSettings writer(file(), QSettings::IniFormat);
            writer.setValue(QStringLiteral("player/name"), QStringList{QStringLiteral("a"), QStringLiteral("b")});
            writer.setValue(QStringLiteral("player/hostAddress"), QString(30000, QLatin1Char('9')));
            writer.setValue(QStringLiteral("player/gainBoost"), 5);
            writer.setValue(QStringLiteral("windows/main"), QPoint(10, 10));
            writer.setValue(QStringLiteral("windows/browser"), QStringLiteral("-99999999,99999999"));
            writer.setValue(QStringLiteral("appearance/skin"), QStringLiteral("Ocean.smf"));  // sound
            writer.setValue(QStringLiteral("sound/volume"), 7);
        }
        {
            RememberedSettings settings(file());
            QCOMPARE(settings.problems().size(), 5);
            QVERIFY(!settings.damageMessage().isEmpty());
            QVERIFY(!settings.damageMessage().contains(QStringLiteral(".damaged")));  // the file stays in place
            QCOMPARE(settings.values().skin, std::string("Ocean.smf"));
            QVERIFY(settings.values().name.empty() && settings.values().hostAddress.empty());
            QVERIFY(!settings.values().gainBoost && !settings.values().mainWindow && !settings.values().browserWindow);
        }
        RememberedSettings again(file());
        QVERIFY(again.problems().isEmpty());
        QCOMPARE(again.values().skin, std::string("Ocean.smf"));
        QSettings reader(file(), QSettings::IniFormat);
        QCOMPARE(reader.value(QStringLiteral("sound/volume")).toInt(), 7);
    }

    void aPlaceOnNoScreenIsNotRestored()
    {
        RememberedSettings settings(file());
        QWidget window;
        window.setFixedSize(300, 200);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const auto inside = settings.reachablePlace(Place{screen.x() + 10, screen.y() + 20}, window);
        QVERIFY(inside);
        QCOMPARE(*inside, QPoint(screen.x() + 10, screen.y() + 20));
        QVERIFY(!settings.reachablePlace(Place{screen.right() + 500, screen.y()}, window));
        QVERIFY(!settings.reachablePlace(Place{screen.x() - 5000, screen.y() - 5000}, window));
        QVERIFY(!settings.reachablePlace(std::nullopt, window));
    }
};

QTEST_MAIN(RememberedSettingsTest)
#include "remembered_settings_test.moc"
