// The directory requests as the program uses them: fetch the group list, register a group
// hosted here, renew that registration while hosting, and take it back when the program closes.
// Thread-safe: the window runs requests on a thread of their own and reads groupRegistered().
#pragma once

#include "core/wire/wire.h"
#include "core/directory/directory_protocol.h"
#include "directory/http_client.h"

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace lumo {

// List and add answer the player who is waiting for them: a reachable directory answers well
// within these bounds, an unreachable one is given up soon.
inline const HttpLimits InteractiveLimits{std::chrono::milliseconds(3000), std::chrono::milliseconds(5000),
                                          1024 * 1024};
// The removal runs while the window closes; its answer is not used, so it is kept short.
inline const HttpLimits ClosingLimits{std::chrono::milliseconds(2000), std::chrono::milliseconds(2000), 4096};
// A directory forgets a registration that is not renewed within its time-to-live (300 s by
// default): the hosting client repeats its add request about three times per default lifetime,
// so one lost renewal does not drop the group.
inline constexpr std::chrono::milliseconds RenewInterval{100000};

class DirectoryClient {
public:
    explicit DirectoryClient(HttpClient& http) : http_(http) {}

    enum class ListStatus { CannotOpen, TooLarge, NotAList, Listed };
    struct ListResult {
        ListStatus status = ListStatus::CannotOpen;
        ListReply reply;
    };
    ListResult fetchList(std::string_view baseUrl);

    enum class AddStatus { CannotOpen, Refused, Registered };
    // Registers a group under gbkGroupName (sent as given, percent-encoded); on "ok" the client
    // counts as having registered a group from then on, at that directory and address.
    AddStatus addGroup(std::string_view baseUrl, std::string_view gbkGroupName, Ipv4 ownAddress);

    // Repeats the last accepted add request, unchanged and to the same directory, which keeps
    // the group listed. Does nothing before an accepted add or after the removal.
    AddStatus renewRegistration();

    // Set by the first accepted add; never cleared.
    bool groupRegistered() const;

    // At closing: if a group was registered, asks the directory it was registered with to remove
    // it (the address it was registered under). Sent at most once however often closing runs;
    // the outcome is ignored.
    void removeRegistration();

private:
    HttpClient& http_;
    mutable std::mutex mutex_;
    bool groupRegistered_ = false;
    bool removalSent_ = false;
    std::string registeredBaseUrl_;
    std::string registeredName_;
    Ipv4 registeredAddress_ = 0;
};

}  // namespace lumo
