// The SQLite back end: one connection behind a mutex, statements prepared once, the WAL journal
// with normal synchronisation (a crash may lose the last moment of renewals, which the hosting
// clients repeat anyway, but never corrupts the file).
#include "group_store.h"

#include "address_groups.h"

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

// The schema this code writes. 2: expiry and the counted source; 3: the counted network and the
// number of rows kept in meta (so that the total limit reads one row, not a count).
constexpr int SqliteSchemaVersion = 3;

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
        // Every lookup names an indexed column with an equality (or the expiry's range): SQLite
        // takes the index whatever the table holds, as no statistics are ever gathered here.
        const bool prepared =
            begin_.prepare(db_, "BEGIN IMMEDIATE") && commit_.prepare(db_, "COMMIT") &&
            rollback_.prepare(db_, "ROLLBACK") &&
            purge_.prepare(db_, "DELETE FROM groups WHERE expires <= ?") &&
            find_.prepare(db_, "SELECT id, name, expires FROM groups WHERE ip = ? AND port = ?") &&
            renew_.prepare(db_, "UPDATE groups SET name = ?, expires = ? WHERE id = ?") &&
            drop_.prepare(db_, "DELETE FROM groups WHERE id = ?") &&
            // Counting stops at the limit: what lies beyond it does not matter.
            countSource_.prepare(db_, "SELECT count(*) FROM (SELECT 1 FROM groups WHERE source = ? AND expires > ?"
                                      " LIMIT ?)") &&
            countBlock_.prepare(db_, "SELECT count(*) FROM (SELECT 1 FROM groups WHERE block = ? AND expires > ?"
                                     " LIMIT ?)") &&
            countAll_.prepare(db_, "SELECT live FROM meta") &&
            insert_.prepare(db_,
                            "INSERT INTO groups(name, ip, port, registered, expires, source, block)"
                            " VALUES(?, ?, ?, ?, ?, ?, ?)") &&
            remove_.prepare(db_, "DELETE FROM groups WHERE ip = ? AND port = ? AND expires > ?") &&
            list_.prepare(db_,
                          "SELECT id, name, ip, port, expires FROM groups WHERE expires > ?"
                          " ORDER BY id DESC LIMIT ?") &&
            changed_.prepare(db_, "UPDATE meta SET generation = generation + 1, live = live + ?") &&
            generation_.prepare(db_, "SELECT generation FROM meta");
        if (!prepared) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    std::vector<AddResult> addBatch(const std::vector<AddRequest>& requests) override
    {
        std::lock_guard lock(mutex_);
        std::vector<AddResult> results;
        if (requests.empty()) return results;
        if (!begin_.reset().run()) return std::vector<AddResult>(requests.size(), AddResult::Failed);
        for (const auto& r : requests) {
            results.push_back(addInTransaction(r));
            if (results.back() == AddResult::Failed) break;
        }
        if (results.back() == AddResult::Failed || !commit_.reset().run()) {
            rollback_.reset().run();
            return std::vector<AddResult>(requests.size(), AddResult::Failed);
        }
        return results;
    }

    bool remove(const std::string& ip, int port, Millis now) override
    {
        std::lock_guard lock(mutex_);
        if (!begin_.reset().run()) return false;
        const bool removed = remove_.reset().text(1, ip).integer(2, port).integer(3, now).run() &&
                             sqlite3_changes(db_) > 0;
        if ((removed && !changed_.reset().integer(1, -1).run()) || !commit_.reset().run()) {
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
        const int removed = purgeInTransaction(now);
        if (removed < 0 || !commit_.reset().run()) {
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
    // Deletes the expired rows; their number, or -1 on failure.
    int purgeInTransaction(Millis now)
    {
        if (!purge_.reset().integer(1, now).run()) return -1;
        const int removed = sqlite3_changes(db_);
        if (removed > 0 && !changed_.reset().integer(1, -removed).run()) return -1;
        return removed;
    }

    // How many rows the query counts (up to its limit), or -1 on failure.
    static std::int64_t count(Statement& statement)
    {
        const std::int64_t n = statement.step() == SQLITE_ROW ? statement.integerAt(0) : -1;
        statement.reset();
        return n;
    }

    AddResult addInTransaction(const AddRequest& r)
    {
        const Millis expires = r.now + r.ttl;
        find_.reset().text(1, r.ip).integer(2, r.port);
        if (find_.step() == SQLITE_ROW) {
            const std::int64_t id = find_.integerAt(0);
            const bool renamed = find_.bytes(1) != r.name;
            const bool live = find_.integerAt(2) > r.now;
            find_.reset();
            if (live) {
                if (!renew_.reset().blob(1, r.name).integer(2, expires).integer(3, id).run()) return AddResult::Failed;
                if (renamed && !changed_.reset().integer(1, 0).run()) return AddResult::Failed;
                return renamed ? AddResult::Renamed : AddResult::Renewed;
            }
            // An expired registration of (ip, port): coming back is a new registration.
            if (!drop_.reset().integer(1, id).run() || !changed_.reset().integer(1, -1).run()) return AddResult::Failed;
        }
        find_.reset();

        const auto limit = [](std::size_t n) { return static_cast<std::int64_t>(n); };
        const std::int64_t fromSource =
            count(countSource_.reset().text(1, r.source).integer(2, r.now).integer(3, limit(r.maxPerSource)));
        const std::int64_t fromBlock =
            count(countBlock_.reset().text(1, r.block).integer(2, r.now).integer(3, limit(r.maxPerBlock)));
        std::int64_t total = count(countAll_.reset());
        if (fromSource < 0 || fromBlock < 0 || total < 0) return AddResult::Failed;
        if (fromSource >= limit(r.maxPerSource)) return AddResult::SourceFull;
        if (fromBlock >= limit(r.maxPerBlock)) return AddResult::BlockFull;
        if (total >= limit(r.maxGroups)) {
            // The total counts rows not yet purged: expired ones make room first.
            const int purged = purgeInTransaction(r.now);
            if (purged < 0) return AddResult::Failed;
            if (total - purged >= limit(r.maxGroups)) return AddResult::Full;
        }
        if (!insert_.reset()
                 .blob(1, r.name)
                 .text(2, r.ip)
                 .integer(3, r.port)
                 .integer(4, r.now / 1000)
                 .integer(5, expires)
                 .text(6, r.source)
                 .text(7, r.block)
                 .run())
            return AddResult::Failed;
        if (!changed_.reset().integer(1, 1).run()) return AddResult::Failed;
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

    // Fills the block column of rows written before it existed, from their source.
    bool fillBlocks(std::string& error)
    {
        Statement read;
        Statement write;
        if (!read.prepare(db_, "SELECT id, source FROM groups") ||
            !write.prepare(db_, "UPDATE groups SET block = ? WHERE id = ?")) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        while (read.step() == SQLITE_ROW) {
            if (!write.reset().text(1, addressBlock(read.bytes(1))).integer(2, read.integerAt(0)).run()) {
                error = sqlite3_errmsg(db_);
                return false;
            }
        }
        return true;
    }

    // user_version 0: a new file, or the first schema (no expiry, no source, no meta table).
    // 2: expiry and source. 3: the current schema.
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
            ok = ok && exec("CREATE TABLE IF NOT EXISTS meta(generation INTEGER NOT NULL)", error) &&
                 exec("INSERT INTO meta(generation) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM meta)", error);
            version = 2;
        }
        if (ok && version == 2) {
            ok = exec("ALTER TABLE groups ADD COLUMN block TEXT NOT NULL DEFAULT ''", error) && fillBlocks(error) &&
                 exec("DROP INDEX IF EXISTS groups_source", error) &&
                 exec("CREATE INDEX IF NOT EXISTS groups_expires ON groups(expires)", error) &&
                 exec("CREATE INDEX groups_source ON groups(source, expires)", error) &&
                 exec("CREATE INDEX groups_block ON groups(block, expires)", error) &&
                 exec("ALTER TABLE meta ADD COLUMN live INTEGER NOT NULL DEFAULT 0", error) &&
                 exec("UPDATE meta SET live = (SELECT count(*) FROM groups)", error) &&
                 exec(("PRAGMA user_version = " + std::to_string(SqliteSchemaVersion)).c_str(), error);
        } else if (ok && version != SqliteSchemaVersion) {
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
    Statement begin_, commit_, rollback_, purge_, find_, renew_, drop_, countSource_, countBlock_, countAll_, insert_,
        remove_, list_, changed_, generation_;
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
