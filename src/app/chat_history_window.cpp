#include "app/chat_history_window.h"

#include "app/texts.h"
#include "core/text/web_links.h"
#include "ui/hyperlink_label.h"
#include "ui/app_icon.h"
#include "ui/dialog_units.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QTextBrowser>
#include <QScrollBar>
#include <QSplitter>
#include <QVBoxLayout>

#include <algorithm>
#include <string_view>

namespace lumo {

ChatHistoryModel::ChatHistoryModel(const ChatHistory& history, QObject* parent)
    : QAbstractListModel(parent), history_(history), shownFirst_(history.firstSerial()), shownEnd_(history.firstSerial())
{
    batch_.setSingleShot(true);
    batch_.setInterval(BatchMs);
    connect(&batch_, &QTimer::timeout, this, &ChatHistoryModel::flush);
}

void ChatHistoryModel::historyChanged(const ChatHistory::Added& added)
{
    if (added.continued) {
        changedFirst_ = std::min(changedFirst_, added.serial);
        changedLast_ = std::max(changedLast_, added.serial);
    }
    if (!batch_.isActive()) batch_.start();
}

void ChatHistoryModel::flush()
{
    batch_.stop();
    // Texts dropped from the history's front leave the view's front.
    const std::uint64_t first = history_.firstSerial();
    if (first > shownFirst_) {
        const std::uint64_t gone = std::min(first, shownEnd_) - shownFirst_;
        if (gone > 0) {
            beginRemoveRows({}, 0, int(gone - 1));
            shownFirst_ += gone;
            endRemoveRows();
        }
        if (shownFirst_ == shownEnd_) shownFirst_ = shownEnd_ = first;  // everything shown was dropped
    }
    if (changedFirst_ != UINT64_MAX) {
        const std::uint64_t from = std::max(changedFirst_, shownFirst_);
        const std::uint64_t to = std::min(changedLast_ + 1, shownEnd_);
        if (from < to) emit dataChanged(index(int(from - shownFirst_)), index(int(to - 1 - shownFirst_)));
        changedFirst_ = UINT64_MAX;
        changedLast_ = 0;
    }
    const std::uint64_t end = history_.endSerial();
    if (end > shownEnd_) {
        const int firstRow = int(shownEnd_ - shownFirst_);
        beginInsertRows({}, firstRow, firstRow + int(end - shownEnd_) - 1);
        shownEnd_ = end;
        endInsertRows();
    }
    emit flushed();
}

int ChatHistoryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(shownEnd_ - shownFirst_);
}

const ChatMessage* ChatHistoryModel::messageAt(int row) const
{
    if (row < 0 || row >= rowCount()) return nullptr;
    return history_.at(shownFirst_ + std::uint64_t(row));  // null for a text dropped since the last batch
}

QString ChatHistoryModel::speaker(const ChatMessage& message)
{
    const QString peer = QString::fromStdString(message.peer);
    if (message.outgoing) return QCoreApplication::translate("ChatHistoryWindow", "我对%1说：").arg(peer);
    return peer + text::Says;
}

QString ChatHistoryModel::heading(const ChatMessage& message)
{
    const QString time = QDateTime::fromMSecsSinceEpoch(message.timeMs).toString(QStringLiteral("HH:mm:ss"));
    return time + QLatin1Char(' ') + speaker(message);
}

QString ChatHistoryModel::line(const ChatMessage& message)
{
    return heading(message) + QString::fromStdString(message.text);
}

QVariant ChatHistoryModel::data(const QModelIndex& index, int role) const
{
    const ChatMessage* message = messageAt(index.row());
    if (!message) return {};
    switch (role) {
    case Qt::DisplayRole: {
        // One line per row, so that rows keep one height and a flood lays out fast; the whole
        // text shows below the list and in the row's tool tip.
        QString shown = line(*message);
        if (shown.size() > 300) shown = shown.left(300) + QStringLiteral("…");
        shown.replace(QLatin1Char('\n'), QStringLiteral(" ⏎ "));
        shown.replace(QLatin1Char('\r'), QLatin1Char(' '));
        return shown;
    }
    case Qt::ToolTipRole: return QString::fromStdString(message->text).left(2000);
    case Qt::UserRole: return line(*message);
    default: return {};
    }
}

// ---------------------------------------------------------------------------------------------

ChatHistoryWindow::ChatHistoryWindow(const ChatHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), history_(history), model_(history)
{
    setObjectName(QStringLiteral("chatHistory"));
    setWindowTitle(tr("聊天记录"));
    setWindowIcon(appIcon());
    setFont(dialogFont());
    auto* layout = new QVBoxLayout(this);
    droppedLabel_ = new QLabel(this);
    droppedLabel_->setObjectName(QStringLiteral("droppedLabel"));
    droppedLabel_->hide();
    layout->addWidget(droppedLabel_);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    list_ = new QListView(splitter);
    list_->setObjectName(QStringLiteral("historyList"));
    list_->setModel(&model_);
    list_->setUniformItemSizes(true);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->installEventFilter(this);
    // The current text whole; its web addresses are links a click opens in the browser.
    fullText_ = new QTextBrowser(splitter);
    fullText_->setObjectName(QStringLiteral("historyText"));
    fullText_->setOpenLinks(false);
    connect(fullText_, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { HyperLinkLabel::openWebAddress(url.toString(QUrl::FullyEncoded), this); });
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter);

    connect(&model_, &ChatHistoryModel::flushed, this, &ChatHistoryWindow::afterFlush);
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, &ChatHistoryWindow::showCurrent);
    resize(DialogUnits(font()).x(320), DialogUnits(font()).y(200));
}

void ChatHistoryWindow::open()
{
    model_.flush();
    show();
    raise();
    activateWindow();
    if (model_.rowCount() > 0 && !list_->currentIndex().isValid())
        list_->setCurrentIndex(model_.index(model_.rowCount() - 1));
    list_->scrollToBottom();
    list_->setFocus();
}

void ChatHistoryWindow::afterFlush()
{
    const std::uint64_t dropped = history_.droppedCount();
    droppedLabel_->setVisible(dropped > 0);
    if (dropped > 0)
        droppedLabel_->setText(tr("为节省内存，最早的 %1 条消息已从记录中删除。").arg(dropped));
    // Follow the newest text while the player is at the bottom; stay put while they read back.
    QScrollBar* bar = list_->verticalScrollBar();
    if (bar->value() >= bar->maximum() - 2 || !isVisible()) list_->scrollToBottom();
    showCurrent();
}

void ChatHistoryWindow::showCurrent()
{
    const ChatMessage* message = model_.messageAt(list_->currentIndex().row());
    const QString text = message ? ChatHistoryModel::line(*message) : QString();
    if (text == shownText_) return;
    shownText_ = text;
    const QByteArray utf8 = text.toUtf8();
    fullText_->setHtml(QString::fromStdString(linkedHtml(std::string_view(utf8.constData(), std::size_t(utf8.size())))));
}

QString ChatHistoryWindow::selectedText() const
{
    QModelIndexList rows = list_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& row : rows) lines << model_.data(row, Qt::UserRole).toString();
    return lines.join(QLatin1Char('\n'));
}

bool ChatHistoryWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Ctrl+C copies every selected text whole, not only the current row's shortened line.
    if (watched == list_ && event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event) == QKeySequence::Copy) {
        QApplication::clipboard()->setText(selectedText());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ChatHistoryWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace lumo
