// The main program's side of the link to the in-game overlay: the mailbox "LUMO" that takes the
// overlay's LinkMessage posts, the pipe the roster and the voice selection travel through, and
// what each of the overlay's codes does to the main window (through OverlayLinkOwner). It raises
// no box: a pipe that could not be created is reported by a signal.
#pragma once

#include "core/link/link_records.h"
#include "core/wire/wire.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace lumo {

class Mailbox;
class MailboxPoster;

// What the link needs from the group: the overlay's requests in terms of members. All calls
// come on the user-interface thread.
class OverlayLinkOwner {
public:
    virtual ~OverlayLinkOwner() = default;

    // The roster last received from the group host.
    virtual const Roster& overlayRoster() const = 0;
    // The voice targets' member ids, in the order the list shows them (the first 8 are sent).
    virtual std::vector<int> overlayVoiceTargets() const = 0;
    // Ticks or clears a member as a voice target; the selection is sent back when it changes.
    virtual void setMemberTicked(int memberId, bool ticked) = 0;
    // Sets the player's answer to a member who has sent voice; false when no voice slot holds
    // that member (then nothing changes).
    virtual bool answerFromOverlay(int memberId, link::VoiceAnswer answer) = 0;
    // The overlay's talk button: start (true) or stop talking.
    virtual void setTalking(bool on) = 0;
};

// The pipe-server role of the main window.
class PipeServer : public QObject {
    Q_OBJECT
public:
    // Opens the mailbox "LUMO" at once; the overlay's posts arrive from then on.
    explicit PipeServer(OverlayLinkOwner& owner, QObject* parent = nullptr);
    ~PipeServer() override;

    // Whether this program serves the title "LUMO" (false when another lumo of this user does).
    bool mailboxOpen() const;

    // Creates the pipe "pipe<number>" (replacing one that exists), then posts PipeReady with the
    // number; the overlay connects when it handles that. A failed creation emits creationFailed
    // and leaves no pipe; PipeReady is posted all the same. Always true.
    bool openOverlayPipe(std::uint8_t number);
    // Drops the overlay's connection and the pipe, and forgets the cached overlay. Always true.
    bool closeOverlayPipe();
    // Posts {code, value} to the mailbox "gamein", looking it up when none is cached. Nothing
    // happens when there is no overlay.
    void postToOverlay(int code, int value);
    // With a pipe: writes the roster (count and records) and announces it with RosterSent, then
    // sends the selection so that the overlay's ticks match the new rows. Without one: nothing.
    void sendRoster();
    // With a pipe: writes the voice targets and announces them with SelectionSent (length 0, and
    // nothing written, when there are none).
    void sendSelection();
    // What the overlay's codes do (the mailbox calls this; tests may too).
    void onLinkMessage(int code, int value);

    // Whether a pipe exists (the design's pipeHandle is non-zero): while it does, chat text goes
    // to the status line rather than a box, and voice requests go to the overlay.
    bool pipeOpen() const;
    // Whether the overlay has connected to the pipe.
    bool overlayConnected() const;
    // Forgets the cached overlay, so that the next post looks "gamein" up again.
    void forgetOverlayWindow();
    std::uint8_t pipeNumber() const { return pipeNumber_; }

    // Convenience for the window's seams.
    void requestCall(int memberId) { postToOverlay(link::to_overlay::CallRequest, memberId); }
    void closeOverlay() { postToOverlay(link::to_overlay::OverlayClose, 0); }

signals:
    // The pipe could not be created: the player is to be told (the window raises the box).
    void creationFailed();

private:
    void acceptOverlay();
    void dropOverlay();
    bool writePipe(const Bytes& bytes);

    OverlayLinkOwner& owner_;
    Mailbox* inbox_ = nullptr;
    MailboxPoster* toOverlay_ = nullptr;
    QLocalServer* pipe_ = nullptr;
    QPointer<QLocalSocket> client_;
    std::uint8_t pipeNumber_ = link::PipeNumber;
};

}  // namespace lumo
