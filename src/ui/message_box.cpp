#include "ui/message_box.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace lumo {

namespace {

// Runs a real box. It lives on the heap and is watched: a parent destroyed while the box is
// open takes the box with it, and exec() then returns.
int runBox(QMessageBox::Icon icon, QWidget* parent, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons)
{
    QPointer<QMessageBox> box = new QMessageBox(icon, caption, text, buttons, parent);
    // A box blocks only the window it belongs to; a box without a window blocks the program.
    if (parent) box->setWindowModality(Qt::WindowModal);
    // The text can be selected and copied (a friend's chat text, an address in an error).
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    const int result = box->exec();
    delete box.data();
    return result;
}

// A box the program opened by itself. It is shown without activation and, until the player
// clicks into it, refuses the keyboard focus (a window manager then leaves the focus where it
// is, and Qt does not take it when X has no window manager), so keys typed for a game never
// reach it. Only a box the player clicked gets a default button for Return. A long
// text scrolls inside a box that fits the screen, its buttons always in view.
class QuietBox final : public QDialog {
public:
    QuietBox(QWidget* parent, const QString& caption, const QString& text, QDialogButtonBox::StandardButtons buttons)
        : QDialog(parent, Qt::Dialog | Qt::WindowDoesNotAcceptFocus)
    {
        setWindowTitle(caption);
        setAttribute(Qt::WA_DeleteOnClose);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setModal(false);
        auto* label = label_ = new QLabel(text);
        label->setObjectName(QStringLiteral("boxText"));
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setMinimumWidth(std::min(300, MaxTextWidth));
        label->setMaximumWidth(MaxTextWidth);
        scroll_ = new QScrollArea;
        scroll_->setObjectName(QStringLiteral("boxScroll"));
        scroll_->setWidget(label);
        scroll_->setWidgetResizable(true);
        scroll_->setFrameShape(QFrame::NoFrame);
        scroll_->setFocusPolicy(Qt::NoFocus);  // the keys go to the text
        scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        buttons_ = new QDialogButtonBox(buttons);
        buttons_->setCenterButtons(true);
        noDefault();
        connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(12, 10, 12, 10);
        layout->addWidget(scroll_, 1);
        layout->addWidget(buttons_);
        fitText(label);
    }

    // Shows the box at `place` (its top-left corner), leaving the focus where it is.
    void showAt(const QPoint& place)
    {
        move(place);
        show();
        noDefault();  // a button box makes its first button the default when shown
        if (QWindow* window = windowHandle()) window->installEventFilter(this);
    }

    static constexpr int MaxTextWidth = 420;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The player's click makes the box an ordinary window that takes the focus, and lets
        // Return answer it.
        if (watched == windowHandle() && event->type() == QEvent::MouseButtonPress) {
            acceptFocus();
            giveReturnADefault();
            // The window was not active when the press came, so Qt gives no click focus: a
            // click anywhere but on a button gives the text the keys (select all, copy) once
            // the window is active.
            const auto* press = static_cast<QMouseEvent*>(event);
            if (!qobject_cast<QAbstractButton*>(childAt(mapFromGlobal(press->globalPosition().toPoint()))))
                label_->setFocus(Qt::MouseFocusReason);
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    void acceptFocus()
    {
        QWindow* window = windowHandle();
        if (!window || !(window->flags() & Qt::WindowDoesNotAcceptFocus)) return;
        const Qt::WindowFlags flags = windowFlags() & ~Qt::WindowDoesNotAcceptFocus;
        overrideWindowFlags(flags);  // the widget's record, without recreating the window
        window->setFlags(flags);
        activateWindow();
    }
    // No button takes Return, and none takes the keyboard focus either: should the X focus reach
    // the box before the player's click (a window manager that ignores the hint), Space would
    // otherwise press the first button, Yes to a question.
    void noDefault()
    {
        for (QAbstractButton* b : buttons_->buttons()) {
            b->setFocusPolicy(Qt::NoFocus);
            if (auto* push = qobject_cast<QPushButton*>(b)) {
                push->setAutoDefault(false);
                push->setDefault(false);
            }
        }
    }
    void giveReturnADefault()
    {
        for (QAbstractButton* b : buttons_->buttons()) b->setFocusPolicy(Qt::StrongFocus);
        QAbstractButton* first = buttons_->button(QDialogButtonBox::Yes);
        if (!first) first = buttons_->button(QDialogButtonBox::Ok);
        if (auto* push = qobject_cast<QPushButton*>(first)) push->setDefault(true);
    }
    // The text area is as tall as the text, but no taller than the screen allows with the
    // buttons below it; a longer text scrolls.
    void fitText(QLabel* label)
    {
        const QScreen* screen = parentWidget() && parentWidget()->screen() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        const int screenHeight = screen ? screen->availableGeometry().height() : 768;
        const int room = std::max(80, screenHeight - buttons_->sizeHint().height() - 120);
        const int textHeight = label->heightForWidth(MaxTextWidth);
        const int shown = std::min(textHeight > 0 ? textHeight : label->sizeHint().height(), room);
        scroll_->setMinimumHeight(shown);
        scroll_->setMaximumHeight(shown);
        scroll_->setMinimumWidth(std::min(label->sizeHint().width(), MaxTextWidth) + scroll_->verticalScrollBar()->sizeHint().width());
        adjustSize();
    }

    QLabel* label_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
};

// The boxes the program opened by itself that are open now, for the cascade.
int& quietBoxesOpen()
{
    static int open = 0;
    return open;
}

void openQuietBox(QWidget* parent, const QString& caption, const QString& text, QDialogButtonBox::StandardButtons buttons,
                  std::function<void(bool)> done)
{
    auto* box = new QuietBox(parent, caption, text, buttons);
    const QScreen* screen = parent && parent->screen() ? parent->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    const QRect anchor = parent && parent->isVisible() ? parent->frameGeometry() : available;
    const QPoint place = cascadedBoxPlace(anchor, box->sizeHint(), available, quietBoxesOpen());
    ++quietBoxesOpen();
    QObject::connect(box, &QObject::destroyed, [] { --quietBoxesOpen(); });
    // finished comes once, before the box is deleted; a box whose parent goes calls nothing.
    QObject::connect(box, &QDialog::finished, box, [done = std::move(done)](int result) {
        if (done) done(result == QDialog::Accepted);
    });
    box->showAt(place);
}

class RealMessageBoxes final : public MessageBoxes {
public:
    void inform(QWidget* parent, const QString& caption, const QString& text) override
    {
        runBox(QMessageBox::NoIcon, parent, caption, text, QMessageBox::Ok);
    }
    bool ask(QWidget* parent, const QString& caption, const QString& text) override
    {
        return runBox(QMessageBox::Question, parent, caption, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    }
    void informThen(QWidget* parent, const QString& caption, const QString& text, std::function<void()> closed) override
    {
        openQuietBox(parent, caption, text, QDialogButtonBox::Ok, [closed = std::move(closed)](bool) {
            if (closed) closed();
        });
    }
    void askThen(QWidget* parent, const QString& caption, const QString& text, std::function<void(bool)> answered) override
    {
        openQuietBox(parent, caption, text, QDialogButtonBox::Yes | QDialogButtonBox::No, std::move(answered));
    }
};

MessageBoxes* installed = nullptr;

}  // namespace

MessageBoxes& MessageBoxes::current()
{
    static RealMessageBoxes real;
    return installed ? *installed : real;
}

void MessageBoxes::install(MessageBoxes* boxes) { installed = boxes; }

void MessageBoxes::informThen(QWidget* parent, const QString& caption, const QString& text, std::function<void()> closed)
{
    QPointer<QWidget> guard(parent);
    inform(parent, caption, text);
    if ((!parent || guard) && closed) closed();
}

void MessageBoxes::askThen(QWidget* parent, const QString& caption, const QString& text, std::function<void(bool)> answered)
{
    QPointer<QWidget> guard(parent);
    const bool yes = ask(parent, caption, text);
    if ((!parent || guard) && answered) answered(yes);
}

QPoint cascadedBoxPlace(const QRect& anchor, const QSize& size, const QRect& screen, int boxesOpen, int step)
{
    // Eight steps, then the cascade starts over a little to the right, so that it stays near
    // the anchor however many boxes open.
    const int inRow = std::max(0, boxesOpen) % 8;
    const int row = (std::max(0, boxesOpen) / 8) % 4;
    QPoint place(anchor.center().x() - size.width() / 2 + inRow * step + row * step / 3,
                 anchor.center().y() - size.height() / 2 + inRow * step);
    if (!screen.isValid()) return place;
    place.setX(std::clamp(place.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width())));
    place.setY(std::clamp(place.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height())));
    return place;
}

void informLater(QWidget* parent, const QString& caption, const QString& text)
{
    QPointer<QWidget> guard(parent);
    QTimer::singleShot(0, [guard, parent, caption, text] {
        if (parent && !guard) return;  // the window went away meanwhile
        MessageBoxes::current().informThen(guard, caption, text, {});
    });
}

// --- BoxQueue --------------------------------------------------------------------------------

BoxQueue::BoxQueue(QWidget* window, int capacity) : QObject(window), window_(window), capacity_(capacity) {}

bool BoxQueue::inform(const QString& caption, const QString& text) { return enqueue({caption, text, {}}); }

bool BoxQueue::ask(const QString& caption, const QString& text, std::function<void(bool)> answered)
{
    if (!answered) answered = [](bool) {};
    return enqueue({caption, text, std::move(answered)});
}

bool BoxQueue::enqueue(Box box)
{
    if (open_ && box.caption == openCaption_ && box.text == openText_) return false;
    for (const Box& waiting : waiting_)
        if (waiting.caption == box.caption && waiting.text == box.text) return false;
    if (int(waiting_.size()) >= capacity_) return false;
    waiting_.push_back(std::move(box));
    if (!open_ && waiting_.size() == 1) QTimer::singleShot(0, this, &BoxQueue::showWaiting);
    return true;
}

void BoxQueue::showWaiting()
{
    if (open_) return;  // the open box shows the next one when it closes
    if (waiting_.empty()) {
        openCaption_.clear();
        openText_.clear();
        if (idle_) idle_();
        return;
    }
    Box box = std::move(waiting_.front());
    waiting_.pop_front();
    open_ = true;
    openCaption_ = box.caption;
    openText_ = box.text;
    // The window (and this queue) may go while the box is open: then nothing more is shown.
    const QPointer<BoxQueue> guard(this);
    auto next = [guard] {
        if (!guard) return;
        guard->open_ = false;
        guard->showWaiting();
    };
    if (box.answered) {
        MessageBoxes::current().askThen(window_, box.caption, box.text, [answered = std::move(box.answered), next](bool yes) {
            answered(yes);
            next();
        });
    } else {
        MessageBoxes::current().informThen(window_, box.caption, box.text, next);
    }
}

}  // namespace lumo
