// Writes the binary seed inputs of the fuzz programs into <directory>/<target>/: the datagrams,
// rosters and voice records the unit tests use, in the record layout each program reads
// (fuzz_support.h, voice_receive_fuzz.cpp), and the overlay link's records and posts. The text
// seeds (directory replies, sys.ini and skin.ini files) are committed under fuzz/corpus/.
#include "core/link/link_records.h"
#include "core/trust/handshake.h"
#include "core/trust/key_vouch.h"
#include "core/wire/wire.h"
#include "core/text/gbk.h"
#include "core/voice/voice_codec.h"
#include "../tests/core/voice_test_support.h"

#include <filesystem>
#include <fstream>
#include <string>

using namespace lumo;
namespace fs = std::filesystem;

namespace {

fs::path root;

void write(const std::string& target, const std::string& name, const Bytes& bytes)
{
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
}

// One datagram record: control byte (source 127.0.1.(1 + source), bit 6 sweeps), length, bytes.
void add(Bytes& input, int source, const Bytes& datagram, bool sweep = false)
{
    input.push_back(static_cast<std::uint8_t>((source & 0x1F) | (sweep ? 0x40 : 0)));
    input.push_back(static_cast<std::uint8_t>(datagram.size() & 0xFF));
    input.push_back(static_cast<std::uint8_t>(datagram.size() >> 8));
    input.insert(input.end(), datagram.begin(), datagram.end());
}

Ipv4 sourceAddress(int source) { return 0x7F000101u + static_cast<Ipv4>(source); }

MemberEntry client(const char* name, int source)
{
    MemberEntry e;
    e.setName(name);
    e.id = UnassignedId;
    e.localPort = MemberPort;
    e.localAddress = 0x0A000001u + static_cast<Ipv4>(source);
    return e;
}

Bytes join(const MemberEntry& e) { return makeEntryDatagram(cmd::JoinRequest, idByte(e.id), 0, Kind::ToHost, e); }

Roster threeMembers()
{
    Roster r;
    r.count = 3;
    const char* names[] = {"ann", "bob", "\xd5\xc5\xc8\xfd"};  // the third name is GBK
    for (int i = 0; i < 3; ++i) {
        r.records[i] = client(names[i], i);
        r.records[i].id = static_cast<std::uint16_t>(i);
        r.records[i].publicAddress = sourceAddress(i);
        r.records[i].publicPort = MemberPort;
    }
    return r;
}

VoiceRecord speechRecord(std::uint32_t sequence, const std::vector<std::int16_t>& block, VoiceCodec& codec)
{
    VoiceRecord r;
    r.sequence = sequence;
    codec.Encode(block.data(), BlockBytes, r.speech.data(), nullptr);
    return r;
}

void memberSeeds()
{
    const Roster roster = threeMembers();
    VoiceRecord voice;
    voice.sequence = 1;
    Bytes group;  // a roster, then everything that refers to it
    add(group, 31, makeRosterUpdate(1, roster));
    add(group, 31, makeHeaderOnly(cmd::PathProbe, 1, 2, Kind::FromHost));
    add(group, 0, makeHeaderOnly(cmd::PathProbe, 1, 0, Kind::PeerToPeer));
    add(group, 0, makeHeaderOnly(cmd::PathConfirm, 1, 0, Kind::PeerToPeer));
    add(group, 0, makeChatText(1, 0, "hello \xc4\xe3\xba\xc3"));
    add(group, 2, makeVoiceDatagram(cmd::VoiceGroup, 1, 2, voice));
    add(group, 2, makeHeaderOnly(cmd::VoiceStopNotice, 1, 2, Kind::PeerToPeer));
    add(group, 2, makeEntryDatagram(cmd::PathOpener, 1, 2, Kind::PeerToPeer, roster.records[2]));
    add(group, 31, makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost));
    add(group, 31, makeRosterUpdate(0, Roster{}));
    add(group, 0, makeChatText(1, 0, "after the group emptied"));
    write("member_datagram", "roster_then_traffic", group);

    Bytes hosting;  // requests that reach the client's own host table through its sockets
    const MemberEntry ann = client("ann", 0);
    add(hosting, 0, join(ann));
    add(hosting, 0, makeEntryDatagram(cmd::RosterRequest, 0, 0, Kind::ToHost, roster.records[0]));
    add(hosting, 0, makeEntryDatagram(cmd::PathRequest, 0, 1, Kind::ToHost, roster.records[0]));
    add(hosting, 0, makeEntryDatagram(cmd::LeaveNotice, 0, 0xFF, Kind::ToHost, roster.records[0]));
    write("member_datagram", "requests_for_the_host", hosting);

    // The garbage the end-to-end test throws at a running client.
    Bytes junk;
    for (int i = 0; i < 12; ++i) {
        const int length = (i * 37) % 300;
        Bytes bytes(static_cast<std::size_t>(length));
        for (int k = 0; k < length; ++k) bytes[k] = static_cast<std::uint8_t>((i * 131 + k * 7) ^ (k >> 3));
        if (length > 3 && i % 3 == 0) bytes[3] = static_cast<std::uint8_t>(1 + i % 2);
        add(junk, i, bytes);
    }
    write("member_datagram", "garbage", junk);
}

void hostSeeds()
{
    MemberEntry a = client("ann", 0), b = client("bob", 1), c = client("cyd", 2);
    Bytes life;  // join, rejoin, path and roster requests, a leave from the middle
    add(life, 0, join(a));
    add(life, 1, join(b));
    add(life, 2, join(c));
    b.id = 1;
    b.setName("bobby");
    add(life, 1, join(b));
    add(life, 0, makeEntryDatagram(cmd::PathRequest, 0, 2, Kind::ToHost, a));
    add(life, 2, makeEntryDatagram(cmd::RosterRequest, 2, 0, Kind::ToHost, c));
    add(life, 1, makeEntryDatagram(cmd::LeaveNotice, 1, 0xFF, Kind::ToHost, b));
    add(life, 0, makeEntryDatagram(cmd::LeaveNotice, 0, 0xFF, Kind::ToHost, a));
    add(life, 9, makeEntryDatagram(cmd::PathRequest, 0, 200, Kind::ToHost, client("stranger", 9)));
    write("host_datagram", "group_life", life);

    Bytes restart;  // a restarted client joins again from another port; the sweep removes it
    add(restart, 0, join(a));
    add(restart, 1, join(client("bob", 1)));
    Bytes again;
    add(again, 1, join(client("bob", 1)), true);
    again[0] |= 0x20;  // same address, another source port
    restart.insert(restart.end(), again.begin(), again.end());
    write("host_datagram", "restart_and_sweep", restart);

    Bytes full;  // 32 clients join: the last is acknowledged but not entered
    for (int i = 0; i < 32; ++i) add(full, i, join(client("member", i)));
    add(full, 5, makeEntryDatagram(cmd::LeaveNotice, 5, 0xFF, Kind::ToHost, client("member", 5)));
    write("host_datagram", "full_table", full);
}

void voiceSeeds()
{
    const auto blocks = test::blocksOf(test::phraseSamples());
    VoiceCodec codec;
    std::vector<VoiceRecord> records;
    for (std::size_t i = 0; i < blocks.size() && i < 24; ++i)
        records.push_back(speechRecord(static_cast<std::uint32_t>(i + 1), blocks[i], codec));

    // A record in the receive program's layout: raw sequence number, then the speech.
    auto raw = [](Bytes& input, const VoiceRecord& r, std::uint8_t flags) {
        input.push_back(static_cast<std::uint8_t>(flags | 2));
        for (int i = 0; i < 4; ++i) input.push_back(static_cast<std::uint8_t>(r.sequence >> (8 * i)));
        input.insert(input.end(), r.speech.begin(), r.speech.end());
    };
    Bytes inOrder, reordered, gainAndReturns;
    for (const VoiceRecord& r : records) raw(inOrder, r, 0);
    for (std::size_t i : {0, 1, 3, 2, 4, 7, 6, 5, 8, 8, 12, 9, 10, 11, 0, 20, 19})
        if (i < records.size()) raw(reordered, records[i], 0);
    for (std::size_t i = 0; i < records.size(); ++i) raw(gainAndReturns, records[i], i % 3 == 0 ? 1 | 4 : 1);
    write("voice_receive", "in_order", inOrder);
    write("voice_receive", "reordered", reordered);
    write("voice_receive", "gain_and_device_returns", gainAndReturns);

    Bytes stream;  // the coded phrase, and a block of zeros
    for (const VoiceRecord& r : records) stream.insert(stream.end(), r.speech.begin(), r.speech.end());
    write("voice_decode", "phrase", stream);
    write("voice_decode", "zeros", Bytes(CodedBlockSize, 0));
}

void overlayLinkSeeds()
{
    auto withControl = [](std::uint8_t control, const Bytes& bytes) {
        Bytes input{control};
        input.insert(input.end(), bytes.begin(), bytes.end());
        return input;
    };
    write("overlay_link", "roster", withControl(0x00, link::encodeRosterMessage(threeMembers())));
    write("overlay_link", "selection", withControl(0x00, link::encodeSelectionMessage({2, 0, 1})));
    write("overlay_link", "member_states",
          withControl(0x00, link::encodeMemberStatesMessage({{0, link::PathMark::Sealed, link::VoiceMark::Chatting, 80},
                                                            {2, link::PathMark::Open, link::VoiceMark::Prompt, link::NotTalking}})));
    Bytes posts;  // the overlay opens, selects a member, accepts voice, starts talking
    for (const link::Post post : {link::Post{link::to_main::OverlayOpened, 0}, link::Post{link::to_main::SelectMember, 1},
                                  link::Post{link::to_main::AcceptVoice, 2}, link::Post{link::to_main::VoiceToggle, 1}}) {
        const Bytes one = link::encodePost(post);
        posts.insert(posts.end(), one.begin(), one.end());
    }
    posts.resize(posts.size() + 5, 0x64);  // and a post cut short
    write("overlay_link", "posts_in_pieces", withControl(0x5A, posts));
}

}  // namespace

// Chat payloads as the history takes them: each record a datagram record, then the time that
// passes before it (in 10 ms steps). A long text split as the sender splits it, another
// member's text between, a late part.
void chatHistorySeeds()
{
    Bytes input;
    auto text = [&](int source, const std::string& gbk, std::uint8_t wait) {
        add(input, source, Bytes(gbk.begin(), gbk.end()));
        input.push_back(wait);
    };
    std::string longText;
    for (int i = 0; i < 150; ++i) longText += (i % 5) ? "\xb3\xa4" : "x\xc4\xe3";
    std::string_view rest = longText;
    while (!rest.empty()) {
        const std::size_t length = gbkPrefixLength(rest, MaxChatTextBytes);
        text(0, std::string(rest.substr(0, length)), 0);
        rest.remove_prefix(length);
    }
    text(1, "between", 0);
    text(0, std::string(MaxChatTextBytes, 'y'), 1);
    text(0, "late part", 200);
    text(2, "line\nbreak\x01", 0);
    write("chat_history", "split_and_interleaved", input);
}

// The handshake program's records (trust_handshake_fuzz.cpp): control bits 0-1 say what each is.
void trustSeeds()
{
    Bytes handshake;  // the handshake, bob's records in order, replayed, altered, time passing
    add(handshake, 1, {});
    for (std::uint8_t i = 0; i < 4; ++i) add(handshake, 2, Bytes{i, 0, 0, 0});
    add(handshake, 2, Bytes{0, 0, 0, 0});
    add(handshake, 2, Bytes{1, 20, 0, 0x40});
    add(handshake, 2, Bytes{2, 1, 0, 0x01});
    add(handshake, 3, Bytes{50});
    write("trust_handshake", "handshake_then_records", handshake);

    Bytes alone;  // made-up records and a peer that never answers
    add(alone, 0, makeHeaderOnly(cmd::TrustProof, 0, 1, Kind::PeerToPeer));
    Bytes hello = makeHeaderOnly(cmd::TrustHello, 0, 1, Kind::PeerToPeer);
    hello.resize(133, 0x42);
    add(alone, 0, hello);
    Bytes sealed = makeHeaderOnly(cmd::TrustSealed, 0, 1, Kind::PeerToPeer);
    sealed.resize(96, 0x17);
    add(alone, 0, sealed);
    add(alone, 3, Bytes{40});
    write("trust_handshake", "made_up_records", alone);

    Bytes vouches;  // the host's vouches to ann: one for bob's record, one naming no record of hers
    const JoinCookieValue cookie{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    KeySeed annSeed;
    annSeed.fill(1);
    const VouchKey key = vouchKeyOf(cookie, Identity::fromSeed(annSeed).publicKey());
    const std::vector<VouchedKey> entries{{1, {0x0A000002, MemberPort}, SigningPublicKey{2}},
                                          {5, {0x0A000009, 40000}, SigningPublicKey{3}}};
    for (const Bytes& record : makeKeyVouches(0, entries, key)) add(vouches, 0, record);
    for (const Bytes& record : makeKeyVouches(0, std::span(entries).subspan(1), key)) add(vouches, 0, record);
    write("trust_handshake", "key_vouches", vouches);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    root = argv[1];
    memberSeeds();
    hostSeeds();
    voiceSeeds();
    overlayLinkSeeds();
    chatHistorySeeds();
    trustSeeds();
    return 0;
}
