// The directory's side of the wire as the client sees it: the three request URLs, the way a
// reply body is cut into lines and fields, the group list grammar, the add reply and the rule
// that decides whether this client may host a group. Pure functions; the HTTP transfer itself
// lives behind HttpClient.
#pragma once

#include "core/wire/wire.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

inline constexpr std::string_view ListPage = "/lumo.asp";
inline constexpr std::string_view AddPage = "/lumoadd.asp";
inline constexpr std::string_view RemovePage = "/lumomove.asp";
inline constexpr std::string_view ListMarker = "myserverlist";
inline constexpr std::string_view AddAccepted = "ok";
inline constexpr std::size_t MaxGroupNameBytes = 20;
// Fields are found with 16-bit signed positions: a field whose closing space lies past this byte
// of its line is not read, nor is anything after it.
inline constexpr std::size_t MaxFieldEnd = 32767;
// The most group rows one list reply fills in; later lines are ignored. A directory has far
// fewer groups; the bound keeps a hostile reply from flooding the window.
inline constexpr std::size_t MaxGroupRows = 4096;

// Cuts a reply body into lines: every CR is dropped wherever it stands, a LF ends a line, the
// last line may end without a LF. Lines have no length limit (the body itself is bounded).
class ReplyLines {
public:
    explicit ReplyLines(std::string_view body) : rest_(body) {}
    // The next line, or nothing once no bytes remain.
    std::optional<std::string> next();

private:
    std::string_view rest_;
};

// Every field of a line that is followed by a space, in order. Text after the last space is not
// a field; two spaces in a row give an empty field.
std::vector<std::string> splitFields(std::string_view line);

enum GroupColumn { IdColumn, NameColumn, AddressColumn, PortColumn, StateColumn, GroupColumnCount };

// One group of the list: ID, group name (GBK), host address, port, state text. Missing fields
// are empty.
struct GroupRow {
    std::array<std::string, GroupColumnCount> columns;
    bool operator==(const GroupRow&) const = default;
};

struct ListReply {
    bool valid = false;        // line 1 was exactly "myserverlist"
    std::string seenAddress;   // this client's address as the directory sees it; may be empty
    std::vector<GroupRow> rows;  // in the order of the reply's lines
    std::size_t cutRows = 0;     // group lines past MaxGroupRows, left out of rows
};

// Reads a list reply. An invalid first line gives valid = false and nothing else.
ListReply parseListReply(std::string_view body);

// Why the directory would refuse a group name before asking it: the directory takes no empty
// name and no name holding a space or a control character.
enum class GroupNameProblem { None, Empty, Space };
GroupNameProblem groupNameProblem(std::string_view gbkName);

// True when the first line of an add reply is exactly "ok".
bool isAddAccepted(std::string_view body);

struct HostEligibility {
    Ipv4 ownAddress = 0;  // possibly switched to the second local address
    bool mayHost = false;
};

// Whether this client may host a group, judged from the address the directory sees it at:
// when that is the machine's second address, the second address becomes the own address (the
// directory reached us through it); then hosting is allowed only when the seen address is the
// own address, i.e. the client is not behind an address translator. Exact text comparisons.
// A second address of 0 means the machine has none and is never switched to.
HostEligibility decideHostEligibility(std::string_view seenAddress, Ipv4 ownAddress, Ipv4 secondLocalAddress);

// Percent-encodes every byte except the unreserved ones (A-Z a-z 0-9 - . _ ~), so a GBK group
// name travels byte for byte and never breaks the query.
std::string percentEncode(std::string_view bytes);
// Percent-encodes only the bytes that cannot stand in a URL at all (controls, space, bytes of
// 0x7F and above); everything else of a configured base URL is kept as written.
std::string escapeUrlText(std::string_view text);

std::string listUrl(std::string_view baseUrl);
std::string addUrl(std::string_view baseUrl, std::string_view gbkGroupName, Ipv4 ownAddress);
// The removal always names "id": the directory tells registrations apart by ip and port.
std::string removeUrl(std::string_view baseUrl, Ipv4 ownAddress);

}  // namespace lumo
