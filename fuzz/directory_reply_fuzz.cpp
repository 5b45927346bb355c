// A directory's reply body, whatever it holds, read by the client as the group browser reads
// it: the list grammar (rows, the address the directory sees, whether this client may host),
// the add reply, and the texts the browser then shows and connects to.
#include "fuzz_support.h"

#include "directory/directory_client.h"

#include <string>

using namespace lumo;

namespace {

class CannedReply final : public HttpClient {
public:
    explicit CannedReply(std::string body) : body_(std::move(body)) {}
    HttpReply get(const std::string&, const HttpLimits&) override { return {true, body_}; }

private:
    std::string body_;
};

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
    CannedReply http(body);
    DirectoryClient client(http);

    const auto list = client.fetchList("http://127.0.0.1:8080");
    FUZZ_CHECK((list.status == DirectoryClient::ListStatus::Listed) == firstLineIs(body, ListMarker));
    if (list.status == DirectoryClient::ListStatus::Listed) {
        const ListReply& reply = list.reply;
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
        FUZZ_CHECK(list.reply.rows.empty() && list.reply.seenAddress.empty());
    }

    const auto added = client.addGroup("http://127.0.0.1:8080", body.substr(0, MaxGroupNameBytes), OwnAddress);
    FUZZ_CHECK((added == DirectoryClient::AddStatus::Registered) == firstLineIs(body, AddAccepted));
    FUZZ_CHECK(client.groupRegistered() == (added == DirectoryClient::AddStatus::Registered));
    return 0;
}
