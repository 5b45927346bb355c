// The SQLite back end: one connection behind a mutex, statements prepared once, the WAL journal
// with normal synchronisation (a crash may lose the last moment of renewals, which the hosting
// clients repeat anyway, but never corrupts the file).
#include "group_store.h"

#include <sqlite3.h>

#include <mutex>

namespace lumo::directory {

namespace {

class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepare(sqlite3* db, const char* sql)
    {
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) == SQLITE_OK;
    }
    // Resets before binding, so a statement left mid-way by an earlier failure starts afresh.
    Statement& reset()
    {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        return *this;
    }
    Statement& text(int index, const std::string& text)
    {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& blob(int index, const std::string& bytes)
    {
        sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& integer(int index, std::int64_t value)
    {
        sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    int step() { return sqlite3_step(statement_); }
    bool run() { return step() == SQLITE_DONE; }
    std::string bytes(int column) const
    {
        const void* data = sqlite3_column_blob(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
    }
    std::int64_t integerAt(int column) const { return sqlite3_column_int64(statement_, column); }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// Default time a registration kept from a store of the first schema (which had no expiry) gets
// to be renewed after the upgrade.
constexpr Millis MigratedGrace = 300000;

class SqliteStore final : public GroupStore {
public:
    bool open(const std::string& path, std::string& error)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            error = db_ ? sqlite3_errmsg(db_) : "out of memory";
            return false;
        }
        sqlite3_busy_timeout(db_, 5000);
        if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=NORMAL", error)) return false;
        if (!migrate(error)) return false;
        const bool prepared =
            begin_.prepare(db_, "BEGIN IMMEDIATE") && commit_.prepare(db_, "COMMIT") &&
            rollback_.prepare(db_, "ROLLBACK") &&
            purge_.prepare(db_, "DELETE FROM groups WHERE expires <= ?") &&
            find_.prepare(db_, "SELECT id, name FROM groups WHERE ip = ? AND port = ?") &&
            renew_.prepare(db_, "UPDATE groups SET name = ?, expires = ?, source = ? WHERE id = ?") &&
            // Counting stops at the limit: what lies beyond it does not matter.
            countSource_.prepare(db_, "SELECT count(*) FROM (SELECT 1 FROM groups WHERE source = ? LIMIT ?)") &&
            countAll_.prepare(db_, "SELECT count(*) FROM groups") &&
            insert_.prepare(db_,
                            "INSERT INTO groups(name, ip, port, registered, expires, source)"
                            " VALUES(?, ?, ?, ?, ?, ?)") &&
            remove_.prepare(db_, "DELETE FROM groups WHERE ip = ? AND port = ? AND expires > ?") &&
            list_.prepare(db_,
                          "SELECT id, name, ip, port, expires FROM groups WHERE expires > ?"
                          " ORDER BY id DESC LIMIT ?") &&
            bump_.prepare(db_, "UPDATE meta SET generation = generation + 1") &&
            generation_.prepare(db_, "SELECT generation FROM meta");
        if (!prepared) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    AddResult add(const AddRequest& r) override
    {
        std::lock_guard lock(mutex_);
        if (!begin_.reset().run()) return AddResult::Failed;
        const AddResult result = addInTransaction(r);
        if (result == AddResult::Failed || !commit_.reset().run()) {
            rollback_.reset().run();
            return AddResult::Failed;
        }
        return result;
    }

    bool remove(const std::string& ip, int port, Millis now) override
    {
        std::lock_guard lock(mutex_);
        if (!begin_.reset().run()) return false;
        const bool removed = remove_.reset().text(1, ip).integer(2, port).integer(3, now).run() &&
                             sqlite3_changes(db_) > 0;
        if ((removed && !bump_.reset().run()) || !commit_.reset().run()) {
            rollback_.reset().run();
            return false;
        }
        return removed;
    }

    std::vector<Registration> list(Millis now, std::size_t limit) override
    {
        std::lock_guard lock(mutex_);
        std::vector<Registration> groups;
        list_.reset().integer(1, now).integer(2, static_cast<std::int64_t>(limit));
        while (list_.step() == SQLITE_ROW) {
            groups.push_back({list_.integerAt(0), list_.bytes(1), list_.bytes(2), static_cast<int>(list_.integerAt(3)),
                              list_.integerAt(4)});
        }
        list_.reset();
        return groups;
    }

    int purge(Millis now) override
    {
        std::lock_guard lock(mutex_);
        if (!begin_.reset().run()) return 0;
        int removed = 0;
        if (purge_.reset().integer(1, now).run()) removed = sqlite3_changes(db_);
        if ((removed > 0 && !bump_.reset().run()) || !commit_.reset().run()) {
            rollback_.reset().run();
            return 0;
        }
        return removed;
    }

    std::int64_t generation() override
    {
        std::lock_guard lock(mutex_);
        std::int64_t value = -1;
        if (generation_.reset().step() == SQLITE_ROW) value = generation_.integerAt(0);
        generation_.reset();
        return value;
    }

    bool healthy() override { return generation() >= 0; }

private:
    AddResult addInTransaction(const AddRequest& r)
    {
        // Expired registrations go first, so they count against no limit and an address that
        // registers again after its registration lapsed is a new group.
        if (!purge_.reset().integer(1, r.now).run()) return AddResult::Failed;
        bool changed = sqlite3_changes(db_) > 0;
        const Millis expires = r.now + r.ttl;

        find_.reset().text(1, r.ip).integer(2, r.port);
        if (find_.step() == SQLITE_ROW) {
            const std::int64_t id = find_.integerAt(0);
            const bool renamed = find_.bytes(1) != r.name;
            find_.reset();
            if (!renew_.reset().blob(1, r.name).integer(2, expires).text(3, r.source).integer(4, id).run())
                return AddResult::Failed;
            if ((changed || renamed) && !bump_.reset().run()) return AddResult::Failed;
            return renamed ? AddResult::Renamed : AddResult::Renewed;
        }
        find_.reset();

        if (countSource_.reset().text(1, r.source).integer(2, static_cast<std::int64_t>(r.maxPerSource)).step() !=
            SQLITE_ROW)
            return AddResult::Failed;
        const auto fromSource = static_cast<std::size_t>(countSource_.integerAt(0));
        countSource_.reset();
        if (countAll_.reset().step() != SQLITE_ROW) return AddResult::Failed;
        const auto total = static_cast<std::size_t>(countAll_.integerAt(0));
        countAll_.reset();
        if (fromSource >= r.maxPerSource || total >= r.maxGroups) {
            // The purge above may have changed the list even though nothing is added.
            if (changed && !bump_.reset().run()) return AddResult::Failed;
            return fromSource >= r.maxPerSource ? AddResult::SourceFull : AddResult::Full;
        }
        if (!insert_.reset()
                 .blob(1, r.name)
                 .text(2, r.ip)
                 .integer(3, r.port)
                 .integer(4, r.now / 1000)
                 .integer(5, expires)
                 .text(6, r.source)
                 .run())
            return AddResult::Failed;
        if (!bump_.reset().run()) return AddResult::Failed;
        return AddResult::Added;
    }

    bool exec(const char* sql, std::string& error)
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
        error = message ? message : "statement failed";
        sqlite3_free(message);
        return false;
    }

    // user_version 0: a new file, or the first schema (no expiry, no source, no meta table).
    // user_version 2: the current schema.
    bool migrate(std::string& error)
    {
        if (!exec("BEGIN IMMEDIATE", error)) return false;
        std::int64_t version = 0;
        bool oldTable = false;
        {
            Statement s;
            if (s.prepare(db_, "PRAGMA user_version") && s.step() == SQLITE_ROW) version = s.integerAt(0);
            Statement t;
            if (t.prepare(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'groups'") &&
                t.step() == SQLITE_ROW)
                oldTable = t.integerAt(0) > 0;
        }
        bool ok = true;
        if (version == 0) {
            const std::string grace = std::to_string(MigratedGrace);
            if (oldTable) {
                ok = exec("ALTER TABLE groups ADD COLUMN expires INTEGER NOT NULL DEFAULT 0", error) &&
                     exec("ALTER TABLE groups ADD COLUMN source TEXT NOT NULL DEFAULT ''", error) &&
                     exec(("UPDATE groups SET expires = CAST(strftime('%s','now') AS INTEGER) * 1000 + " + grace +
                           ", source = ip")
                              .c_str(),
                          error);
            } else {
                ok = exec("CREATE TABLE groups("
                          " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                          " name BLOB NOT NULL,"
                          " ip TEXT NOT NULL,"
                          " port INTEGER NOT NULL,"
                          " registered INTEGER NOT NULL,"
                          " expires INTEGER NOT NULL,"
                          " source TEXT NOT NULL,"
                          " UNIQUE(ip, port))",
                          error);
            }
            ok = ok && exec("CREATE INDEX IF NOT EXISTS groups_expires ON groups(expires)", error) &&
                 exec("CREATE INDEX IF NOT EXISTS groups_source ON groups(source)", error) &&
                 exec("CREATE TABLE IF NOT EXISTS meta(generation INTEGER NOT NULL)", error) &&
                 exec("INSERT INTO meta(generation) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM meta)", error) &&
                 exec("PRAGMA user_version = 2", error);
        } else if (version != 2) {
            error = "the store was written by a newer lumo-directory (schema " + std::to_string(version) + ")";
            ok = false;
        }
        std::string ignored;
        if (!ok) {
            exec("ROLLBACK", ignored);
            return false;
        }
        return exec("COMMIT", error);
    }

    // Closed after every statement below is finalised (members end in reverse order).
    struct Connection {
        sqlite3* db = nullptr;
        ~Connection() { sqlite3_close(db); }
    };

    std::mutex mutex_;
    Connection connection_;
    sqlite3*& db_ = connection_.db;
    Statement begin_, commit_, rollback_, purge_, find_, renew_, countSource_, countAll_, insert_, remove_, list_,
        bump_, generation_;
};

}  // namespace

std::unique_ptr<GroupStore> openSqliteStore(const std::string& path, std::string& error)
{
    auto store = std::make_unique<SqliteStore>();
    if (!store->open(path, error)) return nullptr;
    return store;
}

bool isPostgresLocation(const std::string& location)
{
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<GroupStore> openGroupStore(const std::string& location, std::string& error)
{
    if (isPostgresLocation(location)) return openPostgresStore(location, error);
    return openSqliteStore(location, error);
}

}  // namespace lumo::directory
