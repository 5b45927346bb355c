// Every message box the program shows goes through here, so that tests can answer them.
// Boxes are modal (QMessageBox::exec): a box with a parent blocks that window alone, as a box
// owned by a window should, so the group browser, the call prompt and the overlay stay usable
// while the main window shows one. Code that runs while a datagram or a link message is being
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

    // The boxes in use: real QMessageBoxes unless a test installed its own.
    static MessageBoxes& current();
    // Installs a replacement (not owned); nullptr restores the real boxes.
    static void install(MessageBoxes* boxes);
};

// Opens an OK box once the current event handler has returned.
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
