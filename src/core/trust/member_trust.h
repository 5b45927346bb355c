// Keys between this member and the others of its group: one handshake (PeerTrust) per member
// whose path opened, the keys trusted on first use, and what that means for each datagram the
// member session sends or receives. Pure logic: time and the ephemeral seeds come in.
//
// Text and voice to a member whose handshake is under way wait (text) or are not sent (voice)
// until it is sealed or known to speak plain; to a sealed member they go sealed; to a plain
// member byte for byte as the member session made them. From a sealed member, or one whose key
// changed, nothing plain is taken: a forger on its address gets no text or voice in.
#pragma once

#include "core/group/member_session.h"
#include "core/trust/handshake.h"
#include "core/trust/key_vouch.h"
#include "core/trust/trust_store.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumo {

// What the member list shows of a member's key.
enum class PeerKeyState {
    None,        // no path yet: nothing known
    Checking,    // the handshake is under way
    Sealed,      // its key proved itself: text and voice are sealed (a lock)
    Plain,       // a plain peer: text and voice travel as the plain protocol has them
    KeyChanged,  // it proved another key than the one remembered for its name in this group
};

struct TrustEvent {
    enum class Kind { Sealed, Plain, KeyChanged };
    Kind kind;
    int memberId = -1;
};

class MemberTrust {
public:
    // Texts waiting for a handshake, per member, at most.
    static constexpr std::size_t MaxHeldPerMember = 16;

    MemberTrust(const Identity& own, std::function<KeySeed()> ephemeralSeeds);

    const Identity& identity() const { return own_; }
    TrustStore& store() { return store_; }
    // The group the keys are remembered under (the joined host's address); a new group forgets
    // every handshake.
    void setGroup(const std::string& group);
    // A new roster from the host: handshakes follow their members to their new ids, and those
    // of members who left are forgotten.
    void rosterChanged(const Roster& roster, int ownId);
    // The session's path to memberId answered at `at`: its handshake starts (once per member);
    // a handshake under way follows the path to where it answers now.
    void pathOpened(int memberId, Endpoint at, Millis now);

    // A KeyVouch from the joined host (the caller checked where it came from), tried under the
    // cookies this member's join answered. Its keys are the only ones a first handshake with
    // those members takes; one that differs from the key remembered for that member shows as a
    // changed key. False when it is not a record of the joined host.
    bool takeVouch(ByteView datagram, const std::vector<JoinCookieValue>& joinCookies);
    // The key the host vouched for memberId; nullopt when it vouched for none.
    std::optional<SigningPublicKey> vouchedKey(int memberId) const;

    // Whether memberId may speak keys: its record shows KeysMark, or a key is remembered for it.
    // With any other member nothing but the plain protocol is spoken.
    bool mayHaveKeys(int memberId) const;
    // Closing: text still waiting for a handshake goes as it is (nothing written is lost);
    // text held for a member whose key changed is dropped.
    void leaving();
    // A datagram the member session wants sent: sealed, held, dropped or passed on as it is.
    void outgoing(const Outgoing& datagram, Millis now);
    // A handshake record from memberId (the caller checked that it came from where that member
    // is reached). Returns the plain datagram a Sealed record carried, for the member session.
    std::optional<Bytes> receive(int memberId, ByteView datagram, Endpoint source, Millis now);
    // Whether a plain text or voice datagram of memberId from `source` is refused (see above).
    // From a member that speaks keys, plain text and voice are taken only once it is known to
    // speak plain, or, before any handshake, from where the host saw it join: a neighbour on
    // another port of its address gets nothing in while the handshake is under way.
    bool refusesPlain(int memberId, Endpoint source) const;
    // Whether captured voice to memberId goes as the plain protocol has it (no handshake, or
    // the member speaks plain); sealVoice seals it for a sealed member.
    bool voiceGoesPlain(int memberId) const;
    std::optional<Bytes> sealVoice(int memberId, ByteView plain);

    // The player accepted the changed key of memberId: it is remembered and a fresh handshake
    // starts (or, for a member that now speaks plain, its text goes plain).
    void acceptChangedKey(int memberId);

    void advance(Millis now);
    std::optional<Millis> nextDeadline() const;

    std::vector<Outgoing> takeSends();
    std::vector<TrustEvent> takeEvents();
    // Members whose path answered somewhere other than where the host saw them join, and never
    // proved the key their record announces there: that way to them is not theirs. The
    // handshake starts again at where the member joined from; the caller forgets the way.
    std::vector<int> takeUnproved();

    PeerKeyState keyState(int memberId) const;
    // The key memberId proved (or offered, when it changed); nullopt before its first Hello.
    std::optional<SigningPublicKey> peerKey(int memberId) const;
    // The key remembered for memberId's name in this group.
    std::optional<SigningPublicKey> rememberedKey(int memberId) const;

private:
    struct Peer {
        MemberIdentity who;
        Endpoint at;
        std::unique_ptr<PeerTrust> trust;
        bool keyChanged = false;
        std::optional<SigningPublicKey> offeredKey;  // the changed key it offered (none: it fell back to plain)
        std::vector<Outgoing> held;
    };
    Peer& startPeer(int memberId, Endpoint at, Millis now, bool sendHello);
    // The vouched key differs from what memberId's name is remembered with, or proved here.
    void vouchedOtherKey(int memberId, const SigningPublicKey& vouched);
    Peer* peerOf(int memberId);
    // Where the host saw memberId join (its record's public endpoint).
    Endpoint joinedAt(int memberId) const;
    const Peer* peerOf(int memberId) const;
    void release(Peer& peer);
    void note(const PeerTrust::Step& step, Peer& peer, int memberId);

    Identity own_;
    std::function<KeySeed()> seeds_;
    TrustStore store_;
    std::string group_;
    Roster roster_;
    int ownId_ = -1;
    Millis lastNow_ = 0;  // the latest time we were told
    std::map<int, Peer> peers_;  // by member id in the current roster
    std::vector<Outgoing> sends_;
    std::vector<TrustEvent> events_;
    std::vector<int> unproved_;
    // The keys the host vouched for, by the member's record (name and public endpoint), so a
    // roster that renumbers the group keeps them with their members.
    std::vector<std::pair<MemberIdentity, SigningPublicKey>> vouched_;
};

}  // namespace lumo
