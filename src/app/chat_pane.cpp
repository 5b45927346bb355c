#include "app/chat_pane.h"

#include "app/texts.h"

#include <QAction>
#include <QListView>
#include <QScrollBar>
#include <QVBoxLayout>

namespace lumo {

ChatPane::ChatPane(const ChatHistory& history, QWidget* parent) : QWidget(parent), model_(history)
{
    setObjectName(QStringLiteral("chatPane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    list_ = new QListView(this);
    list_->setObjectName(QStringLiteral("chatPaneList"));
    list_->setModel(&model_);
    list_->setUniformItemSizes(true);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setFocusPolicy(Qt::ClickFocus);  // Tab stays among the window's fields
    layout->addWidget(list_);
    connect(&model_, &ChatHistoryModel::flushed, this, &ChatPane::afterFlush);

    showAction_ = new QAction(text::ChatPaneAction, this);
    showAction_->setObjectName(QStringLiteral("chatPaneAction"));
    showAction_->setCheckable(true);
    connect(showAction_, &QAction::toggled, this, [this](bool on) {
        if (on) model_.flush();  // what came while it was hidden shows at once
        setVisible(on);
        if (on) list_->scrollToBottom();
        emit shownChanged(on);
    });
    hide();
}

bool ChatPane::chosen() const { return showAction_->isChecked(); }

void ChatPane::setChosen(bool on) { showAction_->setChecked(on); }

void ChatPane::afterFlush()
{
    // Follow the newest text while the player is at the bottom; stay put while they read back.
    QScrollBar* bar = list_->verticalScrollBar();
    if (bar->value() >= bar->maximum() - 2 || !isVisible()) list_->scrollToBottom();
}

}  // namespace lumo
