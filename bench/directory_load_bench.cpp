// Load on lumo-directory: list requests per second and their latency with 10,000 groups
// registered, with an SQLite store and with a PostgreSQL store (a throw-away cluster), beside
// the floor: a minimal cpp-httplib server returning the same bytes from memory. Also how fast
// registrations are taken. Figures are printed, never judged.
//
//   directory_load_bench [--seconds S] [--clients C] [--groups N] [--fresh-connections]
//
// --fresh-connections opens a connection per request, as LUMO clients do; by default each
// load client keeps its connection alive. The load clients run on the same machine as the
// server, so on a small machine they share its cores.
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#ifndef LUMO_DIRECTORY_BINARY
#define LUMO_DIRECTORY_BINARY ""
#endif
#ifndef LUMO_SOURCE_DIR
#define LUMO_SOURCE_DIR "."
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    double seconds = 5;
    int clients = 4;
    int groups = 10000;
    bool fresh = false;
};

// One HTTP/1.1 client connection to 127.0.0.1 that reads replies by their Content-Length.
class Connection {
public:
    // source: the loopback address requests leave from (127.0.0.1 when 0).
    explicit Connection(int port, std::uint32_t source = 0) : port_(port), source_(source) {}
    ~Connection() { drop(); }

    // Sends one GET and reads the whole reply; false on any failure.
    bool get(const std::string& target, std::string* body = nullptr)
    {
        if (fd_ < 0 && !open()) return false;
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: bench\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return drop();
        std::string head;
        std::size_t end = std::string::npos;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return drop();
        }
        head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        const auto lengthAt = head.find("Content-Length: ");
        if (lengthAt == std::string::npos) return drop();
        const std::size_t length = std::stoul(head.substr(lengthAt + 16));
        while (buffer_.size() < length) {
            if (!fill()) return drop();
        }
        if (body) *body = buffer_.substr(0, length);
        buffer_.erase(0, length);
        if (head.find("Connection: close") != std::string::npos) drop();
        return head.rfind("HTTP/1.1 200", 0) == 0;
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
    long failures = 0;
};

LoadResult load(int port, const std::string& target, const Settings& settings)
{
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(settings.clients));
    std::atomic<long> failures{0};
    const auto until = Clock::now() + std::chrono::duration<double>(settings.seconds);
    std::vector<std::thread> threads;
    for (int c = 0; c < settings.clients; ++c) {
        threads.emplace_back([&, c] {
            Connection connection(port);
            auto& mine = latencies[static_cast<std::size_t>(c)];
            while (Clock::now() < until) {
                const auto start = Clock::now();
                if (!connection.get(target)) ++failures;
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                if (settings.fresh) connection.drop();
            }
        });
    }
    for (auto& t : threads) t.join();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    LoadResult result;
    if (all.empty()) return result;
    result.perSecond = static_cast<double>(all.size()) / settings.seconds;
    result.p50Ms = all[all.size() / 2];
    result.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    result.failures = failures;
    return result;
}

// Registers `groups` groups through `clients` kept-alive connections; returns adds per second.
// The groups come from 200 loopback addresses, at most PerSource each, as hosts do (the server
// runs with its per-address limit at PerSource).
constexpr int Sources = 200;
constexpr int PerSource = 64;
double registerGroups(int port, int groups, int clients)
{
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            for (int i = next++; i < groups; i = next++) {
                // A fresh connection per registration, from the group's own source address.
                Connection connection(port, 0x7F000002u + static_cast<std::uint32_t>(i % Sources));
                const std::string ip = "10." + std::to_string(i / 65536) + '.' + std::to_string(i / 256 % 256) + '.' +
                                       std::to_string(i % 256);
                if (!connection.get("/lumoadd.asp?name=%C8%BA" + std::to_string(i) + "&ip=" + ip + "&port=3555"))
                    ++failed;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failed) std::cerr << "  " << failed << " registrations failed\n";
    return groups / seconds;
}

// A lumo-directory process on a free port.
class Directory {
public:
    explicit Directory(const std::string& store)
    {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execl(LUMO_DIRECTORY_BINARY, "lumo-directory", "--port", "0", "--db", store.c_str(), "--any-ip",
                    "--rate", "0", "--max-per-address", "64", "--max-groups", "1000000", "--list-cap",
                    "1000000", "--max-connections-per-address", "100000", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
        out_ = out[0];
        const auto colon = line.rfind(':');
        if (line.rfind("listening on", 0) == 0 && colon != std::string::npos) port_ = std::stoi(line.substr(colon + 1));
        // Its log of registrations is read and dropped, so that it never blocks on a full pipe.
        drain_ = std::thread([fd = out_] {
            char buffer[4096];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        });
    }
    ~Directory()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (drain_.joinable()) drain_.join();
        if (out_ >= 0) ::close(out_);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = -1;
    int out_ = -1;
    std::thread drain_;
};

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

void report(const char* name, const LoadResult& r, double floor)
{
    std::printf("  %-30s %9.0f req/s  p50 %7.2f ms  p99 %7.2f ms  %5.2fx floor%s\n", name, r.perSecond, r.p50Ms, r.p99Ms,
                floor > 0 ? r.perSecond / floor : 0.0, r.failures ? "  (failures!)" : "");
    if (r.failures) std::printf("    %ld requests failed\n", r.failures);
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) settings.seconds = std::atof(argv[++i]);
        else if (arg == "--clients" && i + 1 < argc) settings.clients = std::atoi(argv[++i]);
        else if (arg == "--groups" && i + 1 < argc) settings.groups = std::atoi(argv[++i]);
        else if (arg == "--fresh-connections") settings.fresh = true;
        else {
            std::cerr << "usage: directory_load_bench [--seconds S] [--clients C] [--groups N] [--fresh-connections]\n";
            return 2;
        }
    }
    if (settings.groups > Sources * PerSource) {
        std::cerr << "at most " << Sources * PerSource << " groups\n";
        return 2;
    }
    if (std::string(LUMO_DIRECTORY_BINARY).empty()) {
        std::cerr << "lumo-directory is not built\n";
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    char folder[] = "/tmp/lumo-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    std::printf("%d groups, %d load clients, %.0f s per run, %s connections, %u cores\n", settings.groups,
                settings.clients, settings.seconds, settings.fresh ? "fresh" : "kept-alive",
                std::thread::hardware_concurrency());

    struct Store {
        const char* name;
        std::string location;
    };
    std::vector<Store> stores{{"sqlite", std::string(folder) + "/groups.db"}};
    const std::string cluster = std::string(folder) + "/pg";
    const std::string uri = run(std::string(LUMO_SOURCE_DIR) + "/tests/support/pg-cluster start '" + cluster + "'");
    if (uri.rfind("postgresql://", 0) == 0) stores.push_back({"postgresql", uri});
    else std::printf("  (PostgreSQL not available: its run is skipped)\n");

    std::string body;
    for (const auto& store : stores) {
        Directory directory(store.location);
        if (directory.port() < 0) {
            std::fprintf(stderr, "lumo-directory did not start with %s\n", store.name);
            continue;
        }
        std::printf("%s store:\n", store.name);
        std::printf("  registering: %.0f adds/s (8 clients, a connection each, 200 source addresses)\n",
                    registerGroups(directory.port(), settings.groups, 8));
        Connection probe(directory.port());
        probe.get("/lumo.asp", &body);
        std::printf("  list reply: %zu bytes\n", body.size());

        // The floor: the same bytes from memory, from a minimal cpp-httplib server.
        httplib::Server floorServer;
        floorServer.Get("/lumo.asp", [&body](const httplib::Request&, httplib::Response& response) {
            response.set_content(body, "text/plain; charset=GBK");
        });
        const int floorPort = floorServer.bind_to_any_port("127.0.0.1");
        std::thread floorThread([&floorServer] { floorServer.listen_after_bind(); });
        const LoadResult floor = load(floorPort, "/lumo.asp", settings);
        floorServer.stop();
        floorThread.join();
        const LoadResult ours = load(directory.port(), "/lumo.asp", settings);
        report("floor (cpp-httplib, memory)", floor, floor.perSecond);
        report((std::string("lumo-directory, ") + store.name).c_str(), ours, floor.perSecond);
    }
    run(std::string(LUMO_SOURCE_DIR) + "/tests/support/pg-cluster stop '" + cluster + "'");
    run("rm -rf '" + std::string(folder) + "'");
    return 0;
}
