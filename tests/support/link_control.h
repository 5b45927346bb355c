// Drives a lumo process the way its in-game overlay does: through its "LUMO" mailbox, in the
// process's own runtime directory. The test can tick members, start and stop talking, and take
// the voice questions in a "gamein" mailbox of its own and answer them.
#pragma once

#include "core/link/link_records.h"
#include "overlay_test_support.h"
#include "link/mailbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace lumo::test {

// Runs `f` with XDG_RUNTIME_DIR pointing at `directory`, so link names resolve there.
template <typename F>
auto inRuntimeDirectory(const QString& directory, F f)
{
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", directory.toLocal8Bit());
    struct Restore {
        QByteArray value;
        ~Restore() { qputenv("XDG_RUNTIME_DIR", value); }
    } restore{saved};
    return f();
}

class OverlayStandIn {
public:
    OverlayStandIn()
    {
        directory_.setAutoRemove(true);
        QFile::setPermissions(directory_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString runtimeDirectory() const { return directory_.path(); }

    // Posts to the process's main window; false until its mailbox answers.
    bool post(int code, int value)
    {
        return inRuntimeDirectory(directory_.path(), [&] {
            if (!poster_) poster_ = std::make_unique<MailboxPoster>(QStringLiteral("LUMO"));
            return poster_->post(code, value);
        });
    }
    bool waitForMailbox(int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            if (inRuntimeDirectory(directory_.path(), [] { return Mailbox::exists(QStringLiteral("LUMO")); })) return true;
            QTest::qWait(50);
        }
        return false;
    }
    // Opens a "gamein" mailbox and announces the overlay, so the process asks its voice
    // questions here instead of in a box.
    bool openAsOverlay()
    {
        overlay_ = inRuntimeDirectory(directory_.path(), [] { return std::make_unique<RecordingMailbox>("gamein"); });
        return overlay_->opened && post(link::to_main::OverlayOpened, 0);
    }
    std::optional<link::Post> next(int code, int ms = 3000) { return overlay_ ? overlay_->next(code, ms) : std::nullopt; }

private:
    QTemporaryDir directory_;
    std::unique_ptr<MailboxPoster> poster_;
    std::unique_ptr<RecordingMailbox> overlay_;
};

}  // namespace lumo::test
