// The sound settings dialog: input and output devices, the microphone's level (after cleaning)
// against the silence gate's threshold, the cleaning steps, a test tone, and the push-to-talk key.
// It shows the player's sound settings and changes them through the SoundController, which
// carries them out and keeps them.
#pragma once

#include "app/sound_settings.h"

#include <QDialog>
#include <QWidget>

#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QTimer;

namespace lumo {

class AudioSystem;
class LevelMonitor;
class SoundController;
class VoicePlayer;

// A bar for the microphone's level on the gate's scale, with the threshold drawn across it.
class LevelMeter : public QWidget {
    Q_OBJECT
public:
    explicit LevelMeter(QWidget* parent = nullptr);
    void setLevel(int level);
    void setThreshold(int limit);
    int level() const { return level_; }
    int threshold() const { return threshold_; }
    QSize sizeHint() const override { return {220, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int level_ = 0;
    int threshold_ = DefaultQuietLimit;
};

class SoundDialog : public QDialog {
    Q_OBJECT
public:
    // The controller (and its audio system) must outlive the dialog. While the program captures,
    // the meter shows its level; otherwise the dialog listens itself.
    explicit SoundDialog(SoundController& sound, QWidget* parent = nullptr);
    ~SoundDialog() override;

    const SoundSettings& settings() const;
    // Reads the device lists again (a device plugged in).
    void refreshDevices();
    // Takes the next key press as the push-to-talk key.
    void startKeyCapture();
    // The key as a captured press gives it (keysym 0: no key).
    void setPushToTalkKey(std::uint32_t keysym, const QString& name);

    // How the push-to-talk key is heard: what the desktop bound, that it is being asked, or what
    // does not work and what to do (empty: nothing to add to the key's name).
    void setKeyState(const QString& text);

    LevelMeter* meter() const { return meter_; }
    QCheckBox* echoCancellationBox() const { return echo_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* keyStateLabel() const { return keyState_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void fillDevices(QComboBox* box, DeviceDirection direction, const std::string& chosen);
    void chooseDevices();
    void updateLevel();
    void startMonitor();
    void stopMonitor();
    void playTestTone();
    void showKey();
    void showProcessing();

    SoundController& sound_;
    AudioSystem& audio_;
    bool filling_ = false;
    bool capturingKey_ = false;

    QComboBox* input_ = nullptr;
    QComboBox* output_ = nullptr;
    LevelMeter* meter_ = nullptr;
    QSlider* threshold_ = nullptr;
    QLabel* thresholdValue_ = nullptr;
    QCheckBox* noise_ = nullptr;
    QCheckBox* gain_ = nullptr;
    QCheckBox* echo_ = nullptr;
    QCheckBox* voice_ = nullptr;
    QPushButton* tone_ = nullptr;
    QLabel* keyLabel_ = nullptr;
    QPushButton* keyButton_ = nullptr;
    QLabel* keyState_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* meterTimer_ = nullptr;

    std::unique_ptr<LevelMonitor> monitor_;
    std::unique_ptr<VoicePlayer> tonePlayer_;
};

// The volume menu of a member (the right-click prompt's "音量…"), at a place on the screen.
void showVolumeMenu(SoundController& sound, int memberId, const QPoint& screenPosition, QWidget* parent);

}  // namespace lumo
