// A directory's reply body, whatever it holds, read by the client as the group browser reads
// it: the list grammar (rows, the address the directory sees, whether this client may host),
// the add reply, and the texts the browser then shows and connects to.
#include "fuzz_support.h"

#include "core/directory/directory_protocol.h"

#include <string>

using namespace lumo;

namespace {

constexpr Ipv4 OwnAddress = 0xC0000201;     // 192.0.2.1
constexpr Ipv4 SecondAddress = 0x0A000005;  // 10.0.0.5

bool firstLineIs(std::string_view body, std::string_view text)
{
    const auto line = ReplyLines(body).next();
    return line && *line == text;
}

// A field never holds what ends it: no space, no line feed, no carriage return.
void checkField(const std::string& field)
{
    FUZZ_CHECK(field.find_first_of(" \r\n") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);

    const ListReply reply = parseListReply(body);
    FUZZ_CHECK(reply.valid == firstLineIs(body, ListMarker));
    if (reply.valid) {
        checkField(reply.seenAddress);
        FUZZ_CHECK(reply.rows.size() <= MaxGroupRows);
        for (const GroupRow& row : reply.rows) {
            for (const std::string& column : row.columns) checkField(column);
            fuzz::checkShownText(row.columns[NameColumn]);
            // Joining a group connects to its address column, when that is an address.
            if (const auto address = parseDottedAddress(row.columns[AddressColumn]))
                FUZZ_CHECK(parseDottedAddress(dottedAddress(*address)) == address);
        }
        const HostEligibility eligibility = decideHostEligibility(reply.seenAddress, OwnAddress, SecondAddress);
        FUZZ_CHECK(eligibility.ownAddress == OwnAddress || eligibility.ownAddress == SecondAddress);
        if (eligibility.mayHost) FUZZ_CHECK(reply.seenAddress == dottedAddress(eligibility.ownAddress));
    } else {
        FUZZ_CHECK(reply.rows.empty() && reply.seenAddress.empty());
    }

    FUZZ_CHECK(isAddAccepted(body) == firstLineIs(body, AddAccepted));
    return 0;
}
