// What arrives at either end of the overlay link: the pipe records the overlay reads (a roster,
// a selection, members' states, each announced with its length) and the mailbox stream of posts both sides read.
// Input: a control byte, then the bytes. The record decoders get all the bytes; the post reader
// gets them in reads of sizes taken from the control byte, as a stream arrives in pieces.
#include "fuzz_support.h"

#include "core/link/link_records.h"

#include <algorithm>

using namespace lumo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t control = input.byte();
    const ByteView bytes = input.take(input.left());

    // A record is taken only whole and exactly as the main program writes it.
    const auto roster = link::decodeRosterMessage(bytes);
    FUZZ_CHECK(!roster || link::rosterLengthValid(std::int64_t(bytes.size())));
    if (roster) {
        FUZZ_CHECK(roster->count >= 0 && roster->count <= link::MaxRosterRecords);
        FUZZ_CHECK(link::encodeRosterMessage(*roster) == Bytes(bytes.begin(), bytes.end()));
        for (int i = 0; i < roster->count; ++i) {
            const int row = link::rowOfIndex(roster->count, i);
            FUZZ_CHECK(row >= 0 && row < roster->count && link::indexOfRow(roster->count, row) == i);
            fuzz::checkShownText(roster->records[i].nameBytes());
        }
    }
    const auto selection = link::decodeSelectionMessage(bytes);
    FUZZ_CHECK(selection.has_value() == link::selectionLengthValid(std::int64_t(bytes.size())));
    if (selection) FUZZ_CHECK(link::encodeSelectionMessage(*selection) == Bytes(bytes.begin(), bytes.end()));
    const auto states = link::decodeMemberStatesMessage(bytes);
    FUZZ_CHECK(!states || link::memberStatesLengthValid(std::int64_t(bytes.size())));
    if (states) {
        FUZZ_CHECK(states->size() <= std::size_t(link::MaxRosterRecords));
        for (const link::MemberState& state : *states) FUZZ_CHECK(state.id >= 0 && state.id < link::MaxRosterRecords);
        FUZZ_CHECK(link::encodeMemberStatesMessage(*states) == Bytes(bytes.begin(), bytes.end()));
    }

    // The mailbox stream, read in pieces of 1 to 16 bytes.
    link::PostReader reader;
    std::vector<link::Post> posts;
    for (std::size_t at = 0, piece = 0; at < bytes.size(); ++piece) {
        const std::size_t n = std::min<std::size_t>(1 + ((control >> (piece % 4)) & 0x0F), bytes.size() - at);
        const bool wasBroken = reader.broken();
        const bool ok = reader.feed(bytes.subspan(at, n), posts);
        FUZZ_CHECK(ok == !reader.broken() && (!wasBroken || reader.broken()));  // broken for good
        FUZZ_CHECK(reader.pending() < link::PostSize);
        at += n;
    }
    // The same as reading the stream whole: the leading 12-byte blocks that begin with
    // LinkMessage are the posts; a further whole block breaks the stream; the rest waits.
    const Bytes magic = link::encodePost({});
    std::size_t whole = 0;
    while ((whole + 1) * link::PostSize <= bytes.size() &&
           std::equal(magic.begin(), magic.begin() + 4, bytes.begin() + whole * link::PostSize))
        ++whole;
    FUZZ_CHECK(posts.size() == whole);
    for (std::size_t k = 0; k < whole; ++k) {
        const Bytes encoded = link::encodePost(posts[k]);
        FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), bytes.begin() + k * link::PostSize));
    }
    const bool breaks = (whole + 1) * link::PostSize <= bytes.size();
    FUZZ_CHECK(reader.broken() == breaks);
    if (!breaks) FUZZ_CHECK(reader.pending() == bytes.size() - whole * link::PostSize);
    return 0;
}
