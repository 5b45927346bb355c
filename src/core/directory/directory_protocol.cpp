#include "core/directory/directory_protocol.h"

namespace lumo {

std::optional<std::string> ReplyLines::next()
{
    if (rest_.empty()) return std::nullopt;
    const auto end = rest_.find('\n');
    const std::string_view raw = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    std::string line;
    line.reserve(raw.size());
    for (char c : raw) {
        if (c != '\r') line.push_back(c);
    }
    return line;
}

std::vector<std::string> splitFields(std::string_view line)
{
    std::vector<std::string> fields;
    std::size_t position = 0;
    while (true) {
        const auto space = line.find(' ', position);
        if (space == std::string_view::npos || space > MaxFieldEnd) break;
        fields.emplace_back(line.substr(position, space - position));
        position = space + 1;
    }
    return fields;
}

ListReply parseListReply(std::string_view body)
{
    ListReply reply;
    ReplyLines lines(body);
    const auto first = lines.next();
    if (!first || *first != ListMarker) return reply;
    reply.valid = true;

    if (const auto second = lines.next()) {
        auto fields = splitFields(*second);
        if (!fields.empty()) reply.seenAddress = std::move(fields.front());
    }
    while (reply.rows.size() < MaxGroupRows) {
        const auto line = lines.next();
        if (!line) break;
        auto fields = splitFields(*line);
        GroupRow row;
        for (std::size_t i = 0; i < fields.size() && i < row.columns.size(); ++i) row.columns[i] = std::move(fields[i]);
        reply.rows.push_back(std::move(row));
    }
    while (lines.next()) ++reply.cutRows;
    return reply;
}

GroupNameProblem groupNameProblem(std::string_view gbkName)
{
    if (gbkName.empty()) return GroupNameProblem::Empty;
    for (const char c : gbkName) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return GroupNameProblem::Space;
    }
    return GroupNameProblem::None;
}

bool isAddAccepted(std::string_view body)
{
    const auto first = ReplyLines(body).next();
    return first && *first == AddAccepted;
}

HostEligibility decideHostEligibility(std::string_view seenAddress, Ipv4 ownAddress, Ipv4 secondLocalAddress)
{
    HostEligibility result{ownAddress, false};
    if (seenAddress.empty()) return result;
    if (secondLocalAddress != 0 && seenAddress == dottedAddress(secondLocalAddress)) result.ownAddress = secondLocalAddress;
    result.mayHost = seenAddress == dottedAddress(result.ownAddress);
    return result;
}

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

template <typename KeepByte>
std::string encodeBytes(std::string_view bytes, KeepByte keep)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (keep(byte)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(HexDigits[byte >> 4]);
            out.push_back(HexDigits[byte & 0x0F]);
        }
    }
    return out;
}

}  // namespace

std::string percentEncode(std::string_view bytes)
{
    return encodeBytes(bytes, [](unsigned char b) {
        return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
               b == '_' || b == '~';
    });
}

std::string escapeUrlText(std::string_view text)
{
    return encodeBytes(text, [](unsigned char b) { return b > 0x20 && b < 0x7F; });
}

std::string listUrl(std::string_view baseUrl) { return escapeUrlText(baseUrl) + std::string(ListPage); }

std::string addUrl(std::string_view baseUrl, std::string_view gbkGroupName, Ipv4 ownAddress)
{
    return escapeUrlText(baseUrl) + std::string(AddPage) + "?name=" + percentEncode(gbkGroupName) +
           "&ip=" + dottedAddress(ownAddress) + "&port=" + std::to_string(HostPort);
}

std::string removeUrl(std::string_view baseUrl, Ipv4 ownAddress)
{
    return escapeUrlText(baseUrl) + std::string(RemovePage) + "?name=id&ip=" + dottedAddress(ownAddress) +
           "&port=" + std::to_string(HostPort);
}

}  // namespace lumo
