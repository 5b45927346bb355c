#include "app/call_prompt_dialog.h"

#include "ui/dialog_units.h"

#include <QLabel>

#include <algorithm>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>

namespace lumo {


namespace {

// The prompt's side picture: a narrow strip in the program's colours.
QPixmap sidePicture(const QSize& size)
{
    QPixmap pixmap(size);
    QPainter painter(&pixmap);
    QLinearGradient gradient(0, 0, 0, size.height());
    gradient.setColorAt(0, QColor(0x2a, 0x7a, 0xd4));
    gradient.setColorAt(1, QColor(0x12, 0x3a, 0x6a));
    painter.fillRect(pixmap.rect(), gradient);
    return pixmap;
}

}  // namespace

CallPromptDialog::CallPromptDialog() : QDialog(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setFont(dialogFont(8));
    const DialogUnits du(font());
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setGeometry(du.rect(0, 0, 14, 69));
    picture->setPixmap(sidePicture(picture->size()));

    struct Button {
        const QString& text;
        const char* name;
        int y;
        VoiceAnswer value;
    };
    for (const Button& b : {Button{AcceptText, "acceptButton", 4, VoiceAnswer::Accepted},
                            Button{RefuseText, "refuseButton", 16, VoiceAnswer::Refused},
                            Button{AskAgainText, "askAgainButton", 28, VoiceAnswer::NotAsked}}) {
        auto* button = new QPushButton(b.text, this);
        button->setObjectName(QLatin1String(b.name));
        button->setFlat(true);
        button->setGeometry(du.rect(13, b.y, 51, 13));
        const VoiceAnswer value = b.value;
        connect(button, &QPushButton::clicked, this, [this, value] { answer(value); });
    }
    auto* volume = new QPushButton(tr("音量…"), this);
    volume->setObjectName(QStringLiteral("volumeButton"));
    volume->setFlat(true);
    volume->setGeometry(du.rect(13, 40, 51, 13));
    connect(volume, &QPushButton::clicked, this, [this, volume] {
        const QPoint at = volume->mapToGlobal(QPoint(0, volume->height()));
        hide();
        if (volume_) volume_(memberId_, at);
    });
    auto* key = new QPushButton(KeyText, this);
    key->setObjectName(QStringLiteral("keyButton"));
    key->setFlat(true);
    // Under the four buttons, within the prompt's size as it always was.
    key->setGeometry(du.rect(13, 53, 51, 9));
    connect(key, &QPushButton::clicked, this, [this] {
        hide();
        if (key_) key_(memberId_);
    });
    hide();
}

void CallPromptDialog::promptFor(std::uint16_t memberId, std::uint16_t row, const QPoint& screenPosition)
{
    memberId_ = memberId;
    row_ = row;
    setGeometry(screenPosition.x(), screenPosition.y(), 100, std::max(100, DialogUnits(font()).y(63)));
    show();
}

void CallPromptDialog::answer(VoiceAnswer value)
{
    if (answered_) answered_(memberId_, row_, value);
    hide();
}

}  // namespace lumo
