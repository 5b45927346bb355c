#include "app/chat_log_writer.h"

#include "app/chat_history_window.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumo {

ChatLogWriter::ChatLogWriter(const ChatHistory& history, std::function<std::int64_t()> monotonicMs,
                             std::function<std::uint32_t()> joinedHost, QObject* parent)
    : QObject(parent), history_(history), monotonicMs_(std::move(monotonicMs)), joinedHost_(std::move(joinedHost))
{
    batch_.setSingleShot(true);
    connect(&batch_, &QTimer::timeout, this, &ChatLogWriter::batchDue);
}

void ChatLogWriter::batchDue()
{
    batch_.stop();
    writeSettled();
    // The last text may still be continued: it is written once that can no longer happen.
    if (logging() && writtenEnd_ < history_.endSerial()) batch_.start(int(ChatHistory::ContinueWithinMs) + BatchMs);
}

QString ChatLogWriter::filePath() const
{
    const QString folder = !folder_.isEmpty()
                               ? folder_
                               : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                     QStringLiteral("/lumo/history");
    return folder + QLatin1Char('/') + QString::fromStdString(logFileName(joinedHost_()));
}

void ChatLogWriter::setLogging(bool on)
{
    on_ = on;
    if (on) stopped_ = false;
    batchDue();
}

void ChatLogWriter::historyChanged()
{
    if (logging() && !batch_.isActive()) batch_.start(BatchMs);
}

void ChatLogWriter::write(bool all)
{
    if (!logging()) return;
    const std::int64_t now = monotonicMs_();
    const std::int64_t offsetMs = std::int64_t(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
    std::uint64_t serial = std::max(writtenEnd_, history_.firstSerial());
    QByteArray lines;
    for (; serial < history_.endSerial(); ++serial) {
        if (!all && !history_.settled(serial, now)) break;
        const ChatMessage& message = *history_.at(serial);
        lines += QByteArray::fromStdString(
            formatLogLine(message, ChatHistoryModel::speaker(message).toStdString(), offsetMs));
    }
    if (lines.isEmpty()) return;
    const QString path = filePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file;
    if (const QString why = openLog(path, file); !why.isEmpty()) {
        fail(tr("无法写入聊天记录文件 %1：%2").arg(path, why));
        return;
    }
    const qint64 before = file.size();
    if (before + lines.size() > MaxLogBytes) {
        fail(tr("聊天记录文件 %1 已超过 64 MB，不再写入。").arg(path));
        return;
    }
    // A full disk may show only when the data leaves the buffer.
    errno = 0;
    if (file.write(lines) != lines.size() || !file.flush()) {
        // The system's reason (a full disk, EFBIG past a file-size limit) says more than Qt's.
        const QString why = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
        // No half line: the texts go whole on the next try. Straight to the descriptor: QFile would
        // try its failed buffer again first.
        [[maybe_unused]] const int cut = ::ftruncate(file.handle(), before);
        fail(tr("无法写入聊天记录文件 %1：%2").arg(path, why));
        return;
    }
    writtenEnd_ = serial;
}

void ChatLogWriter::surviveFileSizeLimit() { ::signal(SIGXFSZ, SIG_IGN); }

QString ChatLogWriter::openLog(const QString& path, QFile& file)
{
    // Never through a link someone placed at the log's path (the text would go wherever it
    // points), never into a pipe or device, and readable by this user alone.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return tr("不是普通文件");
    }
    if ((info.st_mode & 0077) != 0) ::fchmod(fd, 0600);
    // Unbuffered: a write that fails is not tried again behind our back when the file closes.
    if (!file.open(fd, QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
    return {};
}

void ChatLogWriter::fail(const QString& statusText)
{
    stopped_ = true;
    emit failed(statusText);
}

}  // namespace lumo
