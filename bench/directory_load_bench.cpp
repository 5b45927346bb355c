// Load on lumo-directory, with an SQLite store and with a PostgreSQL store (a throw-away
// cluster), each beside floors measured in the same run. Figures are printed, never judged.
//
//   directory_load_bench [--seconds S] [--rounds R] [--clients C] [--groups N] [--writes W]
//                        [--fresh-connections] [--directory PATH]
//
// Registrations: N groups registered through HTTP by 8 clients (a connection per add, from 200
// loopback addresses), beside the floor of the database alone: the store's own add, one add per
// transaction, by 8 threads.
// The list, with N groups: requests per second and their p50 and p99 latency from C load
// clients, plain and gzip, beside the floor: a minimal C epoll server (directory_floor_server)
// that sends the same bytes from memory; then with the list's ETag (answered 304); then plain
// again while W changes a second (registrations and removals) come from another address. The
// list runs are repeated in R rounds (default 3 of 3 s each), floor and program alternating.
// --fresh-connections opens a connection per list request, as LUMO clients do; by default each
// load client keeps its connection alive. --directory runs another lumo-directory binary (an
// older build, to compare). The load clients share the machine's cores with the servers.
#include "address_groups.h"
#include "group_store.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef LUMO_DIRECTORY_BINARY
#define LUMO_DIRECTORY_BINARY ""
#endif
#ifndef LUMO_FLOOR_BINARY
#define LUMO_FLOOR_BINARY ""
#endif
#ifndef LUMO_SOURCE_DIR
#define LUMO_SOURCE_DIR "."
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace lumo::directory;

struct Settings {
    double seconds = 3;
    int rounds = 3;
    int clients = 4;
    int groups = 10000;
    int writes = 200;
    bool fresh = false;
    std::string directory = LUMO_DIRECTORY_BINARY;
};

struct Reply {
    int status = 0;
    std::size_t wireBytes = 0;  // head and body as received
    std::string head;
    std::string body;
};

// One HTTP/1.1 client connection to 127.0.0.1 that reads replies by their Content-Length.
class Connection {
public:
    // source: the loopback address requests leave from (127.0.0.1 when 0).
    explicit Connection(int port, std::uint32_t source = 0) : port_(port), source_(source) {}
    ~Connection() { drop(); }

    // Sends one GET with the extra header lines and reads the whole reply; false on any failure.
    bool get(const std::string& target, const std::string& headers = {}, Reply* reply = nullptr)
    {
        if (fd_ < 0 && !open()) return false;
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: bench\r\n" + headers + "\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return drop();
        std::size_t end = std::string::npos;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return drop();
        }
        const std::string head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        const int status = std::atoi(head.c_str() + 9);
        std::size_t length = 0;
        if (const auto at = head.find("Content-Length: "); at != std::string::npos)
            length = std::stoul(head.substr(at + 16));
        else if (status != 304)
            return drop();
        if (status == 304) length = 0;
        while (buffer_.size() < length) {
            if (!fill()) return drop();
        }
        if (reply) {
            reply->status = status;
            reply->wireBytes = head.size() + length;
            reply->head = head;
            reply->body = buffer_.substr(0, length);
        }
        buffer_.erase(0, length);
        if (head.find("Connection: close") != std::string::npos) drop();
        return status == 200 || status == 304;
    }
    bool drop()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
        return false;
    }

private:
    bool open()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int yes = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        if (source_ != 0) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(source_);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return drop();
        }
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return drop();
        return true;
    }
    bool fill()
    {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int port_;
    std::uint32_t source_;
    int fd_ = -1;
    std::string buffer_;
};

struct LoadResult {
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double bytesPerRequest = 0;
    long failures = 0;
    long notModified = 0;
    long requests = 0;
    double cpuMicrosPerRequest = 0;  // the server process's CPU time (user and system) per request
};

// CPU seconds a process has used so far, all its threads, user and system.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto afterName = text.rfind(')');
    if (afterName == std::string::npos) return 0;
    // Fields after the name: state is the 3rd field of the line, utime the 14th, stime the 15th.
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::atof(field.c_str());
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

LoadResult load(int port, pid_t server, const std::string& headers, const Settings& settings)
{
    const double cpuBefore = cpuSeconds(server);
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(settings.clients));
    std::atomic<long> failures{0}, notModified{0};
    std::atomic<std::size_t> bytes{0};
    const auto until = Clock::now() + std::chrono::duration<double>(settings.seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < settings.clients; ++c) {
        threads.emplace_back([&, c] {
            Connection connection(port);
            auto& mine = latencies[static_cast<std::size_t>(c)];
            Reply reply;
            while (Clock::now() < until) {
                const auto start = Clock::now();
                if (!connection.get("/lumo.asp", headers, &reply)) ++failures;
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                bytes += reply.wireBytes;
                if (reply.status == 304) ++notModified;
                if (settings.fresh) connection.drop();
            }
        });
    }
    for (auto& t : threads) t.join();
    const double cpu = cpuSeconds(server) - cpuBefore;
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    LoadResult result;
    if (all.empty()) return result;
    result.requests = static_cast<long>(all.size());
    result.perSecond = static_cast<double>(all.size()) / settings.seconds;
    result.p50Ms = all[all.size() / 2];
    result.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    result.bytesPerRequest = static_cast<double>(bytes.load()) / static_cast<double>(all.size());
    result.failures = failures;
    result.notModified = notModified;
    result.cpuMicrosPerRequest = cpu * 1e6 / static_cast<double>(all.size());
    return result;
}

// The groups come from 200 loopback addresses, each in a /24 of its own, at most PerSource
// each, as hosts do (the server runs with its per-address limit at PerSource, its per-network
// limit as it is).
constexpr int Sources = 200;
constexpr int PerSource = 64;
constexpr int AddClients = 8;

std::string groupIp(int i)
{
    return "10." + std::to_string(i / 65536) + '.' + std::to_string(i / 256 % 256) + '.' + std::to_string(i % 256);
}
// 127.0.k.2
std::uint32_t groupSource(int i) { return 0x7F000002u + (static_cast<std::uint32_t>(i % Sources) << 8); }

// Registers `groups` groups through HTTP; returns adds per second, and the server's CPU time
// per add in `cpuMicros`.
double registerGroups(int port, pid_t server, int groups, double& cpuMicros)
{
    const double cpuBefore = cpuSeconds(server);
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < AddClients; ++c) {
        threads.emplace_back([&] {
            for (int i = next++; i < groups; i = next++) {
                // A fresh connection per registration, from the group's own source address.
                Connection connection(port, groupSource(i));
                if (!connection.get("/lumoadd.asp?name=%C8%BA" + std::to_string(i) + "&ip=" + groupIp(i) + "&port=3555"))
                    ++failed;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::printf("  (%d registrations failed)\n", failed.load());
    cpuMicros = (cpuSeconds(server) - cpuBefore) * 1e6 / groups;
    return groups / seconds;
}

// The same registrations straight into a store of their own: one add per transaction.
double databaseOnlyAdds(const std::string& location, int groups)
{
    std::string error;
    const auto store = openGroupStore(location, error);
    if (!store) {
        std::printf("  (the database-only floor could not open its store: %s)\n", error.c_str());
        return 0;
    }
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < AddClients; ++c) {
        threads.emplace_back([&] {
            for (int i = next++; i < groups; i = next++) {
                char source[INET_ADDRSTRLEN];
                const in_addr address{htonl(groupSource(i))};
                inet_ntop(AF_INET, &address, source, sizeof source);
                AddRequest r;
                r.name = "\xC8\xBA" + std::to_string(i);
                r.ip = groupIp(i);
                r.port = 3555;
                r.source = source;
                r.block = addressBlock(source);
                r.now = now;
                r.maxGroups = 1000000;
                r.maxPerSource = PerSource;
                r.maxPerBlock = 64;
                if (store->add(r) != GroupStore::AddResult::Added) ++failed;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::printf("  (%d database-only adds failed)\n", failed.load());
    return groups / seconds;
}

std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[512];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    return output.substr(0, output.find('\n'));
}

// A server process whose first line of output is "listening on ...:PORT" (or "listening on
// PORT"); its further output is read and dropped, so that it never blocks on a full pipe.
class Process {
public:
    explicit Process(const std::vector<std::string>& command)
    {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> argv;
            for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        out_ = out[0];
        const auto colon = line.find_last_of(": ");
        if (line.rfind("listening on", 0) == 0 && colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
        drain_ = std::thread([fd = out_] {
            char buffer[4096];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        });
    }
    ~Process()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (drain_.joinable()) drain_.join();
        if (out_ >= 0) ::close(out_);
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int port_ = -1;
    int out_ = -1;
    std::thread drain_;
};

// Changes to the list at `perSecond`, from an address of their own: a registration, then its
// removal, and so on. Runs until destroyed, and leaves the list as it found it.
class Writer {
public:
    Writer(int port, int perSecond) : thread_([this, port, perSecond] {
        const auto step = std::chrono::duration<double>(1.0 / std::max(1, perSecond));
        auto next = Clock::now();
        for (int i = 0; !stop_ || i % 2 == 1; ++i) {
            Connection connection(port, 0x7F010001u);
            const std::string endpoint = "&ip=10.250." + std::to_string(i / 512 % 256) + '.' +
                                         std::to_string(i / 2 % 256) + "&port=3555";
            if (!connection.get(i % 2 == 0 ? "/lumoadd.asp?name=w" + endpoint : "/lumomove.asp?name=id" + endpoint))
                ++failed_;
            next += std::chrono::duration_cast<Clock::duration>(step);
            std::this_thread::sleep_until(next);
        }
    })
    {
    }
    ~Writer()
    {
        stop_ = true;
        thread_.join();
    }
    long failed() const { return failed_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> failed_{0};
    std::thread thread_;
};

double median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Medians of the rounds; `ratio` (to the floor's requests a second) when there is one.
void report(const char* name, const std::vector<LoadResult>& runs, double ratio)
{
    const auto of = [&](double LoadResult::*field) {
        std::vector<double> values;
        for (const auto& r : runs) values.push_back(r.*field);
        return median(values);
    };
    long failures = 0;
    for (const auto& r : runs) failures += r.failures;
    std::printf("  %-34s %8.0f req/s  p50 %5.2f ms  p99 %5.2f ms  %8.0f B/req  %6.1f us CPU/req", name,
                of(&LoadResult::perSecond), of(&LoadResult::p50Ms), of(&LoadResult::p99Ms),
                of(&LoadResult::bytesPerRequest), of(&LoadResult::cpuMicrosPerRequest));
    if (ratio > 0) std::printf("  %4.2fx", ratio);
    if (failures) std::printf("  (%ld failed)", failures);
    std::printf("\n");
}

std::string headerValue(const std::string& head, const std::string& name)
{
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) settings.seconds = std::atof(argv[++i]);
        else if (arg == "--clients" && i + 1 < argc) settings.clients = std::atoi(argv[++i]);
        else if (arg == "--rounds" && i + 1 < argc) settings.rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--groups" && i + 1 < argc) settings.groups = std::atoi(argv[++i]);
        else if (arg == "--writes" && i + 1 < argc) settings.writes = std::atoi(argv[++i]);
        else if (arg == "--directory" && i + 1 < argc) settings.directory = argv[++i];
        else if (arg == "--fresh-connections") settings.fresh = true;
        else {
            std::cerr << "usage: directory_load_bench [--seconds S] [--rounds R] [--clients C] [--groups N]"
                         " [--writes W] [--fresh-connections] [--directory PATH]\n";
            return 2;
        }
    }
    if (settings.groups > Sources * PerSource) {
        std::cerr << "at most " << Sources * PerSource << " groups\n";
        return 2;
    }
    if (settings.directory.empty() || std::string(LUMO_FLOOR_BINARY).empty()) {
        std::cerr << "lumo-directory or the floor server is not built\n";
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    char folder[] = "/tmp/lumo-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    std::printf("%d groups, %d load clients, %d rounds of %.0f s per run, %s connections, %u cores\n%s\n",
                settings.groups, settings.clients, settings.rounds, settings.seconds, settings.fresh ? "fresh" : "kept-alive",
                std::thread::hardware_concurrency(), settings.directory.c_str());

    struct Store {
        const char* name;
        std::string location;
        std::string floorLocation;
    };
    std::vector<Store> stores{{"sqlite", std::string(folder) + "/groups.db", std::string(folder) + "/floor.db"}};
    const std::string cluster = std::string(folder) + "/pg";
    const std::string pgCluster = std::string(LUMO_SOURCE_DIR) + "/tests/support/pg-cluster";
    const std::string uri = run(pgCluster + " start '" + cluster + "'");
    if (uri.rfind("postgresql://", 0) == 0) {
        stores.push_back({"postgresql", run(pgCluster + " database '" + cluster + "' served"),
                          run(pgCluster + " database '" + cluster + "' floor")});
    } else {
        std::printf("  (PostgreSQL not available: its run is skipped)\n");
    }

    for (const auto& store : stores) {
        std::vector<std::string> command{settings.directory, "--port", "0", "--db", store.location, "--any-ip",
                                         "--rate", "0", "--max-per-address", std::to_string(PerSource),
                                         "--max-groups", "1000000", "--list-cap", "1000000",
                                         "--max-connections-per-address", "100000"};
        Process directory(command);
        if (directory.port() < 0) {
            std::fprintf(stderr, "lumo-directory did not start with %s\n", store.name);
            continue;
        }
        std::printf("%s store:\n", store.name);
        const double floorAdds = databaseOnlyAdds(store.floorLocation, settings.groups);
        double addCpu = 0;
        const double adds = registerGroups(directory.port(), directory.pid(), settings.groups, addCpu);
        std::printf("  adds: %.0f/s through HTTP (%d clients, a connection each, %d source addresses; %.0f us"
                    " server CPU each); the database alone, one add per transaction: %.0f/s; %.2fx\n",
                    adds, AddClients, Sources, addCpu, floorAdds, floorAdds > 0 ? adds / floorAdds : 0.0);

        // The replies the floor repeats, as lumo-directory gives them to the load clients once the
        // list has stayed unchanged for a while (and is compressed at its best).
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        Reply plain, gzipped, revalidated;
        Connection probe(directory.port());
        probe.get("/lumo.asp", {}, &plain);
        probe.get("/lumo.asp", "Accept-Encoding: gzip\r\n", &gzipped);
        const std::string etag = headerValue(plain.head, "ETag");
        const bool compressed = headerValue(gzipped.head, "Content-Encoding") == "gzip";
        probe.get("/lumo.asp", "If-None-Match: " + (etag.empty() ? std::string("\"none\"") : etag) + "\r\n",
                  &revalidated);
        std::printf("  list reply: %zu bytes plain, %zu bytes %s (%.1fx fewer); unchanged list with its ETag: %s\n",
                    plain.body.size(), gzipped.body.size(), compressed ? "gzip" : "when asked for gzip (not compressed)",
                    gzipped.body.empty() ? 0.0 : double(plain.body.size()) / double(gzipped.body.size()),
                    revalidated.status == 304 ? "304" : etag.empty() ? "no ETag, 200" : "200");
        const std::string plainFile = std::string(folder) + "/plain", gzipFile = std::string(folder) + "/gzip";
        std::ofstream(plainFile, std::ios::binary) << plain.body;
        std::ofstream(gzipFile, std::ios::binary) << (compressed ? gzipped.body : plain.body);
        Process floorServer({LUMO_FLOOR_BINARY, plainFile, gzipFile, etag.empty() ? "\"none\"" : etag});

        const std::string gzip = "Accept-Encoding: gzip\r\n";
        // Rounds alternate the floor and the program, so that other work on the machine weighs
        // on both alike; each figure is the median of the rounds, each ratio the median of the
        // rounds' ratios.
        enum Kind { FloorPlain, Plain, FloorGzip, Gzip, Revalidated, Writing, Kinds };
        std::vector<LoadResult> runs[Kinds];
        long writeFailures = 0;
        for (int round = 0; round < settings.rounds; ++round) {
            const pid_t floorPid = floorServer.pid(), ours = directory.pid();
            runs[FloorPlain].push_back(load(floorServer.port(), floorPid, {}, settings));
            runs[Plain].push_back(load(directory.port(), ours, {}, settings));
            runs[FloorGzip].push_back(load(floorServer.port(), floorPid, gzip, settings));
            runs[Gzip].push_back(load(directory.port(), ours, gzip, settings));
            Reply current;
            Connection(directory.port()).get("/lumo.asp", {}, &current);  // the last round's writes changed it
            runs[Revalidated].push_back(
                load(directory.port(), ours, gzip + "If-None-Match: " + headerValue(current.head, "ETag") + "\r\n",
                     settings));
            Writer writer(directory.port(), settings.writes);
            runs[Writing].push_back(load(directory.port(), ours, {}, settings));
            writeFailures += writer.failed();
        }
        const auto ratio = [&](Kind kind, Kind base, double LoadResult::*field) {
            std::vector<double> ratios;
            for (int r = 0; r < settings.rounds; ++r) {
                const auto& b = runs[base][static_cast<std::size_t>(r)];
                ratios.push_back(b.*field > 0 ? runs[kind][static_cast<std::size_t>(r)].*field / (b.*field) : 0.0);
            }
            return median(ratios);
        };
        report("floor (C epoll), plain", runs[FloorPlain], 0);
        report("lumo-directory, plain", runs[Plain], ratio(Plain, FloorPlain, &LoadResult::perSecond));
        report("floor (C epoll), gzip", runs[FloorGzip], 0);
        report("lumo-directory, gzip", runs[Gzip], ratio(Gzip, FloorGzip, &LoadResult::perSecond));
        std::printf("    lumo-directory's requests per CPU second ÷ the floor's: plain %.2fx, gzip %.2fx\n",
                    1 / ratio(Plain, FloorPlain, &LoadResult::cpuMicrosPerRequest),
                    1 / ratio(Gzip, FloorGzip, &LoadResult::cpuMicrosPerRequest));
        report("lumo-directory, gzip + ETag", runs[Revalidated], 0);
        long notModified = 0, requests = 0;
        for (const auto& r : runs[Revalidated]) {
            notModified += r.notModified;
            requests += r.requests;
        }
        std::printf("    %ld of %ld answered 304\n", notModified, requests);
        char writing[64];
        std::snprintf(writing, sizeof writing, "lumo-directory, plain, %d writes/s", settings.writes);
        report(writing, runs[Writing], ratio(Writing, FloorPlain, &LoadResult::perSecond));
        std::printf("    p99 %.2fx its value without writes; %.2fx the requests%s\n",
                    ratio(Writing, Plain, &LoadResult::p99Ms), ratio(Writing, Plain, &LoadResult::perSecond),
                    writeFailures ? " (some writes failed)" : "");
        std::printf("    bytes per list request: %.1fx fewer with gzip, %.0fx fewer with the ETag\n",
                    1 / ratio(Gzip, Plain, &LoadResult::bytesPerRequest),
                    1 / ratio(Revalidated, Plain, &LoadResult::bytesPerRequest));
        if (std::string(store.name) == "postgresql") {
            std::printf("  lumo_groups since the start: %s sequential scans, %s index scans\n",
                        run("psql '" + store.location +
                            "' -Atc \"SELECT seq_scan FROM pg_stat_user_tables WHERE relname = 'lumo_groups'\"")
                            .c_str(),
                        run("psql '" + store.location +
                            "' -Atc \"SELECT idx_scan FROM pg_stat_user_tables WHERE relname = 'lumo_groups'\"")
                            .c_str());
        }
    }
    run(pgCluster + " stop '" + cluster + "'");
    run("rm -rf '" + std::string(folder) + "'");
    return 0;
}
