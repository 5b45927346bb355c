// Every message box the program shows goes through here, so that tests can answer them.
// Boxes are modal (QMessageBox::exec); code that runs while a datagram is being handled must
// not open one directly but queue it (showLater), so that datagrams keep flowing while it is open.
#pragma once

#include <QString>
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
// Asks once the current event handler has returned and passes the answer on.
void askLater(QWidget* parent, const QString& caption, const QString& text, std::function<void(bool)> answered);

}  // namespace lumo
