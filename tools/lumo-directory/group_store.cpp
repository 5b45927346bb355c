#include "group_store.h"

#include <sqlite3.h>

#include <ctime>

namespace lumo::directory {

namespace {

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }
    void bindText(int index, const std::string& text)
    {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(int index, const std::string& bytes)
    {
        sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    void bindInt(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    int step() { return sqlite3_step(statement_); }
    std::string columnBytes(int column) const
    {
        const void* data = sqlite3_column_blob(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
    }
    std::int64_t columnInt(int column) const { return sqlite3_column_int64(statement_, column); }

private:
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

GroupStore::~GroupStore() { sqlite3_close(db_); }

bool GroupStore::open(const std::string& path, std::string& error)
{
    std::lock_guard lock(mutex_);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    char* message = nullptr;
    const char* schema =
        "CREATE TABLE IF NOT EXISTS groups("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " name BLOB NOT NULL,"
        " ip TEXT NOT NULL,"
        " port INTEGER NOT NULL,"
        " registered INTEGER NOT NULL,"
        " UNIQUE(ip, port))";
    if (sqlite3_exec(db_, schema, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : "cannot create the table";
        sqlite3_free(message);
        return false;
    }
    return true;
}

GroupStore::AddResult GroupStore::add(const std::string& name, const std::string& ip, int port, std::size_t maxGroups)
{
    std::lock_guard lock(mutex_);
    bool exists = false;
    {
        Statement find(db_, "SELECT count(*) FROM groups WHERE ip = ? AND port = ?");
        if (!find) return AddResult::Failed;
        find.bindText(1, ip);
        find.bindInt(2, port);
        if (find.step() != SQLITE_ROW) return AddResult::Failed;
        exists = find.columnInt(0) > 0;
    }
    if (!exists) {
        Statement count(db_, "SELECT count(*) FROM groups");
        if (!count || count.step() != SQLITE_ROW) return AddResult::Failed;
        if (static_cast<std::size_t>(count.columnInt(0)) >= maxGroups) return AddResult::Full;
    }
    Statement upsert(db_,
                     "INSERT INTO groups(name, ip, port, registered) VALUES(?, ?, ?, ?)"
                     " ON CONFLICT(ip, port) DO UPDATE SET name = excluded.name, registered = excluded.registered");
    if (!upsert) return AddResult::Failed;
    upsert.bindBlob(1, name);
    upsert.bindText(2, ip);
    upsert.bindInt(3, port);
    upsert.bindInt(4, static_cast<std::int64_t>(std::time(nullptr)));
    if (upsert.step() != SQLITE_DONE) return AddResult::Failed;
    return exists ? AddResult::Replaced : AddResult::Added;
}

bool GroupStore::remove(const std::string& ip, int port)
{
    std::lock_guard lock(mutex_);
    Statement erase(db_, "DELETE FROM groups WHERE ip = ? AND port = ?");
    if (!erase) return false;
    erase.bindText(1, ip);
    erase.bindInt(2, port);
    return erase.step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

std::vector<Registration> GroupStore::list()
{
    std::lock_guard lock(mutex_);
    std::vector<Registration> groups;
    Statement select(db_, "SELECT id, name, ip, port FROM groups ORDER BY id");
    if (!select) return groups;
    while (select.step() == SQLITE_ROW) {
        groups.push_back({select.columnInt(0), select.columnBytes(1), select.columnBytes(2),
                          static_cast<int>(select.columnInt(3))});
    }
    return groups;
}

}  // namespace lumo::directory
