// The registered groups. A registration is keyed by the group's (ip, port) and lives until its
// expiry time: the hosting client renews it by registering again, a removal ends it at once.
// Two back ends: an SQLite file (one machine) and PostgreSQL (several directory processes on one
// database). Every rule that must hold across processes (expiry, the per-address, per-network and
// total limits) is decided inside the store's own transaction, never in one process's memory.
// Implementations are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumo::directory {

// Milliseconds since the Unix epoch: the time base of every expiry.
using Millis = std::int64_t;

struct Registration {
    std::int64_t id = 0;
    std::string name;  // bytes as received (GBK)
    std::string ip;
    int port = 0;
    Millis expires = 0;
};

struct AddRequest {
    std::string name;
    std::string ip;
    int port = 0;
    std::string source;  // the address the request came from (addressGroup); counted per address
    std::string block;   // its network (addressBlock: an IPv4 /24, an IPv6 /48); counted per network
    Millis now = 0;
    Millis ttl = 300000;
    std::size_t maxGroups = 100000;
    std::size_t maxPerSource = 4;
    std::size_t maxPerBlock = 64;
};

class GroupStore {
public:
    virtual ~GroupStore() = default;

    // Added: a new registration. Renewed: (ip, port) was registered and live; its expiry moves on,
    // its id, place in the list and the address it counts against stay. Renamed: the same, and
    // the name changed. Full: the directory holds maxGroups live registrations. SourceFull: the
    // source already holds maxPerSource of them; BlockFull: its network holds maxPerBlock.
    enum class AddResult { Added, Renewed, Full, SourceFull, Failed, Renamed, BlockFull };
    AddResult add(const AddRequest& request) { return addBatch({request}).front(); }
    // Several adds in one transaction, in order, each judged as if made alone; one result each.
    // Fails (every result Failed) as a whole.
    virtual std::vector<AddResult> addBatch(const std::vector<AddRequest>& requests) = 0;
    // True when a live registration was removed.
    virtual bool remove(const std::string& ip, int port, Millis now) = 0;
    // Live registrations, newest first (the most recently added; renewals keep their place), at
    // most `limit` of them.
    virtual std::vector<Registration> list(Millis now, std::size_t limit) = 0;
    // Deletes registrations that expired; returns how many. Listing and the limits never count
    // them: this keeps the store small and the counts the limits read exact. Runs in batches,
    // from the housekeeping thread, never on every add.
    virtual int purge(Millis now) = 0;
    // A number that changes whenever the set of live registrations or a name changes through
    // any process using the store (not on a mere renewal). Listing caches compare it.
    virtual std::int64_t generation() = 0;
    // True when the store answers a trivial query.
    virtual bool healthy() = 0;
};

// Opens the store named by `location`: a postgresql:// or postgres:// URI (or a libpq
// "key=value" string starting with "postgresql:") means PostgreSQL, anything else is an SQLite
// file. Creates or migrates the schema. Null with `error` set on failure.
std::unique_ptr<GroupStore> openGroupStore(const std::string& location, std::string& error);

std::unique_ptr<GroupStore> openSqliteStore(const std::string& path, std::string& error);
std::unique_ptr<GroupStore> openPostgresStore(const std::string& uri, std::string& error);

bool isPostgresLocation(const std::string& location);

}  // namespace lumo::directory
