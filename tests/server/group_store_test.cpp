// The directory's store, the same cases against SQLite and against a real PostgreSQL server
// (a throw-away cluster; those cases are skipped when PostgreSQL is not installed). Times are
// given, not read from a clock: expiry is tested exactly.
#include "group_store.h"
#include "http_server.h"
#include "list_cache.h"
#include "pg_cluster.h"
#include "rate_limiter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
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
    r.source = source;
    r.now = now;
    r.ttl = Ttl;
    r.maxGroups = 100;
    r.maxPerSource = 100;
    return r;
}

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
    EXPECT_EQ(store->add(request("192.0.2.1", "\xC8\xBA one")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(request("192.0.2.2", "two")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(request("192.0.2.3", "three")), GroupStore::AddResult::Added);
    EXPECT_EQ(names(store->list(T0, 100)), (std::vector<std::string>{"three", "two", "\xC8\xBA one"}));

    // A renewal keeps the group's id and place, and may rename it.
    const auto before = store->list(T0, 100);
    EXPECT_EQ(store->add(request("192.0.2.1", "renamed", T0 + 500)), GroupStore::AddResult::Renamed);
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
    ASSERT_EQ(store->add(request("192.0.2.1", "renewed")), GroupStore::AddResult::Added);
    ASSERT_EQ(store->add(request("192.0.2.2", "abandoned")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->list(T0 + Ttl - 1, 100).size(), 2u);
    ASSERT_EQ(store->add(request("192.0.2.1", "renewed", T0 + Ttl - 1)), GroupStore::AddResult::Renewed);
    EXPECT_EQ(names(store->list(T0 + Ttl, 100)), std::vector<std::string>{"renewed"});
    // An expired registration cannot be removed (it is gone already), and purging deletes it.
    EXPECT_FALSE(store->remove("192.0.2.2", 3555, T0 + Ttl));
    EXPECT_EQ(store->purge(T0 + Ttl), 1);
    EXPECT_EQ(store->purge(T0 + Ttl), 0);
    EXPECT_EQ(names(store->list(T0 + 2 * Ttl - 2, 100)), std::vector<std::string>{"renewed"});
    EXPECT_TRUE(store->list(T0 + 2 * Ttl - 1, 100).empty());

    // Coming back after the lifetime is a new registration, listed as the newest.
    ASSERT_EQ(store->add(request("192.0.2.3", "other", T0 + 3 * Ttl)), GroupStore::AddResult::Added);
    ASSERT_EQ(store->add(request("192.0.2.1", "back", T0 + 3 * Ttl)), GroupStore::AddResult::Added);
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
    EXPECT_EQ(store->add(limited("192.0.2.1", "a")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(limited("192.0.2.2", "a")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(limited("192.0.2.3", "a")), GroupStore::AddResult::SourceFull);
    // Renewing what the address holds is never refused.
    EXPECT_EQ(store->add(limited("192.0.2.2", "a", T0 + 10)), GroupStore::AddResult::Renewed);
    EXPECT_EQ(store->add(limited("192.0.2.4", "b")), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(limited("192.0.2.5", "c")), GroupStore::AddResult::Full);
    EXPECT_EQ(store->list(T0, 100).size(), 3u);
    // Once the first registrations lapse, their places are free again.
    EXPECT_EQ(store->add(limited("192.0.2.3", "a", T0 + Ttl)), GroupStore::AddResult::Added);
    EXPECT_EQ(store->add(limited("192.0.2.5", "c", T0 + Ttl)), GroupStore::AddResult::Added);
    // A removal frees its place at once.
    EXPECT_EQ(store->add(limited("192.0.2.6", "d", T0 + Ttl)), GroupStore::AddResult::Full);
    EXPECT_TRUE(store->remove("192.0.2.5", 3555, T0 + Ttl));
    EXPECT_EQ(store->add(limited("192.0.2.6", "d", T0 + Ttl)), GroupStore::AddResult::Added);
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
    ASSERT_EQ(store->add(request("192.0.2.1", "a")), GroupStore::AddResult::Added);
    EXPECT_TRUE(moved());
    ASSERT_EQ(store->add(request("192.0.2.1", "a", T0 + 1)), GroupStore::AddResult::Renewed);
    EXPECT_FALSE(moved());
    ASSERT_EQ(store->add(request("192.0.2.1", "b", T0 + 2)), GroupStore::AddResult::Renamed);
    EXPECT_TRUE(moved());
    ASSERT_TRUE(store->remove("192.0.2.1", 3555, T0 + 3));
    EXPECT_TRUE(moved());
    ASSERT_EQ(store->add(request("192.0.2.2", "c")), GroupStore::AddResult::Added);
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
    ASSERT_EQ(first->add(request("192.0.2.1", "from-first")), GroupStore::AddResult::Added);
    EXPECT_EQ(names(second->list(T0, 100)), std::vector<std::string>{"from-first"});
    EXPECT_TRUE(second->remove("192.0.2.1", 3555, T0));
    EXPECT_TRUE(first->list(T0, 100).empty());

    std::atomic<int> added{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            AddRequest r = request("192.0.2." + std::to_string(10 + i), "racer", T0 + 1, "203.0.113.1");
            r.maxPerSource = 3;
            if ((i % 2 ? first : second)->add(r) == GroupStore::AddResult::Added) ++added;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(added.load(), 3);
    EXPECT_EQ(first->list(T0 + 1, 100).size(), 3u);
}

// The rendered list: renders once and serves that until told; a look for staleness renders
// anew only when another store on the database changed something or a listed group expired,
// not for renewals; a store that stops answering leaves the last list served.
TEST_P(StoreTest, RenderedListFollowsTheStore)
{
    auto mine = open();
    auto other = open();
    ASSERT_TRUE(mine && other);
    ListCache cache(*mine, 100);
    ASSERT_EQ(mine->add(request("192.0.2.1", "a")), GroupStore::AddResult::Added);
    EXPECT_EQ(*cache.lines(T0), std::string("1 a 192.0.2.1 3555 \xD4\xDA\xCF\xDF \r\n"));
    EXPECT_FALSE(cache.refreshIfStale(T0 + 10));
    EXPECT_EQ(cache.renders(), 1u);

    ASSERT_EQ(other->add(request("192.0.2.2", "b", T0 + 10)), GroupStore::AddResult::Added);
    EXPECT_EQ(cache.lines(T0 + 20)->find(" b "), std::string::npos);  // served as rendered
    EXPECT_TRUE(cache.refreshIfStale(T0 + 20));
    EXPECT_NE(cache.lines(T0 + 20)->find(" b "), std::string::npos);

    // Renewals alone render nothing anew; a renewal that renames does.
    ASSERT_EQ(other->add(request("192.0.2.2", "b", T0 + 80)), GroupStore::AddResult::Renewed);
    EXPECT_FALSE(cache.refreshIfStale(T0 + 80));
    ASSERT_EQ(other->add(request("192.0.2.2", "b2", T0 + 90)), GroupStore::AddResult::Renamed);
    EXPECT_TRUE(cache.refreshIfStale(T0 + 90));
    EXPECT_NE(cache.lines(T0 + 90)->find(" b2 "), std::string::npos);

    // Writes of this process: the next list renders once, however many writes came before.
    const auto before = cache.renders();
    ASSERT_EQ(mine->add(request("192.0.2.3", "c", T0 + 100)), GroupStore::AddResult::Added);
    cache.markStale();
    ASSERT_EQ(mine->add(request("192.0.2.4", "d", T0 + 100)), GroupStore::AddResult::Added);
    cache.markStale();
    EXPECT_EQ(cache.renders(), before);
    EXPECT_NE(cache.lines(T0 + 100)->find("4 d "), std::string::npos);
    cache.lines(T0 + 101);
    EXPECT_EQ(cache.renders(), before + 1);

    // "a" was not renewed: the first look at or after its expiry drops it.
    EXPECT_FALSE(cache.refreshIfStale(T0 + Ttl - 1));
    EXPECT_TRUE(cache.refreshIfStale(T0 + Ttl));
    EXPECT_EQ(cache.lines(T0 + Ttl)->find(" a "), std::string::npos);
    EXPECT_NE(cache.lines(T0 + Ttl)->find(" b2 "), std::string::npos);
}

// A store that stops answering: the list served stays the last one rendered.
TEST(ListCache, KeepsTheLastListWhileTheStoreIsDown)
{
    class FailingStore final : public GroupStore {
    public:
        AddResult add(const AddRequest&) override { return AddResult::Failed; }
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
    ListCache cache(store, 10);
    const std::string kept = *cache.lines(T0);
    ASSERT_NE(kept.find("kept"), std::string::npos);
    store.down = true;
    EXPECT_FALSE(cache.refreshIfStale(T0 + 200));  // past the expiry, but nothing to render from
    EXPECT_EQ(*cache.lines(T0 + 200), kept);
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
    EXPECT_EQ(store->add(request("192.0.2.9", "old", now)), GroupStore::AddResult::Renewed);
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
    // A clock that steps back refills nothing and breaks nothing.
    EXPECT_FALSE(limiter.allow("a", 100, retry));
    // The table stays bounded: idle callers are forgotten to make room.
    for (int i = 0; i < 50; ++i) limiter.allow("c" + std::to_string(i), 10000 + i, retry);
    EXPECT_LE(limiter.size(), 4u);
    RateLimiter off(0, 1);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(off.allow("a", 0, retry));
}

}  // namespace
