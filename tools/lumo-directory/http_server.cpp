#include "http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace lumo::directory {

namespace {

constexpr std::uint64_t ListenerKey = 0;
constexpr std::uint64_t WakeKey = 1;
constexpr std::size_t MaxHeaderCount = 100;
constexpr int SweepIntervalMs = 100;

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string peerText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &a6, text, sizeof text);
        }
    }
    return text;
}

}  // namespace

RequestHead parseRequestHead(const std::string& text)
{
    RequestHead head;
    std::size_t lineEnd = text.find("\r\n");
    const std::string requestLine = text.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace == std::string::npos ? 0 : firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos ||
        requestLine.find(' ', secondSpace + 1) != std::string::npos) {
        head.refuse = 400;
        return head;
    }
    HttpRequest& request = head.request;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string version = requestLine.substr(secondSpace + 1);
    if (version == "HTTP/1.0") {
        head.keepAlive = false;
    } else if (version != "HTTP/1.1") {
        head.refuse = version.rfind("HTTP/", 0) == 0 ? 505 : 400;
        return head;
    }
    if (request.target.empty() || request.target[0] != '/') {
        head.refuse = 400;
        return head;
    }

    std::size_t headers = 0;
    while (lineEnd != std::string::npos && lineEnd + 2 < text.size()) {
        const std::size_t start = lineEnd + 2;
        lineEnd = text.find("\r\n", start);
        const std::string line = text.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        if (line.empty()) break;
        if (++headers > MaxHeaderCount) {
            head.refuse = 431;
            return head;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            head.refuse = 400;
            return head;
        }
        const std::string name = lower(line.substr(0, colon));
        const std::string value = trim(line.substr(colon + 1));
        if (name == "connection") {
            const std::string v = lower(value);
            if (v.find("close") != std::string::npos) head.keepAlive = false;
            if (v.find("keep-alive") != std::string::npos && version == "HTTP/1.0") head.keepAlive = true;
        } else if (name == "content-length") {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
                head.refuse = 400;
                return head;
            }
            if (value.find_first_not_of('0') != std::string::npos) {
                head.refuse = 413;
                return head;
            }
        } else if (name == "transfer-encoding") {
            head.refuse = 413;
            return head;
        }
    }
    if (request.method != "GET" && request.method != "HEAD") {
        head.refuse = 405;
        return head;
    }

    const auto question = request.target.find('?');
    request.path = percentDecode(request.target.substr(0, question), false);
    if (question != std::string::npos) {
        const std::string query = request.target.substr(question + 1);
        std::size_t position = 0;
        while (position <= query.size()) {
            const auto amp = std::min(query.find('&', position), query.size());
            const std::string pair = query.substr(position, amp - position);
            if (!pair.empty()) {
                const auto equals = pair.find('=');
                request.params.emplace(percentDecode(pair.substr(0, equals), true),
                                       equals == std::string::npos ? std::string()
                                                                   : percentDecode(pair.substr(equals + 1), true));
            }
            position = amp + 1;
        }
    }
    return head;
}

std::string addressGroup(const std::string& address)
{
    in6_addr a6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &a6) != 1) return address;
    std::memset(&a6.s6_addr[8], 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a6, text, sizeof text);
    return std::string(text) + "/64";
}

std::string percentDecode(const std::string& text, bool query)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) << 4 | hexValue(text[i + 2])));
            i += 2;
        } else if (c == '+' && query) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

struct HttpServer::Impl {
    enum class State { Reading, Working, Writing };
    struct Connection {
        int fd = -1;
        std::string peer;
        std::string group;  // the unit the per-address limit counts
        std::string in;
        std::string out;
        std::size_t outOffset = 0;
        std::vector<std::shared_ptr<const std::string>> pieces;
        std::size_t piece = 0;
        std::size_t pieceOffset = 0;
        std::int64_t deadline = 0;
        State state = State::Reading;
        bool keepAlive = true;
        std::size_t served = 0;
        std::uint32_t interest = 0;
    };
    struct Job {
        std::uint64_t key;
        HttpRequest request;
        const HttpHandler* handler;
        bool keepAlive;
    };
    struct Done {
        std::uint64_t key;
        HttpResponse response;
        bool headOnly;
        bool keepAlive;
    };

    HttpServer& server;
    HttpLimitsConfig limits;
    int listener = -1;
    int epoll = -1;
    int wake = -1;
    std::atomic<bool> stopping{false};
    std::uint64_t nextKey = 2;
    std::unordered_map<std::uint64_t, Connection> connections;
    std::unordered_map<std::string, std::size_t> perAddress;

    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<Job> jobs;
    bool workersStop = false;
    std::mutex doneMutex;
    std::vector<Done> done;
    std::vector<std::thread> workers;

    Impl(HttpServer& s, HttpLimitsConfig l) : server(s), limits(l)
    {
        epoll = epoll_create1(EPOLL_CLOEXEC);
        wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = WakeKey;
        epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
    }
    ~Impl()
    {
        for (auto& [key, c] : connections) ::close(c.fd);
        if (listener >= 0) ::close(listener);
        ::close(wake);
        ::close(epoll);
    }

    void setInterest(std::uint64_t key, Connection& c, std::uint32_t events)
    {
        if (c.interest == events) return;
        epoll_event event{};
        event.events = events;
        event.data.u64 = key;
        epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &event);
        c.interest = events;
    }

    void close(std::uint64_t key)
    {
        const auto it = connections.find(key);
        if (it == connections.end()) return;
        epoll_ctl(epoll, EPOLL_CTL_DEL, it->second.fd, nullptr);
        ::close(it->second.fd);
        const auto count = perAddress.find(it->second.group);
        if (count != perAddress.end() && --count->second == 0) perAddress.erase(count);
        connections.erase(it);
    }

    void acceptAll()
    {
        while (true) {
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or out of descriptors: the backlog waits
            std::string peer = peerText(address);
            std::string group = addressGroup(peer);
            auto& count = perAddress[group];
            if (count >= limits.maxConnectionsPerAddress || connections.size() >= limits.maxConnections) {
                if (count == 0) perAddress.erase(group);
                static const std::string refusal =
                    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 48\r\n"
                    "Connection: close\r\n\r\nerror: too many connections from your address\r\n\r\n";
                ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                ::close(fd);
                ++server.refused_;
                continue;
            }
            ++count;
            int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            const std::uint64_t key = nextKey++;
            Connection& c = connections[key];
            c.fd = fd;
            c.peer = std::move(peer);
            c.group = std::move(group);
            c.deadline = steadyMs() + limits.requestTimeoutMs;
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u64 = key;
            epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
            c.interest = EPOLLIN;
        }
    }

    void readable(std::uint64_t key)
    {
        Connection& c = connections.at(key);
        char buffer[4096];
        while (c.in.size() <= limits.maxHeadBytes) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                c.in.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return close(key);
            if (errno == EINTR) continue;
            break;
        }
        process(key);
    }

    // Takes the next complete request head from the connection's input, if there is one.
    void process(std::uint64_t key)
    {
        Connection& c = connections.at(key);
        if (c.state != State::Reading) return;
        const auto end = c.in.find("\r\n\r\n");
        if (end == std::string::npos || end + 4 > limits.maxHeadBytes) {
            if (c.in.size() > limits.maxHeadBytes || (end != std::string::npos)) refuse(key, 431);
            return;
        }
        RequestHead head = parseRequestHead(c.in.substr(0, end + 4));
        c.in.erase(0, end + 4);
        head.request.peer = c.peer;
        if (head.refuse) return refuse(key, head.refuse);
        const bool headOnly = head.request.method == "HEAD";
        c.state = State::Working;
        setInterest(key, c, 0);

        HttpResponse response;
        if (server.gate_ && server.gate_(head.request, response)) return respond(key, response, headOnly, head.keepAlive);
        const auto route = server.routes_.find(head.request.path);
        if (route == server.routes_.end()) {
            response.status = 404;
            if (server.fallback_) server.fallback_(head.request, response);
            return respond(key, response, headOnly, head.keepAlive);
        }
        if (route->second.second) {
            route->second.first(head.request, response);
            return respond(key, response, headOnly, head.keepAlive);
        }
        {
            std::lock_guard lock(jobsMutex);
            jobs.push_back({key, std::move(head.request), &route->second.first, head.keepAlive});
        }
        jobsReady.notify_one();
        // The reply comes back through `done` and the wake-up descriptor.
    }

    void refuse(std::uint64_t key, int status)
    {
        HttpResponse response;
        response.text(status, "error: " + lower(reason(status)) + " (" + std::to_string(status) + ")\r\n");
        connections.at(key).state = State::Working;
        respond(key, response, false, false);
    }

    void respond(std::uint64_t key, HttpResponse& response, bool headOnly, bool keepAlive)
    {
        Connection& c = connections.at(key);
        ++c.served;
        c.keepAlive = keepAlive && c.served < limits.maxRequestsPerConnection;
        std::size_t length = 0;
        for (const auto& piece : response.body) length += piece ? piece->size() : 0;
        std::string& out = c.out;
        out.clear();
        out += "HTTP/1.1 " + std::to_string(response.status) + ' ' + reason(response.status) + "\r\n";
        out += "Content-Type: " + response.contentType + "\r\n";
        out += "Content-Length: " + std::to_string(length) + "\r\n";
        for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
        out += c.keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        c.outOffset = 0;
        c.pieces = headOnly ? decltype(c.pieces){} : std::move(response.body);
        c.piece = 0;
        c.pieceOffset = 0;
        c.state = State::Writing;
        flush(key);
    }

    void flush(std::uint64_t key)
    {
        Connection& c = connections.at(key);
        while (true) {
            iovec parts[16];
            int count = 0;
            if (c.outOffset < c.out.size()) parts[count++] = {c.out.data() + c.outOffset, c.out.size() - c.outOffset};
            for (std::size_t i = c.piece; i < c.pieces.size() && count < 16; ++i) {
                const std::size_t offset = i == c.piece ? c.pieceOffset : 0;
                if (!c.pieces[i] || offset >= c.pieces[i]->size()) continue;
                parts[count++] = {const_cast<char*>(c.pieces[i]->data()) + offset, c.pieces[i]->size() - offset};
            }
            if (count == 0) break;
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = static_cast<std::size_t>(count);
            const ssize_t sent = ::sendmsg(c.fd, &message, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return setInterest(key, c, EPOLLOUT);
                return close(key);
            }
            std::size_t left = static_cast<std::size_t>(sent);
            const std::size_t fromOut = std::min(left, c.out.size() - c.outOffset);
            c.outOffset += fromOut;
            left -= fromOut;
            while (left > 0 && c.piece < c.pieces.size()) {
                const std::size_t size = c.pieces[c.piece] ? c.pieces[c.piece]->size() : 0;
                const std::size_t take = std::min(left, size - c.pieceOffset);
                c.pieceOffset += take;
                left -= take;
                if (c.pieceOffset >= size) {
                    ++c.piece;
                    c.pieceOffset = 0;
                }
            }
        }
        if (!c.keepAlive) return close(key);
        // Ready for the next request, which has a whole deadline of its own.
        c.state = State::Reading;
        c.pieces.clear();
        c.out.clear();
        c.deadline = steadyMs() + limits.requestTimeoutMs;
        setInterest(key, c, EPOLLIN);
        if (c.in.find("\r\n\r\n") != std::string::npos) process(key);
    }

    void finishJobs()
    {
        std::uint64_t ignored = 0;
        [[maybe_unused]] const auto n = ::read(wake, &ignored, sizeof ignored);
        std::vector<Done> finished;
        {
            std::lock_guard lock(doneMutex);
            finished.swap(done);
        }
        for (auto& d : finished) {
            if (!connections.count(d.key)) continue;  // closed meanwhile (deadline, hang-up)
            respond(d.key, d.response, d.headOnly, d.keepAlive);
        }
    }

    void sweep()
    {
        const std::int64_t now = steadyMs();
        std::vector<std::uint64_t> late;
        for (const auto& [key, c] : connections) {
            if (now >= c.deadline) late.push_back(key);
        }
        for (const auto key : late) {
            close(key);
            ++server.timedOut_;
        }
    }

    void work()
    {
        while (true) {
            Job job;
            {
                std::unique_lock lock(jobsMutex);
                jobsReady.wait(lock, [this] { return workersStop || !jobs.empty(); });
                if (workersStop) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            Done d{job.key, {}, job.request.method == "HEAD", job.keepAlive};
            try {
                (*job.handler)(job.request, d.response);
            } catch (...) {
                d.response.text(500, "error: the server failed\r\n");
            }
            {
                std::lock_guard lock(doneMutex);
                done.push_back(std::move(d));
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wake, &one, sizeof one);
        }
    }
};

HttpServer::HttpServer(HttpLimitsConfig limits) : impl_(std::make_unique<Impl>(*this, limits)) {}

HttpServer::~HttpServer() = default;

void HttpServer::route(const std::string& path, HttpHandler handler, bool quick)
{
    routes_[path] = {std::move(handler), quick};
}

int HttpServer::bind(const std::string& address, int port, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0) {
        error = gai_strerror(status);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        // Address reuse for a quick restart, but not port sharing: a second directory started
        // on a busy port must fail instead of silently splitting the requests between two stores.
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (a->ai_family == AF_INET6) {
            int no = 0;  // "::" takes IPv4 callers too
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        }
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 4096) != 0) {
            error = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    impl_->listener = fd;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = ListenerKey;
    epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &event);
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);
}

void HttpServer::run()
{
    Impl& s = *impl_;
    for (int i = 0; i < std::max(1, s.limits.workers); ++i) s.workers.emplace_back([&s] { s.work(); });
    epoll_event events[256];
    std::int64_t nextSweep = steadyMs() + SweepIntervalMs;
    while (!s.stopping) {
        const int n = epoll_wait(s.epoll, events, 256, SweepIntervalMs);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (key == ListenerKey) {
                s.acceptAll();
            } else if (key == WakeKey) {
                s.finishJobs();
            } else if (s.connections.count(key)) {
                if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                    s.close(key);
                } else if (events[i].events & EPOLLOUT) {
                    s.flush(key);
                } else if (events[i].events & EPOLLIN) {
                    s.readable(key);
                }
            }
        }
        if (steadyMs() >= nextSweep) {
            s.sweep();
            nextSweep = steadyMs() + SweepIntervalMs;
        }
    }
    {
        std::lock_guard lock(s.jobsMutex);
        s.workersStop = true;
    }
    s.jobsReady.notify_all();
    for (auto& t : s.workers) t.join();
    s.workers.clear();
}

void HttpServer::stop()
{
    impl_->stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(impl_->wake, &one, sizeof one);
}

}  // namespace lumo::directory
