// The three directory requests as the program uses them: fetch the group list, register a
// group hosted here, and take the registration back when the program closes.
#pragma once

#include "common/wire.h"
#include "directory/directory_protocol.h"
#include "directory/http_client.h"

#include <string_view>

namespace lumo {

// List and add answer the player who is waiting for them: a reachable directory answers well
// within these bounds, an unreachable one must not freeze the window for long.
inline const HttpLimits InteractiveLimits{std::chrono::milliseconds(3000), std::chrono::milliseconds(5000),
                                          1024 * 1024};
// The removal runs while the window closes; its answer is not used, so it is kept short.
inline const HttpLimits ClosingLimits{std::chrono::milliseconds(2000), std::chrono::milliseconds(2000), 4096};

class DirectoryClient {
public:
    explicit DirectoryClient(HttpClient& http) : http_(http) {}

    enum class ListStatus { CannotOpen, NotAList, Listed };
    struct ListResult {
        ListStatus status = ListStatus::CannotOpen;
        ListReply reply;
    };
    ListResult fetchList(std::string_view baseUrl);

    enum class AddStatus { CannotOpen, Refused, Registered };
    // Registers a group under gbkGroupName (sent as given, percent-encoded); on "ok" the client
    // counts as having registered a group from then on.
    AddStatus addGroup(std::string_view baseUrl, std::string_view gbkGroupName, Ipv4 ownAddress);

    // Set by the first accepted add; never cleared.
    bool groupRegistered() const { return groupRegistered_; }

    // At closing: if a group was registered, asks the directory to remove it. Sent at most once
    // however often closing runs; the outcome is ignored.
    void removeRegistration(std::string_view baseUrl, Ipv4 ownAddress);

private:
    HttpClient& http_;
    bool groupRegistered_ = false;
    bool removalSent_ = false;
};

}  // namespace lumo
