#include "shell/online_update.h"

#include "core/text/gbk.h"
#include "ui/hyperlink_label.h"
#include "core/shell/update_config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <filesystem>
#include <system_error>

namespace lumo {


namespace {

std::filesystem::path localPath(const QString& path) { return std::filesystem::path(QFile::encodeName(path).toStdString()); }

}  // namespace

QString runOnlineUpdate(const QString& directory)
{
    const QDir dir(directory);
    const QString updater = dir.filePath(QString::fromUtf8(UpdaterFileName));
    const QString downloaded = dir.filePath(QString::fromUtf8(DownloadedUpdaterFileName));

    const QFileInfo downloadedInfo(downloaded);
    if (downloadedInfo.exists() || downloadedInfo.isSymLink()) {
        // rename() replaces the old updater atomically; a running old updater keeps its copy.
        std::error_code error;
        std::filesystem::rename(localPath(downloaded), localPath(updater), error);
        if (error) return UpdateSwapFailedText.arg(directory, QString::fromStdString(error.message()));
        // A download carries no execute permission: give the owner the right to run it.
        QFile::setPermissions(updater, QFile::permissions(updater) | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    }

    const QFileInfo updaterInfo(updater);
    if (!updaterInfo.exists()) return UpdaterMissingText.arg(QDir::toNativeSeparators(directory));

    const std::string url = readUpdateServerUrl(QFile::encodeName(dir.filePath(QStringLiteral("sys/sys.ini"))).toStdString());
    QProcess process;
    process.setProgram(updater);
    process.setArguments({QStringLiteral("lumo"), QString::fromStdString(gbkToUtf8(url))});
    process.setWorkingDirectory(directory);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        QString reason = process.errorString();
        if (!updaterInfo.isFile()) reason = QStringLiteral("not a file");
        else if (!updaterInfo.isExecutable()) reason = QStringLiteral("not executable");
        return UpdaterNotStartedText.arg(directory, reason);
    }
    return {};
}

QString forumUrl(const QString& baseUrl) { return baseUrl + QStringLiteral("/../bbs"); }

QString openWebLink(const QString& url)
{
    if (url.isEmpty()) return NoSiteText;
    const int result = HyperLinkLabel::GotoURL(url);
    if (result > 32) return {};
    return HyperLinkLabel::failureText(url, result);
}

}  // namespace lumo
