// An optional pane in the main window that shows the chat as it arrives: the texts received and
// the player's own sent texts, worded as the history window words them (its model, over the same
// history). Off by default: the player switches it with its action (in the "消息(M)" menu), and
// the choice is remembered. While it shows, texts go to it and open no box (the chat inbox asks
// shown()). The window only places it and makes room for it (shownChanged).
#pragma once

#include "app/chat_history_window.h"

#include <QWidget>

class QAction;
class QListView;

namespace lumo {

class ChatPane : public QWidget {
    Q_OBJECT
public:
    explicit ChatPane(const ChatHistory& history, QWidget* parent = nullptr);

    // Checkable: shows or hides the pane.
    QAction* showAction() const { return showAction_; }
    // The player chose the pane and its window is up: texts are read there.
    // Not while the window is minimised: the player would not see a text there.
    bool shown() const { return isVisible() && !window()->isMinimized(); }
    // What the player chose, as the action holds it (also while the window is hidden).
    bool chosen() const;
    // Shows or hides the pane, as the action does.
    void setChosen(bool on);

    ChatHistoryModel& model() { return model_; }
    QListView* list() const { return list_; }

signals:
    // The pane was switched on or off: the window makes room for it, the choice is remembered.
    void shownChanged(bool on);

private:
    void afterFlush();

    ChatHistoryModel model_;
    QListView* list_ = nullptr;
    QAction* showAction_ = nullptr;
};

}  // namespace lumo
