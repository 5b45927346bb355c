#include "app/member_keys.h"

#include "app/texts.h"
#include "core/text/gbk.h"
#include "net/group_endpoint.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumo {

std::optional<std::string> readPrivateFile(const QString& path, std::size_t maxBytes, QString* problem)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && problem) *problem = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> text;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || std::size_t(info.st_size) > maxBytes) {
        if (problem) *problem = QStringLiteral("%1: not a regular file of at most %2 bytes").arg(path).arg(maxBytes);
    } else {
        std::string bytes(std::size_t(info.st_size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0) break;
            done += std::size_t(got);
        }
        bytes.resize(done);
        text = std::move(bytes);
        if ((info.st_mode & 0077) != 0) ::fchmod(fd, 0600);  // an older file, or one copied in
    }
    ::close(fd);
    return text;
}

bool writePrivateFile(const QString& path, const std::string& text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) break;
        done += std::size_t(wrote);
    }
    const bool whole = done == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    // rename() replaces a link at the target itself, never what it points to.
    if (!whole || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

Identity loadOrMakeIdentity(const QString& path, QString* problem)
{
    QString readProblem;
    if (const auto text = readPrivateFile(path, 4096, &readProblem)) {
        if (auto identity = parseIdentityFile(*text)) return *identity;
        if (problem) *problem = QStringLiteral("%1 is damaged; it is left as it is and this run has a key of its own").arg(path);
        return Identity::fromSeed(randomSeed());
    }
    const Identity identity = Identity::fromSeed(randomSeed());
    if (!readProblem.isEmpty()) {
        if (problem) *problem = readProblem + QStringLiteral("; this run has a key of its own");
        return identity;
    }
    if (!writePrivateFile(path, identityFileText(identity)) && problem)
        *problem = QStringLiteral("%1 could not be written; this run has a key of its own").arg(path);
    return identity;
}

MemberKeys::MemberKeys(GroupEndpoint& endpoint, const QString& directory, QObject* parent)
    : QObject(parent), endpoint_(endpoint), identityPath_(QDir(directory).filePath(QStringLiteral("identity"))),
      trustPath_(QDir(directory).filePath(QStringLiteral("known_keys")))
{
    QString problem;
    const Identity identity = loadOrMakeIdentity(identityPath_, &problem);
    if (!problem.isEmpty()) std::fprintf(stderr, "lumo: keys: %s\n", qPrintable(problem));
    QString trustProblem;
    const auto known = readPrivateFile(trustPath_, MaxTrustFileBytes, &trustProblem);
    if (!trustProblem.isEmpty()) std::fprintf(stderr, "lumo: keys: %s\n", qPrintable(trustProblem));
    endpoint_.useIdentity(identity, known.value_or(std::string()));
    connect(&endpoint_, &GroupEndpoint::trustChanged, this, &MemberKeys::onTrustChanged);
}

QString MemberKeys::ownFingerprint() const { return QString::fromStdString(fingerprintText(endpoint_.ownKey())); }

QString MemberKeys::nameOf(int memberId) const
{
    return QString::fromStdString(gbkToUtf8(endpoint_.session().memberName(memberId)));
}

void MemberKeys::saveKeys()
{
    if (!writePrivateFile(trustPath_, endpoint_.trustFileText()))
        std::fprintf(stderr, "lumo: keys: %s could not be written\n", qPrintable(trustPath_));
}

void MemberKeys::onTrustChanged(const TrustEvent& event)
{
    switch (event.kind) {
    case TrustEvent::Kind::Sealed: saveKeys(); break;
    case TrustEvent::Kind::Plain: break;
    case TrustEvent::Kind::KeyChanged: emit statusText(text::KeyChangedStatus.toString().arg(nameOf(event.memberId))); break;
    }
}

void MemberKeys::showKeyOf(int memberId)
{
    if (!endpoint_.session().roster().holds(memberId)) return;
    const QString name = nameOf(memberId);
    const auto key = endpoint_.peerKey(memberId);
    const auto remembered = endpoint_.rememberedKey(memberId);
    auto fingerprint = [](const std::optional<SigningPublicKey>& k) {
        return k ? QString::fromStdString(fingerprintText(*k)) : QString();
    };
    switch (endpoint_.keyState(memberId)) {
    case PeerKeyState::Sealed: emit inform(text::AppName, text::KeySealed.toString().arg(name, fingerprint(key))); return;
    case PeerKeyState::Plain: emit inform(text::AppName, text::KeyPlain.toString().arg(name)); return;
    case PeerKeyState::Checking: emit inform(text::AppName, text::KeyChecking.toString().arg(name)); return;
    case PeerKeyState::None: emit inform(text::AppName, text::KeyNone.toString().arg(name)); return;
    case PeerKeyState::KeyChanged: break;
    }
    const QString question = key ? text::KeyChangedAsk.toString().arg(name, fingerprint(remembered), fingerprint(key))
                                 : text::KeyNowPlainAsk.toString().arg(name, fingerprint(remembered));
    emit ask(text::AppName, question, [this, memberId](bool yes) {
        if (!yes) return;
        endpoint_.acceptChangedKey(memberId);
        saveKeys();
    });
}

}  // namespace lumo
