// The directory's HTTP/1.1 server: one event thread owns every connection (non-blocking
// sockets, epoll), so an idle or slow client costs a socket and a little memory, never a thread.
// What keeps one client from hurting the others:
//   - a deadline for the whole of each request, from its first byte (or from the end of the
//     previous reply on a kept-alive connection) to the last byte of the reply;
//   - at most maxConnectionsPerAddress open connections from one address (an IPv6 /64 counts
//     as one address), and maxConnections
//     in all; more are answered 503 and closed at once;
//   - a request head of at most maxHeadBytes; no request may carry a body.
// Handlers marked quick run on the event thread (they must not block: the list from its cache);
// the others run on a small pool of worker threads (the store's writes), and their replies are
// handed back to the event thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace lumo::directory {

struct HttpRequest {
    std::string method;  // GET or HEAD
    std::string target;  // as received
    std::string path;    // percent-decoded, without the query
    std::multimap<std::string, std::string> params;  // the query, percent-decoded, '+' as space
    std::string peer;    // the caller's address as text (IPv4 callers on an IPv6 socket as IPv4)

    bool has(const std::string& key) const { return params.count(key) > 0; }
    std::string param(const std::string& key) const
    {
        const auto it = params.find(key);
        return it == params.end() ? std::string() : it->second;
    }
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain";
    std::vector<std::pair<std::string, std::string>> headers;
    // The body in pieces, written one after the other; shared so that a cached piece goes out
    // without being copied.
    std::vector<std::shared_ptr<const std::string>> body;

    void text(int code, std::string content, std::string type = "text/plain")
    {
        status = code;
        contentType = std::move(type);
        body = {std::make_shared<const std::string>(std::move(content))};
    }
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

struct HttpLimitsConfig {
    int requestTimeoutMs = 10000;
    std::size_t maxConnectionsPerAddress = 16;
    std::size_t maxConnections = 20000;
    std::size_t maxHeadBytes = 8192;
    std::size_t maxRequestsPerConnection = 1000;
    int workers = 8;
};

class HttpServer {
public:
    explicit HttpServer(HttpLimitsConfig limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Exact path match. quick handlers run on the event thread and must not block.
    void route(const std::string& path, HttpHandler handler, bool quick = false);
    // Runs for requests no route takes (status 404 preset) and may change the response.
    void fallback(HttpHandler handler) { fallback_ = std::move(handler); }
    // Runs before routing on the event thread; returning true means the response is final.
    void gate(std::function<bool(const HttpRequest&, HttpResponse&)> gate) { gate_ = std::move(gate); }

    // Binds and listens; port 0 picks a free one. Returns the port, or -1 with error set.
    int bind(const std::string& address, int port, std::string& error);
    // Serves until stop(); returns when every thread has ended.
    void run();
    // Safe from any thread or a signal-waiting thread.
    void stop();

    // Counters for tests and the log.
    std::uint64_t refusedConnections() const { return refused_.load(); }
    std::uint64_t timedOutConnections() const { return timedOut_.load(); }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::map<std::string, std::pair<HttpHandler, bool>> routes_;
    HttpHandler fallback_;
    std::function<bool(const HttpRequest&, HttpResponse&)> gate_;
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> timedOut_{0};
};

// The unit the per-address limits count: an IPv4 address itself; for IPv6, its /64 network,
// which one subscriber usually holds whole ("2001:db8:1:2::/64").
std::string addressGroup(const std::string& address);

// Percent-decodes text; in a query '+' stands for a space. Bad escapes are kept as they are.
std::string percentDecode(const std::string& text, bool query);

// A request head (up to and including its empty line) as the server reads it: the request, or
// the status it is refused with (400, 405, 413 for any body, 431, 505).
struct RequestHead {
    int refuse = 0;
    HttpRequest request;
    bool keepAlive = true;
};
RequestHead parseRequestHead(const std::string& text);

}  // namespace lumo::directory
