// The chat history as the player reads it: a list of every text of the run (one row each, newest
// at the bottom) over the full text of the current row. The rows are a view of the window's
// ChatHistory, never a copy of it, and new texts reach the view in batches, so a flood of
// thousands of texts a second costs one layout pass per batch rather than one per text.
#pragma once

#include "core/group/chat_history.h"

#include <QAbstractListModel>
#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;
class QListView;
class QTextBrowser;

namespace lumo {

class ChatHistoryModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int BatchMs = 100;

    explicit ChatHistoryModel(const ChatHistory& history, QObject* parent = nullptr);

    // The history changed (a text was added or continued): the view follows within BatchMs.
    void historyChanged(const ChatHistory::Added& added);
    // Brings the rows up to date at once.
    void flush();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    const ChatMessage* messageAt(int row) const;
    // "bob说：" or "我对bob说："; heading() puts the time ("21:30:05 ") before it.
    static QString speaker(const ChatMessage& message);
    static QString heading(const ChatMessage& message);
    static QString line(const ChatMessage& message);

signals:
    void flushed();

private:
    const ChatHistory& history_;
    std::uint64_t shownFirst_ = 0;  // the serials the rows show: [shownFirst_, shownEnd_)
    std::uint64_t shownEnd_ = 0;
    std::uint64_t changedFirst_ = UINT64_MAX;  // continued texts since the last flush
    std::uint64_t changedLast_ = 0;
    QTimer batch_;
};

class ChatHistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit ChatHistoryWindow(const ChatHistory& history, QWidget* parent = nullptr);

    ChatHistoryModel& model() { return model_; }
    QListView* list() const { return list_; }
    QTextBrowser* fullText() const { return fullText_; }
    // Shows, raises and focuses the window on its newest text.
    void open();
    // The selected rows, one line each, in order (what Ctrl+C copies).
    QString selectedText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void afterFlush();
    void showCurrent();

    const ChatHistory& history_;
    ChatHistoryModel model_;
    QLabel* droppedLabel_ = nullptr;
    QListView* list_ = nullptr;
    QTextBrowser* fullText_ = nullptr;
    QString shownText_;
};

}  // namespace lumo
