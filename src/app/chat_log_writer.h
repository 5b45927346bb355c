// The chat log file. While logging is on, every text of the history is appended once, as one
// line, to <data folder>/lumo/history/<host address>.log, as soon as it can no longer grow (a
// text whose last part was full length may still be continued). A file past MaxLogBytes is left
// alone. A failure stops logging and says why (failed); the texts not written stay in line for
// when the player turns logging on again.
#pragma once

#include "core/group/chat_history.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>

class QFile;

namespace lumo {

class ChatLogWriter : public QObject {
    Q_OBJECT
public:
    // A file that grew this big is someone's flood, not a conversation worth the disk.
    static constexpr qint64 MaxLogBytes = 64 * 1024 * 1024;
    // Texts are written in batches, as the history view shows them.
    static constexpr int BatchMs = 100;

    // `monotonicMs` is the clock the history's continuation window runs on; `joinedHost` names the file.
    ChatLogWriter(const ChatHistory& history, std::function<std::int64_t()> monotonicMs,
                  std::function<std::uint32_t()> joinedHost, QObject* parent = nullptr);

    // Where the files go; by default the data folder's lumo/history.
    void setFolder(const QString& folder) { folder_ = folder; }
    QString filePath() const;

    // A file-size limit (ulimit -f) must stop the log, not the program: the kernel's SIGXFSZ is
    // ignored, so a write past the limit fails with EFBIG and is handled as a full disk is.
    static void surviveFileSizeLimit();

    // Turning logging on also writes the texts of the run so far, and retries after a failure.
    void setLogging(bool on);
    bool logging() const { return on_ && !stopped_; }

    // The history changed: what is settled is written within BatchMs.
    void historyChanged();
    // Writes the texts that can no longer grow; a timer calls it after each change.
    void writeSettled() { write(false); }
    // Writes every text, the last one too (the program ends).
    void writeAll() { write(true); }

signals:
    // Logging stopped; `statusText` says why, for the status line.
    void failed(const QString& statusText);

private:
    void batchDue();
    void write(bool all);
    void fail(const QString& statusText);
    // Opens the log for appending into `file`; the reason when it cannot be.
    static QString openLog(const QString& path, QFile& file);

    const ChatHistory& history_;
    std::function<std::int64_t()> monotonicMs_;
    std::function<std::uint32_t()> joinedHost_;
    QString folder_;
    bool on_ = false;
    bool stopped_ = false;
    std::uint64_t writtenEnd_ = 0;  // texts before this serial are written (or were dropped unwritten)
    QTimer batch_;
};

}  // namespace lumo
