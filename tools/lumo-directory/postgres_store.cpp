// The PostgreSQL back end, for several lumo-directory processes (on several machines) serving
// one directory. Adds run in one transaction each under a transaction-level advisory lock, so the
// per-address and total limits count what every process registered; expiry is a column compared
// with the request's time. A small pool of connections serves the request threads; a connection
// that broke is reset before its next use.
#include "group_store.h"

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace lumo::directory {

namespace {

// Keys of the advisory locks: one for schema set-up, one serialising adds.
constexpr const char* SchemaLock = "SELECT pg_advisory_xact_lock(7428001)";
constexpr const char* AddLock = "SELECT pg_advisory_xact_lock(7428002)";
constexpr int SchemaVersion = 1;
constexpr std::size_t PoolSize = 8;

struct Prepared {
    const char* name;
    const char* sql;
};
const Prepared Statements[] = {
    {"purge", "DELETE FROM lumo_groups WHERE expires <= $1::bigint"},
    {"find", "SELECT id, encode(name, 'hex') FROM lumo_groups WHERE ip = $1 AND port = $2::int"},
    {"renew", "UPDATE lumo_groups SET name = $1::bytea, expires = $2::bigint, source = $3 WHERE id = $4::bigint"},
    {"count_source", "SELECT count(*) FROM lumo_groups WHERE source = $1"},
    {"count_all", "SELECT count(*) FROM lumo_groups"},
    {"insert",
     "INSERT INTO lumo_groups(name, ip, port, registered, expires, source)"
     " VALUES($1::bytea, $2, $3::int, $4::bigint, $5::bigint, $6)"},
    {"remove", "DELETE FROM lumo_groups WHERE ip = $1 AND port = $2::int AND expires > $3::bigint"},
    {"list",
     "SELECT id, encode(name, 'hex'), ip, port, expires FROM lumo_groups WHERE expires > $1::bigint"
     " ORDER BY id DESC LIMIT $2::bigint"},
    {"bump", "UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation'"},
    {"generation", "SELECT value FROM lumo_meta WHERE key = 'generation'"},
};

class Result {
public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    bool ok() const
    {
        const auto status = PQresultStatus(result_);
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    int rows() const { return PQntuples(result_); }
    std::string text(int row, int column) const { return PQgetvalue(result_, row, column); }
    std::int64_t integer(int row, int column) const { return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10); }
    long changed() const { return std::strtol(PQcmdTuples(result_), nullptr, 10); }

private:
    PGresult* result_;
};

std::string fromHex(const std::string& hex)
{
    auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1])));
    return out;
}

// One connection: statements by name with text parameters; the name parameter goes as binary.
class Connection {
public:
    explicit Connection(PGconn* conn) : conn_(conn) {}
    ~Connection() { PQfinish(conn_); }
    PGconn* get() const { return conn_; }

    Result exec(const char* sql) { return Result(PQexec(conn_, sql)); }
    // Runs a prepared statement. A parameter given in `binary` is sent as bytes (the bytea name).
    Result run(const char* statement, std::vector<std::string> params, int binary = -1)
    {
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (std::size_t i = 0; i < params.size(); ++i) {
            values.push_back(params[i].c_str());
            lengths.push_back(static_cast<int>(params[i].size()));
            formats.push_back(static_cast<int>(i) == binary ? 1 : 0);
        }
        return Result(PQexecPrepared(conn_, statement, static_cast<int>(params.size()), values.data(), lengths.data(),
                                     formats.data(), 0));
    }
    bool prepare(std::string& error)
    {
        for (const auto& s : Statements) {
            Result r(PQprepare(conn_, s.name, s.sql, 0, nullptr));
            if (!r.ok()) {
                error = PQerrorMessage(conn_);
                return false;
            }
        }
        return true;
    }
    // After a failure: when the connection itself broke, reconnect (and prepare again).
    void recover()
    {
        if (PQstatus(conn_) == CONNECTION_OK) {
            if (PQtransactionStatus(conn_) != PQTRANS_IDLE) exec("ROLLBACK");
            return;
        }
        PQreset(conn_);
        std::string ignored;
        if (PQstatus(conn_) == CONNECTION_OK) prepare(ignored);
    }

private:
    PGconn* conn_;
};

class PostgresStore final : public GroupStore {
public:
    explicit PostgresStore(std::string uri) : uri_(std::move(uri)) {}

    bool open(std::string& error)
    {
        auto first = connect(error);
        if (!first) return false;
        if (!createSchema(*first, error) || !first->prepare(error)) return false;
        idle_.push_back(std::move(first));
        total_ = 1;
        return true;
    }

    AddResult add(const AddRequest& r) override
    {
        return withConnection<AddResult>(AddResult::Failed, [&](Connection& c) {
            if (!c.exec("BEGIN").ok()) return AddResult::Failed;
            const AddResult result = addInTransaction(c, r);
            if (result == AddResult::Failed || !c.exec("COMMIT").ok()) {
                c.recover();
                return AddResult::Failed;
            }
            return result;
        });
    }

    bool remove(const std::string& ip, int port, Millis now) override
    {
        return withConnection<bool>(false, [&](Connection& c) {
            if (!c.exec("BEGIN").ok()) return false;
            Result removed = c.run("remove", {ip, std::to_string(port), std::to_string(now)});
            const bool any = removed.ok() && removed.changed() > 0;
            if (!removed.ok() || (any && !c.run("bump", {}).ok()) || !c.exec("COMMIT").ok()) {
                c.recover();
                return false;
            }
            return any;
        });
    }

    std::vector<Registration> list(Millis now, std::size_t limit) override
    {
        return withConnection<std::vector<Registration>>({}, [&](Connection& c) {
            std::vector<Registration> groups;
            Result rows = c.run("list", {std::to_string(now), std::to_string(limit)});
            if (!rows.ok()) {
                c.recover();
                return groups;
            }
            groups.reserve(static_cast<std::size_t>(rows.rows()));
            for (int i = 0; i < rows.rows(); ++i) {
                groups.push_back({rows.integer(i, 0), fromHex(rows.text(i, 1)), rows.text(i, 2),
                                  static_cast<int>(rows.integer(i, 3)), rows.integer(i, 4)});
            }
            return groups;
        });
    }

    int purge(Millis now) override
    {
        return withConnection<int>(0, [&](Connection& c) {
            if (!c.exec("BEGIN").ok()) return 0;
            Result purged = c.run("purge", {std::to_string(now)});
            const long count = purged.ok() ? purged.changed() : 0;
            if (!purged.ok() || (count > 0 && !c.run("bump", {}).ok()) || !c.exec("COMMIT").ok()) {
                c.recover();
                return 0;
            }
            return static_cast<int>(count);
        });
    }

    std::int64_t generation() override
    {
        return withConnection<std::int64_t>(-1, [&](Connection& c) -> std::int64_t {
            Result value = c.run("generation", {});
            if (!value.ok() || value.rows() != 1) {
                c.recover();
                return -1;
            }
            return value.integer(0, 0);
        });
    }

    bool healthy() override { return generation() >= 0; }

private:
    AddResult addInTransaction(Connection& c, const AddRequest& r)
    {
        const std::string now = std::to_string(r.now);
        const std::string expires = std::to_string(r.now + r.ttl);
        const std::string port = std::to_string(r.port);
        if (!c.exec(AddLock).ok()) return AddResult::Failed;
        Result purged = c.run("purge", {now});
        if (!purged.ok()) return AddResult::Failed;
        bool changed = purged.changed() > 0;

        Result found = c.run("find", {r.ip, port});
        if (!found.ok()) return AddResult::Failed;
        if (found.rows() > 0) {
            changed = changed || fromHex(found.text(0, 1)) != r.name;
            if (!c.run("renew", {r.name, expires, r.source, found.text(0, 0)}, 0).ok()) return AddResult::Failed;
            if (changed && !c.run("bump", {}).ok()) return AddResult::Failed;
            return AddResult::Renewed;
        }
        Result fromSource = c.run("count_source", {r.source});
        Result total = c.run("count_all", {});
        if (!fromSource.ok() || !total.ok()) return AddResult::Failed;
        const auto sourceCount = static_cast<std::size_t>(fromSource.integer(0, 0));
        const auto totalCount = static_cast<std::size_t>(total.integer(0, 0));
        if (sourceCount >= r.maxPerSource || totalCount >= r.maxGroups) {
            if (changed && !c.run("bump", {}).ok()) return AddResult::Failed;
            return sourceCount >= r.maxPerSource ? AddResult::SourceFull : AddResult::Full;
        }
        if (!c.run("insert", {r.name, r.ip, port, std::to_string(r.now / 1000), expires, r.source}, 0).ok())
            return AddResult::Failed;
        if (!c.run("bump", {}).ok()) return AddResult::Failed;
        return AddResult::Added;
    }

    bool createSchema(Connection& c, std::string& error)
    {
        const char* steps[] = {
            "BEGIN",
            SchemaLock,
            "CREATE TABLE IF NOT EXISTS lumo_meta(key text PRIMARY KEY, value bigint NOT NULL)",
            "CREATE TABLE IF NOT EXISTS lumo_groups("
            " id bigserial PRIMARY KEY,"
            " name bytea NOT NULL,"
            " ip text NOT NULL,"
            " port integer NOT NULL,"
            " registered bigint NOT NULL,"
            " expires bigint NOT NULL,"
            " source text NOT NULL,"
            " UNIQUE(ip, port))",
            "CREATE INDEX IF NOT EXISTS lumo_groups_expires ON lumo_groups(expires)",
            "CREATE INDEX IF NOT EXISTS lumo_groups_source ON lumo_groups(source)",
            "INSERT INTO lumo_meta VALUES('generation', 0) ON CONFLICT DO NOTHING",
            "INSERT INTO lumo_meta VALUES('schema', 1) ON CONFLICT DO NOTHING",
        };
        for (const char* step : steps) {
            if (!c.exec(step).ok()) {
                error = PQerrorMessage(c.get());
                c.exec("ROLLBACK");
                return false;
            }
        }
        Result version = c.exec("SELECT value FROM lumo_meta WHERE key = 'schema'");
        if (!version.ok() || version.rows() != 1 || version.integer(0, 0) > SchemaVersion) {
            error = "the database was set up by a newer lumo-directory";
            c.exec("ROLLBACK");
            return false;
        }
        // Later schema versions are migrated here, one step per version, inside this transaction.
        if (!c.exec("COMMIT").ok()) {
            error = PQerrorMessage(c.get());
            return false;
        }
        return true;
    }

    std::unique_ptr<Connection> connect(std::string& error)
    {
        auto c = std::make_unique<Connection>(PQconnectdb(uri_.c_str()));
        if (!c->get() || PQstatus(c->get()) != CONNECTION_OK) {
            error = c->get() ? PQerrorMessage(c->get()) : "out of memory";
            while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
            return nullptr;
        }
        Result quiet = c->exec("SET client_min_messages = warning");
        return c;
    }

    template <typename T, typename F>
    T withConnection(T failed, F&& use)
    {
        std::unique_ptr<Connection> c;
        {
            std::unique_lock lock(mutex_);
            available_.wait(lock, [this] { return !idle_.empty() || total_ < PoolSize; });
            if (!idle_.empty()) {
                c = std::move(idle_.back());
                idle_.pop_back();
            } else {
                ++total_;
            }
        }
        if (!c) {
            std::string error;
            c = connect(error);
            if (c && !c->prepare(error)) c.reset();
            if (!c) {
                std::lock_guard lock(mutex_);
                --total_;
                available_.notify_one();
                return failed;
            }
        }
        T result = use(*c);
        {
            std::lock_guard lock(mutex_);
            idle_.push_back(std::move(c));
        }
        available_.notify_one();
        return result;
    }

    const std::string uri_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t total_ = 0;
};

}  // namespace

std::unique_ptr<GroupStore> openPostgresStore(const std::string& uri, std::string& error)
{
    auto store = std::make_unique<PostgresStore>(uri);
    if (!store->open(error)) return nullptr;
    return store;
}

}  // namespace lumo::directory
