// The PostgreSQL back end, for several lumo-directory processes (on several machines) serving
// one directory. An add, a removal and a purge are one call each of a server-side function (one
// round trip, one transaction); adds run under a transaction-level advisory lock, so the
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
// Results of lumo_add: the numbers of GroupStore::AddResult.
// The count of registrations is kept in lumo_meta ('live'), so the total limit costs one row
// read instead of a count over the table; every statement that adds or deletes rows keeps it.
constexpr const char* Functions[] = {
    R"sql(
CREATE OR REPLACE FUNCTION lumo_purge(now_ms bigint) RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  purged integer;
BEGIN
  DELETE FROM lumo_groups WHERE expires <= now_ms;
  GET DIAGNOSTICS purged = ROW_COUNT;
  IF purged > 0 THEN
    UPDATE lumo_meta SET value = value - purged WHERE key = 'live';
    UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
  END IF;
  RETURN purged;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_remove(old_ip text, old_port integer, now_ms bigint)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  removed integer;
BEGIN
  DELETE FROM lumo_groups WHERE ip = old_ip AND port = old_port AND expires > now_ms;
  GET DIAGNOSTICS removed = ROW_COUNT;
  IF removed > 0 THEN
    UPDATE lumo_meta SET value = value - removed WHERE key = 'live';
    UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
  END IF;
  RETURN removed;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_add(new_name bytea, new_ip text, new_port integer, new_source text,
                                    now_ms bigint, ttl_ms bigint, max_groups bigint, max_per_source bigint)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  purged integer;
  found_id bigint;
  found_name bytea;
  from_source bigint;
  total bigint;
BEGIN
  PERFORM pg_advisory_xact_lock(7428002);
  purged := lumo_purge(now_ms);
  SELECT id, name INTO found_id, found_name FROM lumo_groups WHERE ip = new_ip AND port = new_port;
  IF FOUND THEN
    UPDATE lumo_groups SET name = new_name, expires = now_ms + ttl_ms, source = new_source WHERE id = found_id;
    IF found_name <> new_name THEN
      UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
      RETURN 5;
    END IF;
    RETURN 1;
  END IF;
  -- Counting stops at the limit: what lies beyond it does not matter.
  SELECT count(*) INTO from_source FROM (SELECT 1 FROM lumo_groups WHERE source = new_source LIMIT max_per_source) s;
  SELECT value INTO total FROM lumo_meta WHERE key = 'live';
  IF from_source >= max_per_source THEN
    RETURN 3;
  END IF;
  IF total >= max_groups THEN
    RETURN 2;
  END IF;
  INSERT INTO lumo_groups(name, ip, port, registered, expires, source)
    VALUES(new_name, new_ip, new_port, now_ms / 1000, now_ms + ttl_ms, new_source);
  UPDATE lumo_meta SET value = value + 1 WHERE key IN ('live', 'generation');
  RETURN 0;
END $$)sql",
};
constexpr int SchemaVersion = 1;
constexpr std::size_t PoolSize = 8;

struct Prepared {
    const char* name;
    const char* sql;
};
const Prepared Statements[] = {
    {"purge", "SELECT lumo_purge($1::bigint)"},
    {"remove", "SELECT lumo_remove($1, $2::int, $3::bigint)"},
    {"list",
     "SELECT id, encode(name, 'hex'), ip, port, expires FROM lumo_groups WHERE expires > $1::bigint"
     " ORDER BY id DESC LIMIT $2::bigint"},
    {"add", "SELECT lumo_add($1::bytea, $2, $3::int, $4, $5::bigint, $6::bigint, $7::bigint, $8::bigint)"},
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
            Result result = c.run("add", {r.name, r.ip, std::to_string(r.port), r.source, std::to_string(r.now),
                                          std::to_string(r.ttl), std::to_string(r.maxGroups),
                                          std::to_string(r.maxPerSource)},
                                  0);
            if (!result.ok() || result.rows() != 1) {
                c.recover();
                return AddResult::Failed;
            }
            switch (result.integer(0, 0)) {
            case 0: return AddResult::Added;
            case 1: return AddResult::Renewed;
            case 2: return AddResult::Full;
            case 3: return AddResult::SourceFull;
            case 5: return AddResult::Renamed;
            default: return AddResult::Failed;
            }
        });
    }

    bool remove(const std::string& ip, int port, Millis now) override
    {
        return withConnection<bool>(false, [&](Connection& c) {
            Result removed = c.run("remove", {ip, std::to_string(port), std::to_string(now)});
            if (!removed.ok() || removed.rows() != 1) {
                c.recover();
                return false;
            }
            return removed.integer(0, 0) > 0;
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
            Result purged = c.run("purge", {std::to_string(now)});
            if (!purged.ok() || purged.rows() != 1) {
                c.recover();
                return 0;
            }
            return static_cast<int>(purged.integer(0, 0));
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
            "INSERT INTO lumo_meta SELECT 'live', count(*) FROM lumo_groups ON CONFLICT DO NOTHING",
            Functions[0],
            Functions[1],
            Functions[2],
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
        // A database host that does not answer is given up after a few seconds (unless the URI
        // says otherwise), so that a request waits for it no longer than that.
        const char* keys[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {"3", uri_.c_str(), nullptr};
        auto c = std::make_unique<Connection>(PQconnectdbParams(keys, values, 1));
        if (!c->get() || PQstatus(c->get()) != CONNECTION_OK) {
            error = c->get() ? PQerrorMessage(c->get()) : "out of memory";
            while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
            return nullptr;
        }
        Result quiet = c->exec("SET client_min_messages = warning");
        // As with SQLite's normal synchronisation: a database crash may lose the last moment of
        // registrations, which the hosting clients repeat anyway; commits do not wait for the disk.
        Result asynchronous = c->exec("SET synchronous_commit = off");
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
