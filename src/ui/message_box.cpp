#include "ui/message_box.h"

#include <QMessageBox>
#include <QTimer>

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
};

MessageBoxes* installed = nullptr;

}  // namespace

MessageBoxes& MessageBoxes::current()
{
    static RealMessageBoxes real;
    return installed ? *installed : real;
}

void MessageBoxes::install(MessageBoxes* boxes) { installed = boxes; }

void informLater(QWidget* parent, const QString& caption, const QString& text)
{
    QPointer<QWidget> guard(parent);
    QTimer::singleShot(0, [guard, parent, caption, text] {
        if (parent && !guard) return;  // the window went away meanwhile
        MessageBoxes::current().inform(guard, caption, text);
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
    if (open_) return;  // the loop below is already showing them, further up the stack
    QPointer<BoxQueue> guard(this);
    open_ = true;
    while (!waiting_.empty()) {
        Box box = std::move(waiting_.front());
        waiting_.pop_front();
        openCaption_ = box.caption;
        openText_ = box.text;
        if (box.answered) {
            const bool yes = MessageBoxes::current().ask(window_, box.caption, box.text);
            if (!guard) return;
            box.answered(yes);
        } else {
            MessageBoxes::current().inform(window_, box.caption, box.text);
        }
        if (!guard) return;  // the window (and this queue) went while the box was open
    }
    open_ = false;
    openCaption_.clear();
    openText_.clear();
    if (idle_) idle_();
}

}  // namespace lumo
