// This install's identity and the keys it remembers of other members, kept in two files beside
// the settings (readable by their user alone), and what the player sees of them: the own
// fingerprint, a member's key on the right-click prompt, a changed key on the status line and
// the question whether to accept it.
#pragma once

#include "core/trust/identity.h"
#include "core/trust/member_trust.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace lumo {

class GroupEndpoint;

// Reads a small file of its user's without following a link at its path; nullopt when it does
// not exist, is not a regular file, is larger than maxBytes or cannot be read (`problem` says).
std::optional<std::string> readPrivateFile(const QString& path, std::size_t maxBytes, QString* problem = nullptr);
// Writes `text` to a new file beside `path` (0600, links not followed) and moves it into place.
bool writePrivateFile(const QString& path, const std::string& text);
// The identity kept at `path`, made at first start. A file that is there but damaged is left as
// it is (a new key would look to every member as a changed one): this run then has a key of its
// own, and `problem` says why.
Identity loadOrMakeIdentity(const QString& path, QString* problem = nullptr);

class MemberKeys : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t MaxTrustFileBytes = 1 << 20;

    // `directory`: where LUMO.conf is; the identity and the remembered keys go beside it.
    MemberKeys(GroupEndpoint& endpoint, const QString& directory, QObject* parent = nullptr);

    QString ownFingerprint() const;
    QString identityPath() const { return identityPath_; }
    QString trustPath() const { return trustPath_; }
    // What the right-click prompt's key button shows of memberId: an OK box with its key, or for
    // a changed key the question whether to take it.
    void showKeyOf(int memberId);

signals:
    void statusText(const QString& text);
    void inform(const QString& caption, const QString& text);
    void ask(const QString& caption, const QString& text, const std::function<void(bool yes)>& answered);

private:
    void onTrustChanged(const TrustEvent& event);
    void saveKeys();
    QString nameOf(int memberId) const;

    GroupEndpoint& endpoint_;
    QString identityPath_;
    QString trustPath_;
};

}  // namespace lumo
