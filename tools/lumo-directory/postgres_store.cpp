// The PostgreSQL back end, for several lumo-directory processes (on several machines) serving
// one directory. A batch of adds, a removal and a purge are one call each of a server-side
// function (one round trip, one transaction) under a transaction-level advisory lock, so the
// per-address, per-network and total limits count what every process registered. A small pool
// of connections serves the request threads; a connection that broke is reset before its next use.
//
// The add path reads and writes rows only through what cannot turn into a scan of the table,
// whatever the planner believed when a pooled connection first ran it (a plan cached while the
// table held a few rows stays a sequential scan after a burst has filled it): the registration
// of (ip, port) is found by an upsert, whose arbiter is its unique index; the live counts per
// address, per network and in all are counter rows changed by upserts on their primary key; a row
// found that way is changed or deleted again by its tuple id. Registrations that expired are
// deleted in batches by the housekeeper (and when a limit would refuse an add and some may have
// expired), by statements planned afresh for the table as it is.
#include "group_store.h"

#include "address_groups.h"

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <vector>

namespace lumo::directory {

namespace {

// Keys of the advisory locks: one for schema set-up, one serialising the writes.
constexpr const char* SchemaLock = "SELECT pg_advisory_xact_lock(7428001)";
// Results of lumo_add_one: the numbers of GroupStore::AddResult (4: failed).
constexpr const char* Functions[] = {
    R"sql(
CREATE OR REPLACE FUNCTION lumo_count(counter text, delta bigint, ceiling bigint) RETURNS boolean
LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO lumo_counts AS c(key, n) VALUES (counter, delta)
    ON CONFLICT (key) DO UPDATE SET n = c.n + delta WHERE c.n + delta <= ceiling;
  RETURN FOUND;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_purge(now_ms bigint) RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  purged integer;
  earliest bigint;
BEGIN
  PERFORM pg_advisory_xact_lock(7428002);
  EXECUTE 'WITH gone AS (DELETE FROM lumo_groups WHERE expires <= $1 RETURNING source, block),
                per_key AS (SELECT ''s '' || source AS key, count(*) AS n FROM gone GROUP BY source
                            UNION ALL SELECT ''b '' || block, count(*) FROM gone GROUP BY block
                            UNION ALL SELECT ''all'', count(*) FROM gone),
                counted AS (UPDATE lumo_counts c SET n = c.n - per_key.n FROM per_key WHERE c.key = per_key.key)
           SELECT count(*) FROM gone' INTO purged USING now_ms;
  IF purged > 0 THEN
    EXECUTE 'DELETE FROM lumo_counts WHERE n <= 0 AND key <> ''all''';
    UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
  END IF;
  EXECUTE 'SELECT min(expires) FROM lumo_groups' INTO earliest;
  UPDATE lumo_meta SET value = coalesce(earliest, 9223372036854775807) WHERE key = 'next_expiry';
  RETURN purged;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_remove(old_ip text, old_port integer, now_ms bigint)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  gone_source text;
  gone_block text;
  removed integer;
  unlimited constant bigint := 9223372036854775807;
BEGIN
  PERFORM pg_advisory_xact_lock(7428002);
  EXECUTE 'DELETE FROM lumo_groups WHERE ip = $1 AND port = $2 AND expires > $3 RETURNING source, block'
    INTO gone_source, gone_block USING old_ip, old_port, now_ms;
  GET DIAGNOSTICS removed = ROW_COUNT;
  IF removed = 0 THEN
    RETURN 0;
  END IF;
  PERFORM lumo_count('s ' || gone_source, -1, unlimited), lumo_count('b ' || gone_block, -1, unlimited),
          lumo_count('all', -1, unlimited);
  UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
  RETURN 1;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_add_one(new_name bytea, new_ip text, new_port integer, new_source text,
                                        new_block text, now_ms bigint, ttl_ms bigint, max_groups bigint,
                                        max_per_source bigint, max_per_block bigint)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  at tid;
  old_name bytea;
  inserted boolean;
  refusal integer := 4;
  unlimited constant bigint := 9223372036854775807;
BEGIN
  FOR attempt IN 1 .. 2 LOOP
    -- A live registration of (ip, port) is renewed; without one a row is inserted, to be taken
    -- back if a limit refuses it; an expired one is left as it is.
    INSERT INTO lumo_groups AS g(name, ip, port, registered, expires, source, block)
      VALUES (new_name, new_ip, new_port, now_ms / 1000, now_ms + ttl_ms, new_source, new_block)
      ON CONFLICT (ip, port) DO UPDATE SET expires = EXCLUDED.expires WHERE g.expires > now_ms
      RETURNING g.ctid, g.name, g.xmax = 0 INTO at, old_name, inserted;
    IF FOUND AND NOT inserted THEN
      IF old_name = new_name THEN
        RETURN 1;
      END IF;
      UPDATE lumo_groups SET name = new_name WHERE ctid = at;
      UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
      RETURN 5;
    END IF;
    IF FOUND THEN
      IF NOT lumo_count('s ' || new_source, 1, max_per_source) THEN
        refusal := 3;
      ELSIF NOT lumo_count('b ' || new_block, 1, max_per_block) THEN
        refusal := 6;
        PERFORM lumo_count('s ' || new_source, -1, unlimited);
      ELSIF NOT lumo_count('all', 1, max_groups) THEN
        refusal := 2;
        PERFORM lumo_count('s ' || new_source, -1, unlimited), lumo_count('b ' || new_block, -1, unlimited);
      ELSE
        UPDATE lumo_meta SET value = value + 1 WHERE key = 'generation';
        UPDATE lumo_meta SET value = least(value, now_ms + ttl_ms) WHERE key = 'next_expiry';
        RETURN 0;
      END IF;
      DELETE FROM lumo_groups WHERE ctid = at;
    END IF;
    -- Refused, or an expired registration holds (ip, port). Expired registrations count until
    -- they are purged: when some may have expired, purge them and try once more.
    IF attempt = 2 OR (SELECT value FROM lumo_meta WHERE key = 'next_expiry') > now_ms THEN
      RETURN refusal;
    END IF;
    PERFORM lumo_purge(now_ms);
  END LOOP;
  RETURN refusal;
END $$)sql",
    R"sql(
CREATE OR REPLACE FUNCTION lumo_add_batch(names text[], ips text[], ports integer[], sources text[], blocks text[],
                                          nows bigint[], ttls bigint[], max_groups bigint[],
                                          max_per_source bigint[], max_per_block bigint[])
RETURNS integer[] LANGUAGE plpgsql AS $$
DECLARE
  results integer[] := '{}';
BEGIN
  PERFORM pg_advisory_xact_lock(7428002);
  FOR i IN 1 .. coalesce(array_length(ips, 1), 0) LOOP
    results := results || lumo_add_one(decode(names[i], 'hex'), ips[i], ports[i], sources[i], blocks[i], nows[i],
                                       ttls[i], max_groups[i], max_per_source[i], max_per_block[i]);
  END LOOP;
  RETURN results;
END $$)sql",
};
// 1: the first shared schema; 2: networks counted, live counts in lumo_counts, batched adds.
constexpr int PostgresSchemaVersion = 2;
constexpr std::size_t PoolSize = 8;

struct Prepared {
    const char* name;
    const char* sql;
};
const Prepared Statements[] = {
    {"purge", "SELECT lumo_purge($1::bigint)"},
    {"remove", "SELECT lumo_remove($1, $2::int, $3::bigint)"},
    {"add", "SELECT lumo_add_batch($1::text[], $2::text[], $3::int[], $4::text[], $5::text[], $6::bigint[],"
            " $7::bigint[], $8::bigint[], $9::bigint[], $10::bigint[])"},
    {"generation", "SELECT value FROM lumo_meta WHERE key = 'generation'"},
};
// Not prepared: planned at every call for the table as it is (it runs a few times a second at most).
constexpr const char* ListQuery =
    "SELECT id, encode(name, 'hex'), ip, port, expires FROM lumo_groups WHERE expires > $1::bigint"
    " ORDER BY id DESC LIMIT $2::bigint";

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

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string fromHex(const std::string& hex)
{
    auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1])));
    return out;
}

// A PostgreSQL array literal of the texts, each quoted (an empty text is an element too).
class ArrayLiteral {
public:
    void add(const std::string& element)
    {
        text_ += text_.empty() ? "{\"" : ",\"";
        for (char c : element) {
            if (c == '"' || c == '\\') text_.push_back('\\');
            text_.push_back(c);
        }
        text_.push_back('"');
    }
    void add(std::int64_t number) { add(std::to_string(number)); }
    std::string text() const { return text_.empty() ? "{}" : text_ + "}"; }

private:
    std::string text_;
};

// The integers of an array literal as PostgreSQL writes an int[] ("{0,1,3}").
std::vector<int> parseIntegers(const std::string& literal)
{
    std::vector<int> values;
    const char* at = literal.c_str();
    while (*at) {
        if (*at == '-' || (*at >= '0' && *at <= '9')) {
            char* end = nullptr;
            values.push_back(static_cast<int>(std::strtol(at, &end, 10)));
            at = end;
        } else {
            ++at;
        }
    }
    return values;
}

// One connection: statements by name with text parameters.
class Connection {
public:
    explicit Connection(PGconn* conn) : conn_(conn) {}
    ~Connection() { PQfinish(conn_); }
    PGconn* get() const { return conn_; }

    Result exec(const char* sql) { return Result(PQexec(conn_, sql)); }
    Result run(const char* statement, const std::vector<std::string>& params)
    {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p.c_str());
        return Result(PQexecPrepared(conn_, statement, static_cast<int>(params.size()), values.data(), nullptr,
                                     nullptr, 0));
    }
    // An unnamed statement: planned for this call.
    Result runOnce(const char* sql, const std::vector<std::string>& params)
    {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p.c_str());
        return Result(PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0));
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

    std::vector<AddResult> addBatch(const std::vector<AddRequest>& requests) override
    {
        if (requests.empty()) return {};
        ArrayLiteral names, ips, ports, sources, blocks, nows, ttls, maxGroups, maxPerSource, maxPerBlock;
        for (const auto& r : requests) {
            names.add(hex(r.name));
            ips.add(r.ip);
            ports.add(r.port);
            sources.add(r.source);
            blocks.add(r.block);
            nows.add(r.now);
            ttls.add(r.ttl);
            maxGroups.add(static_cast<std::int64_t>(r.maxGroups));
            maxPerSource.add(static_cast<std::int64_t>(r.maxPerSource));
            maxPerBlock.add(static_cast<std::int64_t>(r.maxPerBlock));
        }
        const std::vector<AddResult> failed(requests.size(), AddResult::Failed);
        return withConnection<std::vector<AddResult>>(failed, [&](Connection& c) {
            Result result = c.run("add", {names.text(), ips.text(), ports.text(), sources.text(), blocks.text(),
                                          nows.text(), ttls.text(), maxGroups.text(), maxPerSource.text(),
                                          maxPerBlock.text()});
            if (!result.ok() || result.rows() != 1) {
                c.recover();
                return failed;
            }
            const std::vector<int> codes = parseIntegers(result.text(0, 0));
            if (codes.size() != requests.size()) return failed;
            std::vector<AddResult> results;
            for (int code : codes) {
                switch (code) {
                case 0: results.push_back(AddResult::Added); break;
                case 1: results.push_back(AddResult::Renewed); break;
                case 2: results.push_back(AddResult::Full); break;
                case 3: results.push_back(AddResult::SourceFull); break;
                case 5: results.push_back(AddResult::Renamed); break;
                case 6: results.push_back(AddResult::BlockFull); break;
                default: results.push_back(AddResult::Failed); break;
                }
            }
            return results;
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
            Result rows = c.runOnce(ListQuery, {std::to_string(now), std::to_string(limit)});
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
    bool step(Connection& c, const char* sql, std::string& error)
    {
        if (c.exec(sql).ok()) return true;
        error = PQerrorMessage(c.get());
        return false;
    }

    // Version 1 to 2: the network of every registration from its source, the live counts.
    bool migrateFromFirstSchema(Connection& c, std::string& error)
    {
        if (!step(c, "ALTER TABLE lumo_groups ADD COLUMN IF NOT EXISTS block text NOT NULL DEFAULT ''", error))
            return false;
        Result rows = c.exec("SELECT id, source FROM lumo_groups");
        if (!rows.ok()) {
            error = PQerrorMessage(c.get());
            return false;
        }
        for (int i = 0; i < rows.rows(); ++i) {
            Result set = c.runOnce("UPDATE lumo_groups SET block = $1 WHERE id = $2::bigint",
                                   {addressBlock(rows.text(i, 1)), rows.text(i, 0)});
            if (!set.ok()) {
                error = PQerrorMessage(c.get());
                return false;
            }
        }
        return step(c, "DROP INDEX IF EXISTS lumo_groups_source", error) &&
               step(c, "DROP FUNCTION IF EXISTS lumo_add(bytea, text, integer, text, bigint, bigint, bigint, bigint)",
                    error) &&
               step(c, "DELETE FROM lumo_meta WHERE key = 'live'", error) &&
               step(c, "UPDATE lumo_meta SET value = 2 WHERE key = 'schema'", error);
    }

    bool createSchema(Connection& c, std::string& error)
    {
        const char* tables[] = {
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
            " block text NOT NULL DEFAULT '',"
            " UNIQUE(ip, port))",
            "CREATE INDEX IF NOT EXISTS lumo_groups_expires ON lumo_groups(expires)",
            "INSERT INTO lumo_meta VALUES('generation', 0) ON CONFLICT DO NOTHING",
            // A database without it is new: it gets the current schema at once.
            "INSERT INTO lumo_meta VALUES('schema', 2) ON CONFLICT DO NOTHING",
        };
        for (const char* sql : tables) {
            if (!step(c, sql, error)) {
                c.exec("ROLLBACK");
                return false;
            }
        }
        Result version = c.exec("SELECT value FROM lumo_meta WHERE key = 'schema'");
        const std::int64_t found = version.ok() && version.rows() == 1 ? version.integer(0, 0) : -1;
        if (found < 1 || found > PostgresSchemaVersion) {
            error = "the database was set up by a newer lumo-directory";
            c.exec("ROLLBACK");
            return false;
        }
        if (found == 1 && !migrateFromFirstSchema(c, error)) {
            c.exec("ROLLBACK");
            return false;
        }
        const char* rest[] = {
            "CREATE TABLE IF NOT EXISTS lumo_counts(key text PRIMARY KEY, n bigint NOT NULL)",
            // Filled once, when the table is new: every other change keeps the counts.
            "INSERT INTO lumo_counts(key, n) SELECT key, n FROM ("
            "  SELECT 'all' AS key, count(*) AS n FROM lumo_groups"
            "  UNION ALL SELECT 's ' || source, count(*) FROM lumo_groups GROUP BY source"
            "  UNION ALL SELECT 'b ' || block, count(*) FROM lumo_groups GROUP BY block) counted"
            " WHERE NOT EXISTS (SELECT 1 FROM lumo_counts)",
            "INSERT INTO lumo_meta SELECT 'next_expiry', coalesce(min(expires), 9223372036854775807) FROM lumo_groups"
            " ON CONFLICT DO NOTHING",
            Functions[0],
            Functions[1],
            Functions[2],
            Functions[3],
            Functions[4],
        };
        for (const char* sql : rest) {
            if (!step(c, sql, error)) {
                c.exec("ROLLBACK");
                return false;
            }
        }
        return step(c, "COMMIT", error);
    }

    std::unique_ptr<Connection> connect(std::string& error)
    {
        // A database host that does not answer is given up after a few seconds (unless the URI
        // says otherwise), so that a request waits for it no longer than that.
        const char* keys[] = {"connect_timeout", "tcp_user_timeout", "dbname", nullptr};
        const char* values[] = {"3", "10000", uri_.c_str(), nullptr};
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
        // A request thread never waits on a stuck statement for longer than a client would.
        Result bounded = c->exec("SET statement_timeout = 10000");
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
