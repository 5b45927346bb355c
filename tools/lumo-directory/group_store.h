// The registered groups, kept in an SQLite file so they survive a restart. One registration per
// (ip, port): registering again from the same address replaces the name. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace lumo::directory {

struct Registration {
    std::int64_t id = 0;
    std::string name;  // bytes as received (GBK)
    std::string ip;
    int port = 0;
};

class GroupStore {
public:
    GroupStore() = default;
    ~GroupStore();
    GroupStore(const GroupStore&) = delete;
    GroupStore& operator=(const GroupStore&) = delete;

    // Opens or creates the store; on failure error says why.
    bool open(const std::string& path, std::string& error);

    enum class AddResult { Added, Replaced, Full, Failed };
    AddResult add(const std::string& name, const std::string& ip, int port, std::size_t maxGroups);
    // True when a registration was removed.
    bool remove(const std::string& ip, int port);
    // All registrations, oldest first.
    std::vector<Registration> list();

private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace lumo::directory
