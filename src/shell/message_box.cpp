#include "shell/message_box.h"

#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace lumo {

namespace {

class RealMessageBoxes final : public MessageBoxes {
public:
    void inform(QWidget* parent, const QString& caption, const QString& text) override
    {
        QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
        box.exec();
    }
    bool ask(QWidget* parent, const QString& caption, const QString& text) override
    {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
        return box.exec() == QMessageBox::Yes;
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

void askLater(QWidget* parent, const QString& caption, const QString& text, std::function<void(bool)> answered)
{
    QPointer<QWidget> guard(parent);
    QTimer::singleShot(0, [guard, parent, caption, text, answered = std::move(answered)] {
        if (parent && !guard) return;
        answered(MessageBoxes::current().ask(guard, caption, text));
    });
}

}  // namespace lumo
