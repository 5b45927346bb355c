#include "app/lumo_app.h"

#include "app/chat_log_writer.h"

#include "app/main_dialog.h"
#include "app/remembered_settings.h"
#include "app/texts.h"
#include "directory/group_browser_dialog.h"
#include "lumo_version.h"
#include "shell/program_language.h"
#include "shell/skin_library.h"
#include "ui/cursor_blink_limit.h"
#include "ui/message_box.h"
#include "voice/audio_backends.h"

#include <QApplication>
#include <QWidget>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace lumo {

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT close the main window like its close box, so the group hears the leave.
void closeOnTerminationSignals(MainDialog& window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier] {
        char byte;
        [[maybe_unused]] const auto read = ::read(signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        // Any open message box goes first: its own loop would otherwise keep the program alive.
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget != &window && widget->isModal() && widget->isVisible()) widget->close();
        window.closeForGood();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    ChatLogWriter::surviveFileSizeLimit();
}

// Fills the windows from last run's values (the command line, applied after, wins) and keeps
// the values up to date as the player changes them.
void rememberAcrossRuns(MainDialog& window, RememberedSettings& remembered)
{
    const RememberedValues& values = remembered.values();
    window.setMemberName(QString::fromStdString(values.name));
    window.setRemoteAddress(QString::fromStdString(values.hostAddress));
    window.setGainBoost(values.gainBoost);
    if (!values.skin.empty()) window.shell().loadListedSkin(QString::fromStdString(values.skin));
    if (!values.directoryServer.empty()) window.groupBrowser().chooseServer(QString::fromStdString(values.directoryServer));
    if (const auto place = remembered.reachablePlace(values.mainWindow, window)) window.move(*place);
    window.setBrowserPlace(remembered.reachablePlace(values.browserWindow, window.groupBrowser()));

    QObject::connect(&window, &MainDialog::memberNameChanged, &remembered, &RememberedSettings::rememberName);
    QObject::connect(&window, &MainDialog::remoteAddressChanged, &remembered, &RememberedSettings::rememberHostAddress);
    QObject::connect(&window, &MainDialog::gainBoostChanged, &remembered, &RememberedSettings::rememberGainBoost);
    QObject::connect(&window.shell(), &MainWindowShell::skinChosen, &remembered, &RememberedSettings::rememberSkin);
    QObject::connect(&window.shell(), &MainWindowShell::pluginsSwitched, &remembered,
                     [&window, &remembered] { remembered.rememberPlugins(window.shell().pluginFilesOn()); });
    QObject::connect(&window.groupBrowser(), &GroupBrowserDialog::serverChosen, &remembered,
                     &RememberedSettings::rememberDirectoryServer);
    remembered.watchWindow(&window, remembered_key::MainWindow);
    remembered.watchWindow(&window.groupBrowser(), remembered_key::BrowserWindow);
}

// The plug-ins that were on at the end of the last run are switched on again once the window is
// up, as the player would from the "&game" menu. One that is gone or fails to load (the player
// was told why) is no longer remembered, so the next start does not fail on it again.
void switchRememberedPluginsOn(MainDialog& window, const RememberedValues& values, RememberedSettings& remembered)
{
    if (values.plugins.empty()) return;
    for (const std::string& file : values.plugins) window.shell().switchPluginOn(QString::fromStdString(file));
    remembered.rememberPlugins(window.shell().pluginFilesOn());
}

bool prefersXWayland()
{
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           !qEnvironmentVariableIsEmpty("DISPLAY");
}

}  // namespace

std::optional<LaunchOptions> parseCommandLine(const QStringList& arguments, int& exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "LUMO: group text chat and voice for players.\n"
        "Reads sys/sys.ini, skin/ and plugin/ relative to the current directory; remembers the\n"
        "player's settings in $XDG_CONFIG_HOME/lumo/LUMO.conf (options given here win)."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version."));
    const QCommandLineOption bind(QStringLiteral("bind"),
                                  QStringLiteral("Bind ports 3550 and 3555 on this IPv4 address only "
                                                 "(default: all; also LUMO_BIND_ADDRESS)."),
                                  QStringLiteral("ADDRESS"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("Your name in the group."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption connectTo(QStringLiteral("connect"),
                                       QStringLiteral("Join the group hosted at this address at start."),
                                       QStringLiteral("ADDRESS"));
    const QCommandLineOption audio(QStringLiteral("audio"),
                                   QStringLiteral("Sound devices: portaudio (the sound card, default; portaudio:INPUT:OUTPUT "
                                                  "picks devices by number or name), null (none), or "
                                                  "wav:MIC.wav:SPEAKER_DIR (speak from a WAV file; what each member "
                                                  "says goes to SPEAKER_DIR/peer-<id>.wav)."),
                                   QStringLiteral("DEVICES"),
                                   QString::fromUtf8(DefaultAudioOption.data(), int(DefaultAudioOption.size())));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Log what is sent, received and dropped, and why, to stderr (the "
                                                    "logging categories lumo.net, lumo.voice, lumo.directory, lumo.link, lumo.keys; "
                                                    "QT_LOGGING_RULES still applies)."));
    const QCommandLineOption listAudio(QStringLiteral("list-audio-devices"),
                                       QStringLiteral("List the sound devices --audio portaudio:INPUT:OUTPUT can name, and exit."));
    parser.addOptions({help, version, bind, name, connectTo, audio, verbose, listAudio});

    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "lumo: %s\nTry 'lumo --help'.\n", qPrintable(parser.errorText()));
        exitCode = 2;
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("lumo"))));
        exitCode = 0;
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        std::printf("lumo %s\n", LUMO_VERSION_TEXT);
        exitCode = 0;
        return std::nullopt;
    }

    LaunchOptions options;
    QString bindText = parser.value(bind);
    if (bindText.isEmpty()) bindText = qEnvironmentVariable("LUMO_BIND_ADDRESS");
    if (!bindText.isEmpty()) {
        options.bindAddress = parseDottedAddress(bindText.toStdString());
        if (!options.bindAddress) {
            std::fprintf(stderr, "lumo: --bind needs an IPv4 address such as 127.0.0.2, not '%s'\n", qPrintable(bindText));
            exitCode = 2;
            return std::nullopt;
        }
    }
    options.audio = parser.value(audio);
    options.verbose = parser.isSet(verbose);
    options.listAudioDevices = parser.isSet(listAudio);
    options.memberName = parser.value(name);
    options.connectAddress = parser.value(connectTo);
    if (!options.connectAddress.isEmpty() && !parseDottedAddress(options.connectAddress.toStdString())) {
        std::fprintf(stderr, "lumo: --connect needs an IPv4 address, not '%s'\n", qPrintable(options.connectAddress));
        exitCode = 2;
        return std::nullopt;
    }
    return options;
}

int runLumo(int argc, char** argv)
{
    // The command line is read before any window system is needed, so --help and --version work
    // without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    int exitCode = 0;
    const auto options = parseCommandLine(arguments, exitCode);
    if (!options) return exitCode;

    std::string audioError;
    const std::unique_ptr<AudioSystem> audio = makeAudioSystem(options->audio.toStdString(), &audioError);
    if (!audio) {
        std::fprintf(stderr, "lumo: --audio: %s\n", audioError.c_str());
        return 2;
    }
    if (options->listAudioDevices) {
        std::printf("%s", deviceListText(audio->devices()).c_str());
        return 0;
    }

    // Qt reads options of its own from the command line (X11's -name among them, which would
    // take the player's --name as the window class). LUMO's options are read above, so Qt gets
    // the program name alone; its settings still come from the environment (QT_QPA_PLATFORM).
    int qtArgc = 1;
    char platformOption[] = "-platform";
    char xcbFirst[] = "xcb;wayland";
    char* qtArgv[] = {argv[0], nullptr, nullptr, nullptr};
    // In a Wayland session that also offers XWayland, LUMO runs through XWayland unless the
    // player chose (QT_QPA_PLATFORM): a native Wayland window can neither stay above a game nor
    // hear keys without the desktop's portal, while through XWayland the keys are heard at least
    // while an X11 game has the focus and the overlay is an X11 window kept above others where
    // the desktop honours that. Only this process is told, not the programs it starts.
    if (prefersXWayland()) {
        qtArgv[qtArgc++] = platformOption;
        qtArgv[qtArgc++] = xcbFirst;
    }
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("LUMO"));
    // Settings live in $XDG_CONFIG_HOME/lumo/LUMO.conf.
    QApplication::setOrganizationName(QStringLiteral("lumo"));
    // --verbose switches the program's categories on; QT_LOGGING_RULES, read after these rules,
    // can still turn any of them off or on.
    if (options->verbose) QLoggingCategory::setFilterRules(QStringLiteral("lumo.*.debug=true"));
    QApplication::setApplicationVersion(QStringLiteral(LUMO_VERSION_TEXT));
    QApplication::setQuitOnLastWindowClosed(false);  // the main window alone ends the program
    // Chinese, Qt's own buttons (OK, Yes, No) included, or English by the player's choice or
    // the system's locale. Before any window: the windows read their texts as they are built.
    installProgramLanguage(app);
    // A focused text field of an idle window stops blinking, so the window is not woken.
    CursorBlinkLimit cursorBlink;

    // The skin library starts and loads the default skin before the window is built.
    const bool skinActive = startSkins(&app);
    RememberedSettings remembered;
    for (const QString& problem : remembered.problems()) std::fprintf(stderr, "lumo: settings: %s\n", qPrintable(problem));

    MainDialogOptions windowOptions;
    windowOptions.skinActive = skinActive;
    windowOptions.bindAddress = options->bindAddress;
    windowOptions.audio = audio.get();
    windowOptions.devicesFromCommandLine = options->audio.startsWith(QStringLiteral("portaudio:"));
    windowOptions.remembered = &remembered;
    MainDialog window(windowOptions);
    // Without its two ports the program can neither host nor join: say why and end, rather
    // than open a window that looks alive and hears nothing.
    const QString bindProblem = window.bindProblem();
    if (!bindProblem.isEmpty()) {
        std::fprintf(stderr, "lumo: %s\n", qPrintable(bindProblem));
        MessageBoxes::current().inform(nullptr, text::AppName, bindProblem);
        return 1;
    }
    closeOnTerminationSignals(window);
    // How often a hosted group is renewed with the directory; a directory run with a short
    // lifetime (tests, a busy public directory) needs it sooner than the default.
    if (const int renewMs = qEnvironmentVariableIntValue("LUMO_DIRECTORY_RENEW_MS"); renewMs > 0)
        window.groupBrowser().setRenewInterval(std::chrono::milliseconds(renewMs));
    rememberAcrossRuns(window, remembered);
    QObject::connect(&remembered, &RememberedSettings::cannotWrite, &window,
                     [&window](const QString& message) { informLater(&window, text::AppName, message); });
    // The command line wins over what was remembered.
    if (!options->memberName.isEmpty()) window.setMemberName(options->memberName);
    if (!options->connectAddress.isEmpty()) {
        window.setRemoteAddress(options->connectAddress);
        QTimer::singleShot(0, &window, &MainDialog::connectToHost);
    }
    // The main window runs beside the program's other windows (the group browser, the call
    // prompt, the overlay), not modally over them: a modal main window would block them all.
    QObject::connect(&window, &QDialog::finished, &app, [] { QApplication::quit(); });
    window.show();
    const RememberedValues rememberedAtStart = remembered.values();
    QTimer::singleShot(0, &window, [&window, &rememberedAtStart, &remembered] {
        switchRememberedPluginsOn(window, rememberedAtStart, remembered);
    });
    if (const QString damage = remembered.damageMessage(); !damage.isEmpty()) informLater(&window, text::AppName, damage);
    const int result = QApplication::exec();
    remembered.sync();
    return result;
}

}  // namespace lumo
