// Every message box the program shows goes through here, so that tests can answer them.
// A box the player's own action raises is modal (QMessageBox::exec): a box with a parent blocks
// that window alone, so the group browser, the call prompt and the overlay stay usable while the
// main window shows one. A box the program opens by itself (a text, a voice question, a box the
// network raises) goes through informThen/askThen: it appears without taking the keyboard from
// the program the player is in (a game), blocks no window, and no key answers it until the
// player has clicked into it. Code that runs while a datagram or a link message is being
// handled must not open a box directly but queue it (informLater, or a BoxQueue), so that
// datagrams keep flowing while it is open.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>

class QWidget;

namespace lumo {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // An OK box.
    virtual void inform(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A Yes/No box; true for Yes.
    virtual bool ask(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The same boxes opened by the program itself, not by the player: they return at once and
    // call `closed` (`answered`) when the player closes (answers) them. A box whose parent
    // goes first calls neither. By default they run the boxes above.
    virtual void informThen(QWidget* parent, const QString& caption, const QString& text, std::function<void()> closed);
    virtual void askThen(QWidget* parent, const QString& caption, const QString& text, std::function<void(bool)> answered);

    // The boxes in use: real QMessageBoxes unless a test installed its own.
    static MessageBoxes& current();
    // Installs a replacement (not owned); nullptr restores the real boxes.
    static void install(MessageBoxes* boxes);
};

// Where the next box the program opens by itself goes: boxes open at once step down and right
// from the centre of `anchor` (the window they belong to, or the screen) so that none hides
// another, and each lies inside `screen` (an invalid screen means no limits).
QPoint cascadedBoxPlace(const QRect& anchor, const QSize& size, const QRect& screen, int boxesOpen, int step = 24);

// Opens an OK box once the current event handler has returned, without taking the keyboard.
void informLater(QWidget* parent, const QString& caption, const QString& text);

// The boxes of one window, shown one at a time. A box asked for while another of the queue is
// open waits for its turn instead of opening on top of it, so that a burst of requests (from
// the network or the overlay link) never stacks boxes without bound; a box whose caption and
// text match one already open or waiting is not shown twice. Boxes open from the event loop,
// never inside the caller.
class BoxQueue : public QObject {
public:
    static constexpr int DefaultCapacity = 16;

    explicit BoxQueue(QWidget* window, int capacity = DefaultCapacity);

    // False when the box was not queued (a duplicate, or the queue is full).
    bool inform(const QString& caption, const QString& text);
    // `answered` gets the player's answer; it is not called for a box that was not queued or
    // that was dropped by clear().
    bool ask(const QString& caption, const QString& text, std::function<void(bool)> answered);

    // A box is open or waiting.
    bool busy() const { return open_ || !waiting_.empty(); }
    int waiting() const { return int(waiting_.size()); }
    // Drops the boxes still waiting (the open one stays until answered).
    void clear() { waiting_.clear(); }
    // Called once the last box has been answered and none waits.
    void setIdleHandler(std::function<void()> idle) { idle_ = std::move(idle); }

private:
    struct Box {
        QString caption;
        QString text;
        std::function<void(bool)> answered;  // empty for an OK box
    };
    bool enqueue(Box box);
    void showWaiting();

    QPointer<QWidget> window_;
    int capacity_;
    std::deque<Box> waiting_;
    bool open_ = false;
    QString openCaption_;
    QString openText_;
    std::function<void()> idle_;
};

}  // namespace lumo
