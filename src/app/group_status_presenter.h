// What the main window shows of the group, and what the player's actions there decide. It reads
// the member session's events and state and says, in the player's words, what the status line,
// the buttons and the partner label show and which boxes to open; it turns the name, address
// and message fields into the session's commands, or into the box that says why not.
//
// No widgets: the window binds these signals to its controls and its box queue, and the
// session's commands go through the hooks (the group endpoint in the program).
#pragma once

#include "core/group/member_session.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace lumo {

class GroupStatusPresenter : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // Asks the player about `memberId`'s voice in the overlay; false when it cannot.
        std::function<bool(int memberId)> askInOverlay;
        std::function<void(int memberId, bool yes)> answerQuestion;
        std::function<MemberSession::ConnectProblem(const std::string& gbkName, std::optional<Ipv4> host)> connectTo;
        std::function<void(const std::string& gbkText)> sendText;
        // True while the group is being joined again by itself: a failed attempt is no box.
        std::function<bool()> rejoining;
    };
    // The field to put the player back into after a refusal.
    enum class Field { Name, HostAddress };

    GroupStatusPresenter(const MemberSession& session, Hooks hooks, QObject* parent = nullptr);

    // An event of the session, as the group endpoint reports it.
    void showEvent(const SessionEvent& event);
    // A member left the group this client hosts (GBK name from the wire).
    void showMemberLeftHost(const std::string& gbkName);
    // Says again what the voice button shows (the player clicked the member list).
    void showVoiceButton();

    // "连接"/"更新" with the name and address fields as the player wrote them.
    void connectToHost(const QString& name, const QString& hostAddress);
    // "发送": the text goes to the partner and every ticked member; with nobody to take it the
    // player is told so.
    void sendText(const QString& name, const QString& text);

    QString memberName(int memberId) const;

signals:
    // Redraw the member list from `session`: all of it, or one member's row.
    void rosterChanged(const MemberSession& session);
    void memberChanged(const MemberSession& session, int memberId);
    void chatArrived(const std::string& senderKey, const QString& senderName, const std::string& gbkText);
    void statusText(const QString& text);
    // "连接" is pressed again once the join is judged; it says "更新" while joined.
    void connectEnabled(bool enabled);
    void connectText(const QString& text);
    void voiceButtonText(const QString& text);
    void partnerText(const QString& text);
    // A desktop notification, unless the player is looking at LUMO.
    void notification(const QString& summary, const QString& body);
    // A box once the datagram's handler has returned, beside the queue.
    void informLater(const QString& caption, const QString& text);
    // A box in the window's queue: one at a time, never stacked.
    void inform(const QString& caption, const QString& text);
    // A Yes/No box in the window's queue; `answered` takes the answer.
    void ask(const QString& caption, const QString& text, const std::function<void(bool yes)>& answered);
    // A box right away, then the player goes back to `field`.
    void refused(const QString& text, GroupStatusPresenter::Field field);
    // Text went to the members named `recipientNames` (", " between them): the message field
    // may be cleared.
    void textSent(const QString& recipientNames, const QString& text);

private:
    void askVoice(int memberId);
    void showPartner(const SessionEvent& event);
    void showConnectState();
    bool rejoining() const;
    // The name field in GBK; nullopt (after refusing) when it is longer than 16 bytes.
    std::optional<std::string> readName(const QString& name);

    const MemberSession& session_;
    Hooks hooks_;
};

}  // namespace lumo
