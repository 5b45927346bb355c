// A text cursor blinks by repainting its field twice a second, which wakes a focused but idle
// window for ever. After a while without the player's keys or clicks the cursor stays lit
// instead, as desktops do, and it blinks again at the next key or click.
#pragma once

#include <QObject>
#include <QTimer>

namespace lumo {

class CursorBlinkLimit : public QObject {
public:
    static constexpr int DefaultIdleMs = 10000;

    // Watches the whole application's input from now on.
    explicit CursorBlinkLimit(int idleMs = DefaultIdleMs, QObject* parent = nullptr);
    ~CursorBlinkLimit() override;

    bool blinking() const { return blinking_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void wake();
    void rest();

    QTimer idle_;
    int flashTime_;  // the desktop's blink period, given back on input
    bool blinking_ = true;
};

}  // namespace lumo
