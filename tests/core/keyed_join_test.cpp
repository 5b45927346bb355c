// Joining with the identity key: the host's stateless cookie, the signed join that answers it,
// and a record bound to its key, so that a rejoin from another port moves it only for the key's
// holder. In memory, with simulated time and fixed seeds.
#include "core/group/host_table.h"
#include "core/trust/key_vouch.h"
#include "core/trust/keyed_join.h"
#include "trust_seeds.h"

#include <gtest/gtest.h>

using namespace lumo;

namespace {

constexpr Ipv4 Carrier = 0xCB007101;  // one carrier translator's outside address
const Endpoint AnnAt{Carrier, 40000};
const Endpoint NeighbourAt{Carrier, 40002};
const Endpoint HostAt{0xCB007109, HostPort};

std::function<KeySeed()> counterSeeds(std::uint8_t start)
{
    return [next = start]() mutable { return seedOf(next++); };
}

MemberEntry annRecord()
{
    MemberEntry e;
    e.setName("ann");
    e.id = UnassignedId;
    e.localPort = MemberPort;
    e.localAddress = 0x0A000001;
    e.reserved = KeysMark;
    return e;
}

Bytes joinRequest(const MemberEntry& e) { return makeEntryDatagram(cmd::JoinRequest, idByte(e.id), 0, Kind::ToHost, e); }

bool sent(const HostReply& reply, std::uint8_t command, Kind kind)
{
    return std::any_of(reply.sends.begin(), reply.sends.end(),
                       [&](const Outgoing& o) { return o.bytes[0] == command && o.bytes[3] == std::uint8_t(kind); });
}

// Asks the host for a cookie from `from` and answers it as `who` would.
HostReply joinWithKey(HostTable& host, const Identity& who, MemberEntry record, Endpoint from, Millis now)
{
    const HostReply cookie = host.handle(joinRequest(record), from, now);
    EXPECT_EQ(cookie.sends.size(), 1u);
    if (cookie.sends.size() != 1) return cookie;
    return host.receiveKeyedJoin(makeKeyedJoin(who, record, *readJoinCookie(cookie.sends[0].bytes)), from, now);
}

}  // namespace

TEST(KeyedJoinRecords, ACookieAndASignedJoinReadBackAndAnyAlteredByteIsRefused)
{
    const JoinCookieValue cookie = JoinCookies(counterSeeds(1)).cookieFor(AnnAt, 0);
    const Bytes cookieRecord = makeJoinCookie(7, cookie);
    EXPECT_EQ(cookieRecord.size(), JoinCookieSize);
    EXPECT_EQ(readJoinCookie(cookieRecord), cookie);
    EXPECT_FALSE(readJoinCookie(Bytes(cookieRecord.begin(), cookieRecord.end() - 1)));

    const Identity ann = Identity::fromSeed(seedOf(3));
    MemberEntry record = annRecord();
    record.id = 5;
    const Bytes join = makeKeyedJoin(ann, record, cookie);
    ASSERT_EQ(join.size(), KeyedJoinSize);
    const auto read = readKeyedJoin(join);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->entry, record);
    EXPECT_EQ(read->identity, ann.publicKey());
    EXPECT_EQ(read->cookie, cookie);
    // The header's id, the record, the key, the cookie and the signature are all covered.
    for (const std::size_t offset : {std::size_t(1), std::size_t(4), std::size_t(24), std::size_t(40),
                                     std::size_t(70), std::size_t(90), std::size_t(147)}) {
        Bytes altered = join;
        altered[offset] ^= 0x01;
        EXPECT_FALSE(readKeyedJoin(altered)) << offset;
    }
    Bytes longer = join;
    longer.push_back(0);
    EXPECT_FALSE(readKeyedJoin(longer));
}

TEST(KeyedJoinCookies, ACookieHoldsForItsSourceOnlyAndOutlivesOneRotationNotTwo)
{
    JoinCookies cookies(counterSeeds(1));
    const JoinCookieValue cookie = cookies.cookieFor(AnnAt, 1000);
    struct Row {
        const char* what;
        Endpoint from;
        Millis at;
        bool valid;
    };
    const Row rows[] = {
        {"same source at once", AnnAt, 1000, true},
        {"another port of the address", NeighbourAt, 1000, false},
        {"another address", {0xCB007102, 40000}, 1000, false},
        {"after one rotation", AnnAt, 1000 + JoinCookies::RotateEveryMs + 5000, true},
        {"after two rotations", AnnAt, 1000 + 2 * JoinCookies::RotateEveryMs + 10000, false},
    };
    for (const Row& row : rows) EXPECT_EQ(cookies.valid(cookie, row.from, row.at), row.valid) << row.what;
}

TEST(KeyedJoinJoiner, ACookieIsAnsweredOnlyFromTheHostWhileJoiningAndOnlyAFewTimes)
{
    const Identity ann = Identity::fromSeed(seedOf(3));
    const Bytes cookie = makeJoinCookie(0, JoinCookieValue{});
    KeyedJoiner joiner;
    joiner.joinSent();
    EXPECT_FALSE(joiner.answer(cookie, NeighbourAt, HostAt, true, ann, annRecord()));  // not the host
    EXPECT_FALSE(joiner.answer(cookie, HostAt, HostAt, false, ann, annRecord()));      // no join under way
    EXPECT_FALSE(joiner.answer(makeHeaderOnly(cmd::JoinCookie, 0, 0, Kind::FromHost), HostAt, HostAt, true, ann, annRecord()));
    for (int i = 0; i < KeyedJoiner::AnswersPerJoin; ++i) {
        const auto answer = joiner.answer(cookie, HostAt, HostAt, true, ann, annRecord());
        ASSERT_TRUE(answer);
        EXPECT_TRUE(readKeyedJoin(*answer));
    }
    EXPECT_FALSE(joiner.answer(cookie, HostAt, HostAt, true, ann, annRecord()));
    joiner.joinSent();
    EXPECT_TRUE(joiner.answer(cookie, HostAt, HostAt, true, ann, annRecord()));
}

// A LUMO joiner gets a cookie alone, no larger than its request, and the host keeps nothing; its
// signed join with that cookie enters it and the record remembers its key. A plain joiner still
// gets its roster at once.
TEST(KeyedJoinHost, AMarkedJoinGetsACookieAloneThenTheSignedJoinEntersIt)
{
    HostTable host(counterSeeds(1));
    const Bytes request = joinRequest(annRecord());
    const HostReply first = host.handle(request, AnnAt, 0);
    ASSERT_EQ(first.sends.size(), 1u);
    EXPECT_TRUE(isJoinCookie(first.sends[0].bytes));
    EXPECT_LE(first.sends[0].bytes.size(), request.size());
    EXPECT_EQ(host.roster().count, 0);

    const Identity ann = Identity::fromSeed(seedOf(3));
    const HostReply entered =
        host.receiveKeyedJoin(makeKeyedJoin(ann, annRecord(), *readJoinCookie(first.sends[0].bytes)), AnnAt, 10);
    EXPECT_EQ(entered.dropped, DropReason::None);
    EXPECT_TRUE(sent(entered, cmd::Ack, Kind::FromHost));
    EXPECT_TRUE(sent(entered, cmd::RosterUpdate, Kind::FromHost));
    ASSERT_EQ(host.roster().count, 1);
    EXPECT_EQ(host.keyOf(0), ann.publicKey());
    EXPECT_EQ(host.roster().records[0].reserved, KeysMark);

    MemberEntry plain = annRecord();
    plain.setName("bob");
    plain.reserved = 0;
    plain.localAddress = 0x0A000002;
    const HostReply bob = host.handle(joinRequest(plain), {0xCB007102, 40000}, 20);
    EXPECT_TRUE(sent(bob, cmd::RosterUpdate, Kind::FromHost));
    EXPECT_EQ(host.roster().count, 2);
    EXPECT_FALSE(host.keyOf(1));
}

// Rejoin takeover: a neighbour on another port of ann's address names her id and local address.
// Her record moves only for a signed join by her key with the cookie of the new port; then at
// once, without waiting for her old port to fall silent.
TEST(KeyedJoinHost, ARecordWithAKeyMovesToAnotherPortOnlyForThatKeysHolder)
{
    const Identity ann = Identity::fromSeed(seedOf(3));
    const Identity mallory = Identity::fromSeed(seedOf(4));
    struct Row {
        const char* what;
        std::function<HostReply(HostTable&, const MemberEntry&)> attempt;
        DropReason dropped;
        bool moved;
    };
    const Millis later = 10 * 60'000;  // long after ann fell silent: a plain record would move
    const Row rows[] = {
        {"a plain join copying her record",
         [&](HostTable& host, MemberEntry record) {
             record.reserved = 0;
             return host.handle(joinRequest(record), NeighbourAt, later);
         },
         DropReason::KeyNotProved, false},
        {"a marked join: a cookie, nothing more",
         [&](HostTable& host, const MemberEntry& record) { return host.handle(joinRequest(record), NeighbourAt, later); },
         DropReason::None, false},
        {"a signed join by another key",
         [&](HostTable& host, const MemberEntry& record) { return joinWithKey(host, mallory, record, NeighbourAt, later); },
         DropReason::KeyNotProved, false},
        {"her signed join replayed from another port",
         [&](HostTable& host, const MemberEntry& record) {
             const HostReply cookie = host.handle(joinRequest(record), AnnAt, later);
             return host.receiveKeyedJoin(makeKeyedJoin(ann, record, *readJoinCookie(cookie.sends[0].bytes)), NeighbourAt, later);
         },
         DropReason::KeyNotProved, false},
        {"her own key from a new port (her translator moved her)",
         [&](HostTable& host, const MemberEntry& record) { return joinWithKey(host, ann, record, NeighbourAt, 1000); },
         DropReason::None, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HostTable host(counterSeeds(1));
        joinWithKey(host, ann, annRecord(), AnnAt, 0);
        ASSERT_EQ(host.roster().count, 1);
        const MemberEntry recorded = host.roster().records[0];
        const HostReply reply = row.attempt(host, recorded);
        EXPECT_EQ(reply.dropped, row.dropped);
        EXPECT_EQ(host.roster().count, 1);
        const Endpoint now{host.roster().records[0].publicAddress, host.roster().records[0].publicPort};
        EXPECT_EQ(now, row.moved ? NeighbourAt : AnnAt);
        EXPECT_EQ(host.keyOf(0), ann.publicKey());
        // Nothing bigger than what came in went to the other port unless it moved there.
        if (!row.moved) {
            for (const Outgoing& out : reply.sends) EXPECT_LE(out.bytes.size(), JoinCookieSize);
        }
    }
}

TEST(KeyedJoinHost, ASignedJoinWithoutAValidCookieOrOfTheWrongSizeIsRefused)
{
    HostTable host(counterSeeds(1));
    const Identity ann = Identity::fromSeed(seedOf(3));
    const Bytes noCookie = makeKeyedJoin(ann, annRecord(), JoinCookieValue{});
    EXPECT_EQ(host.receiveKeyedJoin(noCookie, AnnAt, 0).dropped, DropReason::KeyNotProved);
    EXPECT_EQ(host.handle(Bytes(noCookie.begin(), noCookie.begin() + 100), AnnAt, 0).dropped, DropReason::BadLength);
    EXPECT_EQ(host.roster().count, 0);
    EXPECT_EQ(host.dropCounts().count(DropReason::KeyNotProved), 1u);
}

// The host's word on the other members' keys: it reads back only under the key of the join it
// was made for, any altered byte or a count that does not fit its length is refused, and more
// members than one record holds go in several.
TEST(KeyVouchRecords, AVouchOpensOnlyUnderItsJoinsKeyAndIsRefusedWhenAltered)
{
    const JoinCookieValue cookie = JoinCookies(counterSeeds(1)).cookieFor(AnnAt, 0);
    const Identity ann = Identity::fromSeed(seedOf(3)), bob = Identity::fromSeed(seedOf(4));
    const VouchKey key = vouchKeyOf(cookie, ann.publicKey());
    std::vector<VouchedKey> entries(MaxVouchEntries + 2);
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i] = {std::uint8_t(i), {Carrier + Ipv4(i), std::uint16_t(40000 + i)}, seedOf(std::uint8_t(i))};
    const std::vector<Bytes> records = makeKeyVouches(2, entries, key);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size(), VouchFixedSize + MaxVouchEntries * VouchEntrySize);
    EXPECT_LE(records[0].size(), MaxDatagramSize);
    std::vector<VouchedKey> read;
    for (const Bytes& record : records) {
        const auto part = readKeyVouch(record, key);
        ASSERT_TRUE(part);
        read.insert(read.end(), part->begin(), part->end());
    }
    EXPECT_EQ(read, entries);

    const Bytes& one = records[1];
    struct Case {
        const char* what;
        Bytes bytes;
        VouchKey key;
    };
    const auto altered = [&one](std::size_t at) {
        Bytes b = one;
        b[at] ^= 1;
        return b;
    };
    const Case refused[] = {
        {"another member's join key", one, vouchKeyOf(cookie, bob.publicKey())},
        {"another cookie", one, vouchKeyOf(JoinCookies(counterSeeds(9)).cookieFor(AnnAt, 0), ann.publicKey())},
        {"an entry's port altered", altered(10), key},
        {"the tag altered", altered(one.size() - 1), key},
        {"the count says one more", altered(4), key},
        {"one byte short", Bytes(one.begin(), one.end() - 1), key},
    };
    for (const Case& c : refused) EXPECT_FALSE(readKeyVouch(c.bytes, c.key)) << c.what;
    EXPECT_TRUE(makeKeyVouches(2, {}, key).empty());
}

// Each keyed member gets, after every roster, the keys of the other keyed members under its own
// join's key; a plain member gets none and is vouched for to nobody.
TEST(KeyedJoinHost, EveryKeyedMemberIsToldTheOtherKeyedMembersKeysAfterItsRoster)
{
    HostTable host(counterSeeds(1));
    const Identity ann = Identity::fromSeed(seedOf(3)), bob = Identity::fromSeed(seedOf(4));
    const Endpoint BobAt{0xCB007102, 40000}, PlainAt{0xCB007103, MemberPort};
    // The cookies each joiner answered, as its KeyedJoiner keeps them.
    const auto cookieOf = [&host](const MemberEntry& record, Endpoint from, Millis now) {
        return *readJoinCookie(host.handle(joinRequest(record), from, now).sends.at(0).bytes);
    };
    const JoinCookieValue annCookie = cookieOf(annRecord(), AnnAt, 0);
    host.receiveKeyedJoin(makeKeyedJoin(ann, annRecord(), annCookie), AnnAt, 0);
    MemberEntry plain = annRecord();
    plain.setName("plain");
    plain.localAddress = 0x0A000003;
    plain.reserved = 0;
    host.handle(joinRequest(plain), PlainAt, 10);
    MemberEntry bobEntry = annRecord();
    bobEntry.setName("bob");
    bobEntry.localAddress = 0x0A000002;
    const JoinCookieValue bobCookie = cookieOf(bobEntry, BobAt, 20);
    const HostReply joined = host.receiveKeyedJoin(makeKeyedJoin(bob, bobEntry, bobCookie), BobAt, 20);

    const auto vouchesTo = [&joined](Endpoint to) {
        std::vector<Bytes> out;
        bool rosterFirst = false;
        for (const Outgoing& o : joined.sends) {
            if (o.to != to) continue;
            if (o.bytes[0] == cmd::RosterUpdate) rosterFirst = out.empty();
            if (isKeyVouch(o.bytes)) out.push_back(o.bytes);
        }
        EXPECT_TRUE(rosterFirst || out.empty());
        return out;
    };
    const auto toAnn = vouchesTo(AnnAt), toBob = vouchesTo(BobAt);
    ASSERT_EQ(toAnn.size(), 1u);
    ASSERT_EQ(toBob.size(), 1u);
    EXPECT_TRUE(vouchesTo(PlainAt).empty());
    EXPECT_EQ(readKeyVouch(toAnn[0], vouchKeyOf(annCookie, ann.publicKey())),
              (std::vector<VouchedKey>{{2, BobAt, bob.publicKey()}}));
    EXPECT_EQ(readKeyVouch(toBob[0], vouchKeyOf(bobCookie, bob.publicKey())),
              (std::vector<VouchedKey>{{0, AnnAt, ann.publicKey()}}));
    EXPECT_FALSE(readKeyVouch(toBob[0], vouchKeyOf(annCookie, ann.publicKey())));  // only bob's join opens it
}
