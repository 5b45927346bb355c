// The skin library: six entries through which the program skins its windows and menus, and our
// own small engine behind them. A skin file is a Qt style sheet, applied to the whole
// application when loaded. Without the library's files the program simply runs unskinned.
//
// The entries keep the numbers the program has always called them by:
//   1  start            at start-up, first                      true: the library is ready
//   3  loadSkin         at start-up with the default skin,       true: the skin is applied
//                       and for each choice from "&Skin"
//   8  setWindowClass   at start-up with "Dialog"                result not used
//   7  attachWindow     main window creation, before its menu bar is attached
//   5  skinWindow       main window creation, after its menus are built, with "Dialog"
//   13 trackPopupMenu   the "&Skin" pop-up: shows it, delivers the chosen command to the owner
#pragma once

#include <QEvent>
#include <QPoint>
#include <QPointer>
#include <QString>

class QApplication;
class QMenu;
class QWidget;

namespace lumo {

// The command a pop-up shown through entry 13 delivers to its owner window, as a posted event.
class MenuCommandEvent : public QEvent {
public:
    static QEvent::Type eventType();
    explicit MenuCommandEvent(int id) : QEvent(eventType()), id_(id) {}
    int id() const { return id_; }

private:
    int id_;
};

class SkinLibrary {
public:
    virtual ~SkinLibrary() = default;

    // Entry 1: starts the library for the application `appName` ("lumo"); the two numbers are
    // reserved (0). True when it is ready.
    virtual bool start(QApplication* app, const QString& appName, int reserved1, int reserved2) = 0;
    // Entry 3: loads the skin file at path and applies it at once. True on success; a failure
    // leaves the current skin.
    virtual bool loadSkin(const QString& path) = 0;
    // Entry 5: skins a window as the given window class.
    virtual int skinWindow(QWidget* window, const QString& windowClass) = 0;
    // Entry 7: takes charge of the main window, before its menu bar is attached.
    virtual int attachWindow(QWidget* window) = 0;
    // Entry 8: the window class the skins draw ("Dialog").
    virtual int setWindowClass(const QString& windowClass) = 0;
    // Entry 13: shows menu at `at` (screen coordinates) and, when the player picks an item,
    // posts a MenuCommandEvent with the item's command id (its data) to owner.
    virtual int trackPopupMenu(QMenu* menu, int flags, QPoint at, QWidget* owner) = 0;

    // The library in use: our style-sheet engine unless a test installed another.
    static SkinLibrary& current();
    // Installs a replacement (not owned); nullptr restores our engine.
    static void install(SkinLibrary* library);
};

// Our engine. Skins are style sheets (UTF-8, at most MaxSkinBytes); a window passed to entry 5
// carries the property "skinClass" with the class name, so a skin can address it as
// QDialog[skinClass="Dialog"].
class StyleSheetSkins final : public SkinLibrary {
public:
    static constexpr qint64 MaxSkinBytes = 256 * 1024;
    static constexpr const char* WindowClassProperty = "skinClass";

    bool start(QApplication* app, const QString& appName, int reserved1, int reserved2) override;
    bool loadSkin(const QString& path) override;
    int skinWindow(QWidget* window, const QString& windowClass) override;
    int attachWindow(QWidget* window) override;
    int setWindowClass(const QString& windowClass) override;
    int trackPopupMenu(QMenu* menu, int flags, QPoint at, QWidget* owner) override;

    bool started() const { return app_ != nullptr; }
    QString appName() const { return appName_; }
    QString windowClass() const { return windowClass_; }
    QString currentSkin() const { return currentSkin_; }  // path of the skin in effect

private:
    QApplication* app_ = nullptr;
    QString appName_;
    QString windowClass_;
    QString currentSkin_;
    QPointer<QWidget> mainWindow_;
};

// Start-up's part: entry 1 with "lumo", 0, 0; if it succeeded, entry 3 with the default skin
// "skin/Zarive.smf"; then entry 8 with "Dialog" in any case. Returns skinActive: true when both
// the start and the default skin succeeded. Reports nothing.
bool startSkins(QApplication* app, SkinLibrary& library = SkinLibrary::current());

}  // namespace lumo
