// The directory's store, the same cases against SQLite and against a real PostgreSQL server
// (a throw-away cluster; those cases are skipped when PostgreSQL is not installed). Times are
// given, not read from a clock: expiry is tested exactly.
#include "address_groups.h"
#include "group_store.h"
#include "list_publisher.h"
#include "pg_cluster.h"
#include "rate_limiter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace lumo::directory;
using lumo::test::PgCluster;

namespace {

constexpr Millis T0 = 1700000000000;
constexpr Millis Ttl = 2000;

AddRequest request(const std::string& ip, const std::string& name = "g", Millis now = T0, const std::string& source = "198.51.100.7")
{
    AddRequest r;
    r.name = name;
    r.ip = ip;
    r.port = 3555;
    r.source = addressGroup(source);
    r.block = addressBlock(source);
    r.now = now;
    r.ttl = Ttl;
    r.maxGroups = 100;
    r.maxPerSource = 100;
    r.maxPerBlock = 100;
    return r;
}

using Result = GroupStore::AddResult;

std::vector<std::string> names(const std::vector<Registration>& groups)
{
    std::vector<std::string> out;
    for (const auto& g : groups) out.push_back(g.name);
    return out;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        const int n = counter++;
        if (GetParam() == "sqlite") {
            folder_ = std::filesystem::temp_directory_path() /
                      ("lumo-store-" + std::to_string(::getpid()) + "-" + std::to_string(n));
            std::filesystem::create_directories(folder_);
            location_ = (folder_ / "groups.db").string();
            return;
        }
        const auto& uri = PgCluster::shared().uri();
        if (uri.empty()) GTEST_SKIP() << PgCluster::shared().why();
        // A database of its own for every case.
        location_ = PgCluster::shared().createDatabase("case" + std::to_string(n));
        ASSERT_FALSE(location_.empty());
    }
    void TearDown() override
    {
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    std::unique_ptr<GroupStore> open()
    {
        std::string error;
        auto store = openGroupStore(location_, error);
        EXPECT_TRUE(store) << error;
        return store;
    }

    std::filesystem::path folder_;
    std::string location_;
};

TEST_P(StoreTest, AddRenewRemoveAndTheNewestFirst)
{
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->add(request("192.0.2.1", "\xC8\xBA one")), Result::Added);
    EXPECT_EQ(store->add(request("192.0.2.2", "two")), Result::Added);
    EXPECT_EQ(store->add(request("192.0.2.3", "three")), Result::Added);
    EXPECT_EQ(names(store->list(T0, 100)), (std::vector<std::string>{"three", "two", "\xC8\xBA one"}));

    // A renewal keeps the group's id and place, and may rename it.
    const auto before = store->list(T0, 100);
    EXPECT_EQ(store->add(request("192.0.2.1", "renamed", T0 + 500)), Result::Renamed);
    const auto after = store->list(T0 + 500, 100);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].id, before[2].id);
    EXPECT_EQ(after[2].name, "renamed");
    EXPECT_EQ(after[2].expires, T0 + 500 + Ttl);

    // The cap keeps the newest.
    EXPECT_EQ(names(store->list(T0, 2)), (std::vector<std::string>{"three", "two"}));

    EXPECT_TRUE(store->remove("192.0.2.2", 3555, T0 + 600));
    EXPECT_FALSE(store->remove("192.0.2.2", 3555, T0 + 600));
    EXPECT_FALSE(store->remove("192.0.2.3", 4000, T0 + 600));  // another port is another group
    EXPECT_EQ(names(store->list(T0 + 600, 100)), (std::vector<std::string>{"three", "renamed"}));
    EXPECT_TRUE(store->healthy());
}

TEST_P(StoreTest, UnrenewedRegistrationsExpireExactlyAfterTheirLifetime)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_EQ(store->add(request("192.0.2.1", "renewed")), Result::Added);
    ASSERT_EQ(store->add(request("192.0.2.2", "abandoned")), Result::Added);
    EXPECT_EQ(store->list(T0 + Ttl - 1, 100).size(), 2u);
    ASSERT_EQ(store->add(request("192.0.2.1", "renewed", T0 + Ttl - 1)), Result::Renewed);
    EXPECT_EQ(names(store->list(T0 + Ttl, 100)), std::vector<std::string>{"renewed"});
    // An expired registration cannot be removed (it is gone already), and purging deletes it.
    EXPECT_FALSE(store->remove("192.0.2.2", 3555, T0 + Ttl));
    EXPECT_EQ(store->purge(T0 + Ttl), 1);
    EXPECT_EQ(store->purge(T0 + Ttl), 0);
    EXPECT_EQ(names(store->list(T0 + 2 * Ttl - 2, 100)), std::vector<std::string>{"renewed"});
    EXPECT_TRUE(store->list(T0 + 2 * Ttl - 1, 100).empty());

    // Coming back after the lifetime is a new registration, listed as the newest.
    ASSERT_EQ(store->add(request("192.0.2.3", "other", T0 + 3 * Ttl)), Result::Added);
    ASSERT_EQ(store->add(request("192.0.2.1", "back", T0 + 3 * Ttl)), Result::Added);
    EXPECT_EQ(names(store->list(T0 + 3 * Ttl, 100)), (std::vector<std::string>{"back", "other"}));
}

TEST_P(StoreTest, PerAddressAndTotalLimitsCountOnlyLiveRegistrations)
{
    auto store = open();
    ASSERT_TRUE(store);
    auto limited = [](const std::string& ip, const std::string& source, Millis now = T0) {
        AddRequest r = request(ip, "g", now, source);
        r.maxPerSource = 2;
        r.maxGroups = 3;
        return r;
    };
    EXPECT_EQ(store->add(limited("192.0.2.1", "a")), Result::Added);
    EXPECT_EQ(store->add(limited("192.0.2.2", "a")), Result::Added);
    EXPECT_EQ(store->add(limited("192.0.2.3", "a")), Result::SourceFull);
    // Renewing what the address holds is never refused.
    EXPECT_EQ(store->add(limited("192.0.2.2", "a", T0 + 10)), Result::Renewed);
    EXPECT_EQ(store->add(limited("192.0.2.4", "b")), Result::Added);
    EXPECT_EQ(store->add(limited("192.0.2.5", "c")), Result::Full);
    EXPECT_EQ(store->list(T0, 100).size(), 3u);
    // Once the first registrations lapse, their places are free again.
    EXPECT_EQ(store->add(limited("192.0.2.3", "a", T0 + Ttl)), Result::Added);
    EXPECT_EQ(store->add(limited("192.0.2.5", "c", T0 + Ttl)), Result::Added);
    // A removal frees its place at once.
    EXPECT_EQ(store->add(limited("192.0.2.6", "d", T0 + Ttl)), Result::Full);
    EXPECT_TRUE(store->remove("192.0.2.5", 3555, T0 + Ttl));
    EXPECT_EQ(store->add(limited("192.0.2.6", "d", T0 + Ttl)), Result::Added);
}

TEST_P(StoreTest, GenerationMovesWithTheListNotWithRenewals)
{
    auto store = open();
    ASSERT_TRUE(store);
    auto g = store->generation();
    auto moved = [&] {
        const auto now = store->generation();
        const bool changed = now != g;
        g = now;
        return changed;
    };
    ASSERT_EQ(store->add(request("192.0.2.1", "a")), Result::Added);
    EXPECT_TRUE(moved());
    ASSERT_EQ(store->add(request("192.0.2.1", "a", T0 + 1)), Result::Renewed);
    EXPECT_FALSE(moved());
    ASSERT_EQ(store->add(request("192.0.2.1", "b", T0 + 2)), Result::Renamed);
    EXPECT_TRUE(moved());
    ASSERT_TRUE(store->remove("192.0.2.1", 3555, T0 + 3));
    EXPECT_TRUE(moved());
    ASSERT_EQ(store->add(request("192.0.2.2", "c")), Result::Added);
    moved();
    EXPECT_EQ(store->purge(T0 + Ttl), 1);
    EXPECT_TRUE(moved());
}

// Two stores on one database stand for two directory processes: what one registers the other
// lists, and the per-address limit holds over both, even when they are asked at the same time.
TEST_P(StoreTest, TwoDirectoriesShareOneStoreAndItsLimits)
{
    auto first = open();
    auto second = open();
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->add(request("192.0.2.1", "from-first")), Result::Added);
    EXPECT_EQ(names(second->list(T0, 100)), std::vector<std::string>{"from-first"});
    EXPECT_TRUE(second->remove("192.0.2.1", 3555, T0));
    EXPECT_TRUE(first->list(T0, 100).empty());

    std::atomic<int> added{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            AddRequest r = request("192.0.2." + std::to_string(10 + i), "racer", T0 + 1, "203.0.113.1");
            r.maxPerSource = 3;
            if ((i % 2 ? first : second)->add(r) == Result::Added) ++added;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(added.load(), 3);
    EXPECT_EQ(first->list(T0 + 1, 100).size(), 3u);
}

// The published list: rendered when the store changed (through any process) or a listed group
// expired, not for renewals; many writes of this process are one rendering, and the caller that
// wrote waits for it while others do not.
TEST_P(StoreTest, PublishedListFollowsTheStore)
{
    auto mine = open();
    auto other = open();
    ASSERT_TRUE(mine && other);
    ListPublisher list(*mine, 100);
    ASSERT_EQ(mine->add(request("192.0.2.1", "a")), Result::Added);
    EXPECT_TRUE(list.refresh(T0));
    EXPECT_EQ(*list.current()->lines, std::string("1 a 192.0.2.1 3555 \xD4\xDA\xCF\xDF \r\n"));
    EXPECT_FALSE(list.refresh(T0 + 10));

    ASSERT_EQ(other->add(request("192.0.2.2", "b", T0 + 10)), Result::Added);
    EXPECT_EQ(list.current()->lines->find(" b "), std::string::npos);  // served as rendered
    EXPECT_TRUE(list.refresh(T0 + 20));
    EXPECT_NE(list.current()->lines->find(" b "), std::string::npos);

    // Renewals alone render nothing anew; a renewal that renames does.
    ASSERT_EQ(other->add(request("192.0.2.2", "b", T0 + 80)), Result::Renewed);
    EXPECT_FALSE(list.refresh(T0 + 80));
    ASSERT_EQ(other->add(request("192.0.2.2", "b2", T0 + 90)), Result::Renamed);
    EXPECT_TRUE(list.refresh(T0 + 90));
    EXPECT_NE(list.current()->lines->find(" b2 "), std::string::npos);

    // Writes of this process for one caller: that caller waits for the one rendering that
    // carries them all; another caller is answered from the current list at once.
    const std::string writer = "198.51.100.7";
    const auto before = list.renders();
    ASSERT_EQ(mine->add(request("192.0.2.3", "c", T0 + 100)), Result::Added);
    list.written(writer);
    ASSERT_EQ(mine->add(request("192.0.2.4", "d", T0 + 100)), Result::Added);
    list.written(writer);
    EXPECT_TRUE(list.lacksWriteOf(writer));
    EXPECT_FALSE(list.lacksWriteOf("203.0.113.9"));
    std::string seen;
    list.whenCarries(writer, [&] { seen = *list.current()->lines; });
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(list.refresh(T0 + 100));
    EXPECT_EQ(list.renders(), before + 1);
    EXPECT_NE(seen.find(" d "), std::string::npos);
    EXPECT_FALSE(list.lacksWriteOf(writer));
    bool atOnce = false;
    list.whenCarries(writer, [&] { atOnce = true; });
    EXPECT_TRUE(atOnce);

    // The best compression changes the bytes on the wire, never the list.
    const auto quick = list.current();
    EXPECT_TRUE(list.polish());
    EXPECT_FALSE(list.polish());
    EXPECT_EQ(list.current()->lines, quick->lines);
    EXPECT_LE(list.current()->deflated->size(), quick->deflated->size());

    // "a" was not renewed: the first look at or after its expiry drops it.
    EXPECT_FALSE(list.refresh(T0 + Ttl - 1));
    EXPECT_TRUE(list.refresh(T0 + Ttl));
    EXPECT_EQ(list.current()->lines->find(" a "), std::string::npos);
    EXPECT_NE(list.current()->lines->find(" b2 "), std::string::npos);
}

// One network (an IPv4 /24, an IPv6 /48) holds at most maxPerBlock live registrations, however
// many addresses it registers from: it cannot fill the directory, and others still get in.
TEST_P(StoreTest, OneNetworkCannotFillTheDirectory)
{
    auto store = open();
    ASSERT_TRUE(store);
    auto from = [](const std::string& source, int n, Millis now = T0) {
        AddRequest r = request("198.18." + std::to_string(n / 256) + '.' + std::to_string(n % 256), "g", now, source);
        r.maxGroups = 10;
        r.maxPerSource = 2;
        r.maxPerBlock = 4;
        return r;
    };
    struct Case {
        std::string source;
        Result expected;
    };
    const std::vector<Case> cases{
        {"192.0.2.1", Result::Added},
        {"192.0.2.1", Result::Added},
        {"192.0.2.1", Result::SourceFull},
        {"192.0.2.77", Result::Added},
        {"192.0.2.200", Result::Added},
        {"192.0.2.201", Result::BlockFull},  // the /24 holds four
        {"192.0.3.1", Result::Added},
        {"2001:db8:1:1::1", Result::Added},
        {"2001:db8:1:1::2", Result::Added},
        {"2001:db8:1:1::3", Result::SourceFull},  // the same /64
        {"2001:db8:1:2::1", Result::Added},
        {"2001:db8:1:ffff::1", Result::Added},
        {"2001:db8:1:3::1", Result::BlockFull},  // the /48 holds four
        {"2001:db8:2::1", Result::Added},
        {"203.0.113.1", Result::Full},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(store->add(from(cases[i].source, static_cast<int>(i))), cases[i].expected) << cases[i].source;
    // Renewing a registration of a full network is never refused.
    EXPECT_EQ(store->add(from("192.0.2.77", 3, T0 + 10)), Result::Renewed);
    // Lapsed registrations free their network's places.
    EXPECT_EQ(store->add(from("192.0.2.202", 100, T0 + Ttl)), Result::Added);
}

// A batch is one transaction in which every add is judged as if it came alone, in order.
TEST_P(StoreTest, BatchJudgesEachAddInOrder)
{
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_EQ(store->add(request("192.0.2.9", "kept")), Result::Added);
    auto limited = [](const std::string& ip, const std::string& name) {
        AddRequest r = request(ip, name, T0 + 1, "198.51.100.1");
        r.maxPerSource = 2;
        return r;
    };
    const auto results = store->addBatch({limited("192.0.2.1", "a"), limited("192.0.2.2", "b"),
                                          limited("192.0.2.3", "c"), limited("192.0.2.1", "a2"),
                                          limited("192.0.2.2", "b"), request("192.0.2.9", "kept", T0 + 1)});
    EXPECT_EQ(results, (std::vector<Result>{Result::Added, Result::Added, Result::SourceFull, Result::Renamed,
                                            Result::Renewed, Result::Renewed}));
    EXPECT_EQ(names(store->list(T0 + 1, 100)), (std::vector<std::string>{"b", "a2", "kept"}));
    EXPECT_TRUE(store->addBatch({}).empty());
}

// An expired registration not yet purged neither counts against a limit nor blocks its (ip,
// port): registering it again makes a new group, listed as the newest.
TEST_P(StoreTest, LapsedButUnpurgedRegistrationsMakeRoom)
{
    auto store = open();
    ASSERT_TRUE(store);
    auto tight = [](const std::string& ip, const std::string& source, Millis now) {
        AddRequest r = request(ip, ip, now, source);
        r.maxGroups = 2;
        r.maxPerSource = 1;
        r.maxPerBlock = 1;
        return r;
    };
    ASSERT_EQ(store->add(tight("192.0.2.1", "198.51.100.1", T0)), Result::Added);
    ASSERT_EQ(store->add(tight("192.0.2.2", "203.0.113.1", T0 + 5)), Result::Added);
    const auto firstId = store->list(T0 + 5, 10).back().id;
    ASSERT_EQ(store->add(tight("192.0.2.3", "198.51.100.2", T0 + 5)), Result::BlockFull);
    // No purge ran: the first lapsed, and its address, its network and its place are free.
    EXPECT_EQ(store->add(tight("192.0.2.3", "198.51.100.1", T0 + Ttl)), Result::Added);
    EXPECT_EQ(store->add(tight("192.0.2.1", "198.51.100.1", T0 + Ttl + 5)), Result::SourceFull);
    EXPECT_EQ(store->add(tight("192.0.2.1", "198.51.100.9", T0 + Ttl + 5)), Result::BlockFull);
    EXPECT_TRUE(store->remove("192.0.2.3", 3555, T0 + Ttl + 5));
    EXPECT_EQ(store->add(tight("192.0.2.1", "198.51.100.9", T0 + Ttl + 5)), Result::Added);
    const auto groups = store->list(T0 + Ttl + 5, 10);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].name, "192.0.2.1");
    EXPECT_GT(groups[0].id, firstId);
}

// A store that stops answering: the list served stays the last one rendered, and a caller
// waiting for its own write gets that list rather than waiting on.
TEST(ListPublisher, KeepsTheLastListWhileTheStoreIsDown)
{
    class FailingStore final : public GroupStore {
    public:
        std::vector<AddResult> addBatch(const std::vector<AddRequest>& r) override
        {
            return std::vector<AddResult>(r.size(), AddResult::Failed);
        }
        bool remove(const std::string&, int, Millis) override { return false; }
        std::vector<Registration> list(Millis, std::size_t) override
        {
            if (down) return {};
            return {{7, "kept", "192.0.2.7", 3555, T0 + 100}};
        }
        int purge(Millis) override { return 0; }
        std::int64_t generation() override { return down ? -1 : 1; }
        bool healthy() override { return !down; }
        bool down = false;
    } store;
    ListPublisher list(store, 10);
    ASSERT_TRUE(list.refresh(T0));
    const auto kept = list.current();
    ASSERT_NE(kept->lines->find("kept"), std::string::npos);
    store.down = true;
    list.written("198.51.100.7");
    bool released = false;
    list.whenCarries("198.51.100.7", [&] { released = true; });
    EXPECT_FALSE(list.refresh(T0 + 200));  // past the expiry, but nothing to render from
    EXPECT_TRUE(released);
    EXPECT_EQ(list.current(), kept);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& instance) { return instance.param; });

// A store file of the first schema (no expiry): its groups are kept for one default lifetime,
// during which their hosts can renew them.
TEST(SqliteStore, FirstSchemaIsMigrated)
{
    const auto folder = std::filesystem::temp_directory_path() / ("lumo-migrate-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "old.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE groups(id INTEGER PRIMARY KEY AUTOINCREMENT, name BLOB NOT NULL,"
                           " ip TEXT NOT NULL, port INTEGER NOT NULL, registered INTEGER NOT NULL, UNIQUE(ip, port));"
                           "INSERT INTO groups(name, ip, port, registered) VALUES('old', '192.0.2.9', 3555, 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    std::string error;
    auto store = openSqliteStore(path, error);
    ASSERT_TRUE(store) << error;
    const Millis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const auto groups = store->list(now, 10);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].name, "old");
    EXPECT_GT(groups[0].expires, now + 200000);
    EXPECT_EQ(store->add(request("192.0.2.9", "old", now)), Result::Renewed);
    store.reset();
    ASSERT_TRUE(openSqliteStore(path, error)) << error;  // opening again changes nothing
    std::filesystem::remove_all(folder);
}

TEST(SqliteStore, UnusableFileIsReported)
{
    std::string error;
    EXPECT_FALSE(openSqliteStore("/nonexistent-folder/x.db", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(openGroupStore("postgresql://nobody@/none?host=/nonexistent-folder", error));
    EXPECT_FALSE(error.empty());
}

// The per-address limits count an IPv6 /64 as one address: a caller cannot escape them by
// taking another address from its own network.
TEST(AddressGroup, Ipv6NetworksCountAsOneAddress)
{
    EXPECT_EQ(addressGroup("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(addressGroup("2001:db8:1:2::5"), "2001:db8:1:2::/64");
    EXPECT_EQ(addressGroup("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), addressGroup("2001:db8:1:2::1"));
    EXPECT_NE(addressGroup("2001:db8:1:3::1"), addressGroup("2001:db8:1:2::1"));
    EXPECT_EQ(addressGroup("::1"), "::/64");
    EXPECT_EQ(addressGroup("not:an address"), "not:an address");
}

// What psql prints for the last of the commands, for looking into a test database.
std::string psql(const std::string& uri, const std::string& sql)
{
    std::string output;
    FILE* pipe = ::popen(("psql '" + uri + "' -Atc \"" + sql + "\" 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[256];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output.substr(output.rfind('\n') + 1);
}

// The statistics of the stores' tables, once every other connection to the database has ended
// (a connection hands its counts over as it ends).
struct TableScans {
    std::int64_t sequential = 0;
    std::int64_t inserted = 0;
};
TableScans tableScans(const std::string& uri)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string row = psql(
            uri, "SELECT (SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
                 "  AND pid <> pg_backend_pid() AND backend_type = 'client backend'),"
                 " (SELECT sum(seq_scan) FROM pg_stat_user_tables WHERE relname IN ('lumo_groups', 'lumo_counts')),"
                 " (SELECT n_tup_ins FROM pg_stat_user_tables WHERE relname = 'lumo_groups')");
        const auto bar = row.find('|');
        if (row.rfind("0|", 0) == 0)
            return {std::atoll(row.c_str() + bar + 1), std::atoll(row.c_str() + row.rfind('|') + 1)};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {-1, -1};
}

// The fault this guards against: a pooled connection that first ran the add while the table held
// a few analysed rows keeps a plan that scans the whole table, and a burst then fills it. Every
// add, renewal, rename, refusal and removal here must find its rows without such a scan. The
// counts of a connection reach the statistics when it closes; opening a store that is then left
// idle scans a little, and is the baseline.
TEST(PostgresStore, LookupsUseTheirIndexesWhateverTheTableHeldAtStart)
{
    const auto& cluster = PgCluster::shared();
    if (cluster.uri().empty()) GTEST_SKIP() << cluster.why();
    const std::string uri = PgCluster::shared().createDatabase("indexes");
    ASSERT_FALSE(uri.empty());
    std::string error;
    ASSERT_TRUE(openGroupStore(uri, error)) << error;  // sets up the schema
    const TableScans start = tableScans(uri);
    ASSERT_TRUE(openGroupStore(uri, error)) << error;
    const TableScans opened = tableScans(uri);
    {
        auto store = openGroupStore(uri, error);
        ASSERT_TRUE(store) << error;
        auto from = [](int n, const std::string& name = "g") {
            AddRequest r = request("10.0." + std::to_string(n / 256) + '.' + std::to_string(n % 256), name, T0,
                                   "198.51." + std::to_string(n % 100) + '.' + std::to_string(n % 7));
            r.maxGroups = 100000;
            r.maxPerSource = 1000;
            return r;
        };
        for (int n = 0; n < 50; ++n) ASSERT_EQ(store->add(from(n)), Result::Added);
        ASSERT_EQ(psql(uri, "ANALYZE lumo_groups; ANALYZE lumo_counts"), "ANALYZE");
        // Enough calls on the one pooled connection for its plans to be cached for this size.
        for (int round = 0; round < 10; ++round) ASSERT_EQ(store->add(from(round)), Result::Renewed);
        std::vector<AddRequest> burst;
        for (int n = 50; n < 3050; ++n) {
            burst.push_back(from(n));
            if (burst.size() == 100) {
                ASSERT_EQ(store->addBatch(burst), std::vector<Result>(100, Result::Added));
                burst.clear();
            }
        }
        EXPECT_EQ(store->add(from(7)), Result::Renewed);
        EXPECT_EQ(store->add(from(8, "renamed")), Result::Renamed);
        AddRequest refused = from(5000);
        refused.maxPerSource = 1;
        EXPECT_EQ(store->add(refused), Result::SourceFull);
        EXPECT_TRUE(store->remove("10.0.0.9", 3555, T0));
    }
    const TableScans done = tableScans(uri);
    ASSERT_GE(done.inserted - opened.inserted, 3050);  // the statistics did arrive
    EXPECT_EQ(done.sequential - opened.sequential, opened.sequential - start.sequential);
}

// A database set up by the first shared schema (no networks, one 'live' count): opened by this
// version, its registrations keep counting against their address, their network and the total.
TEST(PostgresStore, FirstSchemaIsMigrated)
{
    const auto& cluster = PgCluster::shared();
    if (cluster.uri().empty()) GTEST_SKIP() << cluster.why();
    const std::string uri = PgCluster::shared().createDatabase("firstschema");
    ASSERT_FALSE(uri.empty());
    ASSERT_EQ(psql(uri, "CREATE TABLE lumo_meta(key text PRIMARY KEY, value bigint NOT NULL);"
                        "CREATE TABLE lumo_groups(id bigserial PRIMARY KEY, name bytea NOT NULL, ip text NOT NULL,"
                        " port integer NOT NULL, registered bigint NOT NULL, expires bigint NOT NULL,"
                        " source text NOT NULL, UNIQUE(ip, port));"
                        "CREATE INDEX lumo_groups_source ON lumo_groups(source);"
                        "INSERT INTO lumo_meta VALUES ('generation', 4), ('schema', 1), ('live', 3);"
                        "INSERT INTO lumo_groups(name, ip, port, registered, expires, source) VALUES"
                        " ('a', '192.0.2.1', 3555, 1, " + std::to_string(T0 + Ttl) + ", '198.51.100.1'),"
                        " ('b', '192.0.2.2', 3555, 1, " + std::to_string(T0 + Ttl) + ", '198.51.100.2'),"
                        " ('c', '192.0.2.3', 3555, 1, " + std::to_string(T0 + Ttl) + ", '2001:db8:1:2::/64')"),
              "INSERT 0 3");
    std::string error;
    auto store = openGroupStore(uri, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(names(store->list(T0, 10)), (std::vector<std::string>{"c", "b", "a"}));
    auto add = [](const std::string& ip, const std::string& source) {
        AddRequest r = request(ip, "new", T0, source);
        r.maxGroups = 5;
        r.maxPerSource = 1;
        r.maxPerBlock = 2;
        return r;
    };
    EXPECT_EQ(store->add(add("192.0.2.9", "198.51.100.1")), Result::SourceFull);
    EXPECT_EQ(store->add(add("192.0.2.9", "198.51.100.3")), Result::BlockFull);
    EXPECT_EQ(store->add(add("192.0.2.9", "2001:db8:1:3::1")), Result::Added);
    EXPECT_EQ(store->add(add("192.0.2.10", "203.0.113.1")), Result::Added);
    EXPECT_EQ(store->add(add("192.0.2.11", "203.0.114.1")), Result::Full);
    EXPECT_EQ(store->add(add("192.0.2.1", "198.51.100.1")), Result::Renamed);
    EXPECT_EQ(psql(uri, "SELECT count(*) FROM pg_proc WHERE proname = 'lumo_add'"), "0");
    store.reset();
    ASSERT_TRUE(openGroupStore(uri, error)) << error;  // opening again changes nothing
}

// An SQLite store of the second schema (no networks): its registrations count against their
// network once opened by this version.
TEST(SqliteStore, SecondSchemaIsMigrated)
{
    const auto folder = std::filesystem::temp_directory_path() / ("lumo-migrate2-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "second.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string expires = std::to_string(T0 + Ttl);
    ASSERT_EQ(sqlite3_exec(db,
                           ("CREATE TABLE groups(id INTEGER PRIMARY KEY AUTOINCREMENT, name BLOB NOT NULL,"
                            " ip TEXT NOT NULL, port INTEGER NOT NULL, registered INTEGER NOT NULL,"
                            " expires INTEGER NOT NULL, source TEXT NOT NULL, UNIQUE(ip, port));"
                            "CREATE INDEX groups_expires ON groups(expires);"
                            "CREATE INDEX groups_source ON groups(source);"
                            "CREATE TABLE meta(generation INTEGER NOT NULL); INSERT INTO meta VALUES (3);"
                            "INSERT INTO groups(name, ip, port, registered, expires, source) VALUES"
                            " ('a', '192.0.2.1', 3555, 1, " + expires + ", '198.51.100.1'),"
                            " ('b', '192.0.2.2', 3555, 1, " + expires + ", '198.51.100.2');"
                            "PRAGMA user_version = 2;")
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    auto store = openSqliteStore(path, error);
    ASSERT_TRUE(store) << error;
    AddRequest r = request("192.0.2.9", "new", T0, "198.51.100.3");
    r.maxPerBlock = 2;
    EXPECT_EQ(store->add(r), Result::BlockFull);
    r.maxPerBlock = 3;
    r.maxGroups = 3;
    EXPECT_EQ(store->add(r), Result::Added);
    EXPECT_EQ(store->add(request("192.0.2.10", "more", T0, "203.0.113.1")), Result::Added);
    AddRequest full = request("192.0.2.11", "full", T0, "203.0.113.2");
    full.maxGroups = 4;
    EXPECT_EQ(store->add(full), Result::Full);
    store.reset();
    ASSERT_TRUE(openSqliteStore(path, error)) << error;
    std::filesystem::remove_all(folder);
}

// The network the per-network limit counts: an IPv4 /24, an IPv6 /48, from an address or from
// the /64 the per-address limit counts.
TEST(AddressGroup, NetworksAreSlash24AndSlash48)
{
    EXPECT_EQ(addressBlock("192.0.2.7"), "192.0.2.0/24");
    EXPECT_EQ(addressBlock("192.0.2.255"), addressBlock("192.0.2.0"));
    EXPECT_NE(addressBlock("192.0.3.1"), addressBlock("192.0.2.1"));
    EXPECT_EQ(addressBlock("2001:db8:1:2::5"), "2001:db8:1::/48");
    EXPECT_EQ(addressBlock(addressGroup("2001:db8:1:ffff:1::9")), "2001:db8:1::/48");
    EXPECT_NE(addressBlock("2001:db8:2::1"), addressBlock("2001:db8:1::1"));
    EXPECT_EQ(addressBlock("not an address"), "not an address");
    EXPECT_EQ(addressGroup("2001:db8:1:2::/64"), "2001:db8:1:2::/64");
}

TEST(RateLimiter, BurstThenRateAndEveryAddressApart)
{
    RateLimiter limiter(2, 3, 4);
    std::int64_t retry = 0;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.allow("a", 0, retry));
    EXPECT_FALSE(limiter.allow("a", 0, retry));
    EXPECT_EQ(retry, 501);
    EXPECT_TRUE(limiter.allow("b", 0, retry));  // another address has its own bucket
    EXPECT_FALSE(limiter.allow("a", 400, retry));
    EXPECT_TRUE(limiter.allow("a", 500, retry));
    EXPECT_FALSE(limiter.allow("a", 500, retry));
    // A clock that steps back refills nothing, then or when it moves on: the refill counts from
    // the latest time seen, not from the earlier one (0.1 s after 500 gives 0.2 tokens, not 1).
    EXPECT_FALSE(limiter.allow("a", 100, retry));
    EXPECT_FALSE(limiter.allow("a", 600, retry));
    // The table stays bounded: idle callers are forgotten to make room.
    for (int i = 0; i < 50; ++i) limiter.allow("c" + std::to_string(i), 10000 + i, retry);
    EXPECT_LE(limiter.size(), 4u);
    RateLimiter off(0, 1);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(off.allow("a", 0, retry));
}

}  // namespace
