#include "app/sound_dialog.h"

#include "app/sound_controller.h"
#include "app/texts.h"
#include "voice/audio_device.h"
#include "voice/level_monitor.h"
#include "voice/voice_player.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <array>

namespace lumo {

namespace {

constexpr int MeterIntervalMs = 60;  // one captured block
constexpr int ToneSamples = 4800;    // 600 ms: within what a player keeps queued
constexpr int ToneHz = 440;
constexpr int TonePeak = 8000;
// The tone's own output; no member has this id, so it never mixes with a member's voice.
constexpr int ToneMemberId = 128;

}  // namespace

// --- LevelMeter ------------------------------------------------------------------------------

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(160, 14);
}

void LevelMeter::setLevel(int level)
{
    if (level == level_) return;
    level_ = level;
    update();
}

void LevelMeter::setThreshold(int limit)
{
    if (limit == threshold_) return;
    threshold_ = limit;
    update();
}

void LevelMeter::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(frame, QColor(0x20, 0x20, 0x20));
    const int width = frame.width() - 1;
    const int filled = int(meterFraction(level_) * width);
    // Green when the gate lets the block through, grey when it holds it back.
    painter.fillRect(QRect(frame.left() + 1, frame.top() + 1, filled, frame.height() - 1),
                     level_ > threshold_ ? QColor(0x3c, 0xc8, 0x50) : QColor(0x80, 0x80, 0x80));
    const int x = frame.left() + 1 + int(meterFraction(threshold_) * width);
    painter.setPen(QPen(QColor(0xff, 0x50, 0x30), 2));
    painter.drawLine(x, frame.top(), x, frame.bottom());
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(frame);
}

// --- SoundDialog -----------------------------------------------------------------------------

SoundDialog::SoundDialog(SoundController& sound, QWidget* parent) : QDialog(parent), sound_(sound), audio_(sound.audio())
{
    setWindowTitle(tr("声音设置"));
    setMinimumWidth(460);  // room for the buttons in the skins' wider padding
    setObjectName(QStringLiteral("soundDialog"));

    input_ = new QComboBox(this);
    input_->setObjectName(QStringLiteral("inputDevice"));
    output_ = new QComboBox(this);
    output_->setObjectName(QStringLiteral("outputDevice"));
    auto* refresh = new QPushButton(tr("刷新"), this);
    refresh->setObjectName(QStringLiteral("refreshDevices"));

    meter_ = new LevelMeter(this);
    meter_->setObjectName(QStringLiteral("levelMeter"));
    meter_->setThreshold(settings().quietLimit);
    threshold_ = new QSlider(Qt::Horizontal, this);
    threshold_->setObjectName(QStringLiteral("threshold"));
    threshold_->setRange(0, MaxQuietLimit);
    threshold_->setValue(settings().quietLimit);
    thresholdValue_ = new QLabel(this);

    // What the microphone's voice goes through before the gate; the meter shows the result.
    noise_ = new QCheckBox(tr("降噪"), this);
    noise_->setObjectName(QStringLiteral("noiseSuppression"));
    gain_ = new QCheckBox(tr("自动增益"), this);
    gain_->setObjectName(QStringLiteral("gainControl"));
    echo_ = new QCheckBox(tr("回声消除"), this);
    echo_->setObjectName(QStringLiteral("echoCancellation"));
    echo_->setToolTip(tr("用扬声器时打开；戴耳机时不需要"));
    voice_ = new QCheckBox(tr("只在听到人声时发送"), this);
    voice_->setObjectName(QStringLiteral("voiceDetection"));

    tone_ = new QPushButton(tr("测试声音"), this);
    tone_->setObjectName(QStringLiteral("testTone"));

    keyLabel_ = new QLabel(this);
    keyLabel_->setObjectName(QStringLiteral("pushToTalkKey"));
    keyButton_ = new QPushButton(tr("设置按键(&K)"), this);
    keyButton_->setObjectName(QStringLiteral("setKey"));
    auto* clearKey = new QPushButton(tr("清除按键"), this);
    clearKey->setObjectName(QStringLiteral("clearKey"));

    keyState_ = new QLabel(this);
    keyState_->setObjectName(QStringLiteral("pushToTalkState"));
    keyState_->setWordWrap(true);
    keyState_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    keyState_->hide();

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("soundStatus"));
    status_->setWordWrap(true);

    auto* form = new QFormLayout;
    auto* inputRow = new QHBoxLayout;
    inputRow->addWidget(input_, 1);
    inputRow->addWidget(refresh);
    form->addRow(tr("输入设备："), inputRow);
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(output_, 1);
    outputRow->addWidget(tone_);
    form->addRow(tr("输出设备："), outputRow);
    form->addRow(tr("麦克风音量："), meter_);
    auto* thresholdRow = new QHBoxLayout;
    thresholdRow->addWidget(threshold_, 1);
    thresholdRow->addWidget(thresholdValue_);
    form->addRow(tr("静音门限："), thresholdRow);
    auto* processingRow = new QHBoxLayout;
    for (QCheckBox* box : {noise_, gain_, echo_}) processingRow->addWidget(box);
    processingRow->addStretch(1);
    form->addRow(tr("麦克风处理："), processingRow);
    form->addRow(QString(), voice_);
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(keyLabel_, 1);
    keyRow->addWidget(keyButton_);
    keyRow->addWidget(clearKey);
    form->addRow(tr("按键说话："), keyRow);
    form->addRow(QString(), keyState_);

    auto* buttons = new QDialogButtonBox(this);
    auto* close = buttons->addButton(tr("关闭"), QDialogButtonBox::AcceptRole);
    close->setObjectName(QStringLiteral("closeSound"));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(status_);
    layout->addWidget(buttons);

    refreshDevices();
    thresholdValue_->setNum(settings().quietLimit);
    showProcessing();
    showKey();
    setKeyState(sound_.pushToTalkState());
    connect(&sound_, &SoundController::pushToTalkStateChanged, this, &SoundDialog::setKeyState);

    connect(refresh, &QPushButton::clicked, this, &SoundDialog::refreshDevices);
    connect(input_, &QComboBox::currentIndexChanged, this, &SoundDialog::chooseDevices);
    connect(output_, &QComboBox::currentIndexChanged, this, &SoundDialog::chooseDevices);
    connect(threshold_, &QSlider::valueChanged, this, [this](int limit) {
        sound_.setQuietLimit(limit);
        meter_->setThreshold(limit);
        thresholdValue_->setNum(limit);
    });
    // Clicks only (not toggled): showing the settings must not count as the player's choice.
    connect(noise_, &QCheckBox::clicked, this, [this](bool on) { sound_.setCleaning(CleaningStep::NoiseSuppression, on); });
    connect(gain_, &QCheckBox::clicked, this, [this](bool on) { sound_.setCleaning(CleaningStep::GainControl, on); });
    connect(echo_, &QCheckBox::clicked, this, [this](bool on) { sound_.setCleaning(CleaningStep::EchoCancellation, on); });
    connect(voice_, &QCheckBox::clicked, this, [this](bool on) { sound_.setCleaning(CleaningStep::VoiceDetection, on); });
    connect(tone_, &QPushButton::clicked, this, &SoundDialog::playTestTone);
    connect(keyButton_, &QPushButton::clicked, this, &SoundDialog::startKeyCapture);
    connect(clearKey, &QPushButton::clicked, this, [this] { setPushToTalkKey(0, {}); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    meterTimer_ = new QTimer(this);
    meterTimer_->setInterval(MeterIntervalMs);
    connect(meterTimer_, &QTimer::timeout, this, &SoundDialog::updateLevel);
}

SoundDialog::~SoundDialog()
{
    stopMonitor();
}

const SoundSettings& SoundDialog::settings() const { return sound_.settings(); }

void SoundDialog::fillDevices(QComboBox* box, DeviceDirection direction, const std::string& chosen)
{
    box->clear();
    box->addItem(tr("默认设备"), QString());
    int current = 0;
    for (const AudioDeviceInfo& device : audio_.devices()) {
        const bool fits = direction == DeviceDirection::Input ? device.inputChannels > 0 : device.outputChannels > 0;
        if (!fits) continue;
        const QString label = QString::fromStdString(deviceLabel(device));
        const bool isDefault = direction == DeviceDirection::Input ? device.defaultInput : device.defaultOutput;
        box->addItem(isDefault ? label + tr("（默认）") : label, label);
        if (!chosen.empty() && label.toStdString() == chosen) current = box->count() - 1;
    }
    // A remembered device that is not plugged in stays chosen and says so.
    if (!chosen.empty() && current == 0) {
        box->addItem(tr("%1（未接上）").arg(QString::fromStdString(chosen)), QString::fromStdString(chosen));
        current = box->count() - 1;
    }
    box->setCurrentIndex(current);
}

void SoundDialog::refreshDevices()
{
    const bool monitoring = monitor_ != nullptr;
    stopMonitor();  // a system reads its list again only while none of its devices is open
    filling_ = true;
    fillDevices(input_, DeviceDirection::Input, settings().devices.input);
    fillDevices(output_, DeviceDirection::Output, settings().devices.output);
    filling_ = false;
    if (monitoring || isVisible()) startMonitor();
}

void SoundDialog::chooseDevices()
{
    if (filling_) return;
    const DeviceChoice wanted{input_->currentData().toString().toStdString(),
                              output_->currentData().toString().toStdString()};
    // The choice is remembered even when the device is away: it is used once it is back.
    std::string reason;
    if (!sound_.chooseDevices(wanted, &reason)) {
        status_->setText(tr("找不到设备：%1").arg(QString::fromStdString(reason)));
    } else {
        status_->clear();
    }
    showProcessing();  // echo cancellation follows the output device until the player chooses
    stopMonitor();
    startMonitor();
}

void SoundDialog::startMonitor()
{
    if (monitor_ || sound_.captureLevel()) return;
    monitor_ = std::make_unique<LevelMonitor>(audio_);
    if (!monitor_->StartAll()) {
        monitor_.reset();
        status_->setText(tr("打不开录音设备。"));
    }
}

void SoundDialog::stopMonitor()
{
    if (!monitor_) return;
    monitor_->StopAll();
    monitor_.reset();
}

void SoundDialog::updateLevel()
{
    const std::optional<int> capturing = sound_.captureLevel();
    if (capturing) {
        // The program's own capture runs (talking): the dialog's second look would only compete.
        stopMonitor();
        meter_->setLevel(*capturing);
        return;
    }
    if (monitor_ && monitor_->deviceLost()) {
        stopMonitor();
        meter_->setLevel(0);
        status_->setText(tr("录音设备已断开。"));
        return;
    }
    if (!monitor_) {
        meter_->setLevel(0);
        return;
    }
    meter_->setLevel(monitor_->blocksSeen() ? monitor_->lastLevel() : 0);
}

void SoundDialog::playTestTone()
{
    tonePlayer_ = std::make_unique<VoicePlayer>(audio_, ToneMemberId);
    if (!tonePlayer_->StartAll()) {
        tonePlayer_.reset();
        status_->setText(tr("打不开放音设备。"));
        return;
    }
    std::array<std::int16_t, BlockSamples * 2> chunk{};
    for (int start = 0; start < ToneSamples; start += int(chunk.size())) {
        fillTestTone(chunk.data(), int(chunk.size()), start, ToneSamples, ToneHz, TonePeak);
        tonePlayer_->Play(chunk.data(), int(chunk.size() * 2));
    }
    tone_->setEnabled(false);
    // The player goes once its samples have been played.
    QTimer::singleShot(ToneSamples / 8 + 400, this, [this] {
        tonePlayer_.reset();
        tone_->setEnabled(true);
    });
}

void SoundDialog::startKeyCapture()
{
    capturingKey_ = true;
    keyLabel_->setText(tr("请按一个键…（Esc 取消）"));
    setFocus();
}

void SoundDialog::keyPressEvent(QKeyEvent* event)
{
    if (!capturingKey_) {
        QDialog::keyPressEvent(event);
        return;
    }
    capturingKey_ = false;
    // On X11 the native virtual key is the keysym, which is what the key watcher looks for.
    if (event->key() != Qt::Key_Escape && event->nativeVirtualKey() != 0)
        setPushToTalkKey(event->nativeVirtualKey(), QKeySequence(event->key()).toString(QKeySequence::NativeText));
    else
        showKey();
}

void SoundDialog::setPushToTalkKey(std::uint32_t keysym, const QString& name)
{
    capturingKey_ = false;
    sound_.setPushToTalkKey(keysym, name);
    showKey();
}

void SoundDialog::showKey()
{
    keyLabel_->setText(settings().pushToTalkKeysym ? settings().pushToTalkKeyName : tr("无（声音够大时自动发出）"));
}

void SoundDialog::showProcessing()
{
    const VoiceProcessingChoice choice = settings().processing();
    noise_->setChecked(choice.noiseSuppression);
    gain_->setChecked(choice.gainControl);
    echo_->setChecked(choice.echoCancellation);
    voice_->setChecked(choice.voiceDetection);
}

void SoundDialog::setKeyState(const QString& text)
{
    keyState_->setText(text);
    keyState_->setVisible(!text.isEmpty());
}

void SoundDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    startMonitor();
    meterTimer_->start();
}

void SoundDialog::hideEvent(QHideEvent* event)
{
    meterTimer_->stop();
    stopMonitor();
    QDialog::hideEvent(event);
}

}  // namespace lumo

namespace lumo {

void showVolumeMenu(SoundController& sound, int memberId, const QPoint& screenPosition, QWidget* parent)
{
    QMenu menu(parent);
    menu.setObjectName(QStringLiteral("volumeMenu"));
    const int current = sound.memberVolume(memberId);
    for (const int percent : {0, 25, 50, 75, 100, 150, 200, 300, 400}) {
        QAction* item = menu.addAction(percent == 0 ? text::Mute.toString() : QStringLiteral("%1%").arg(percent));
        item->setCheckable(true);
        item->setChecked(percent == current);
        QObject::connect(item, &QAction::triggered, &sound, [&sound, memberId, percent] { sound.setMemberVolume(memberId, percent); });
    }
    menu.exec(screenPosition);
}

}  // namespace lumo
