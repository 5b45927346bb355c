// The directory's HTTP/1.1 server, on libmicrohttpd: one event thread (epoll) owns every
// connection, so an idle or slow client costs a socket and a little memory, never a thread.
// What keeps one client from hurting the others:
//   - a deadline for the whole of each request, from its first byte (or from the end of the
//     previous reply on a kept-alive connection) to the last byte of the reply;
//   - at most maxConnectionsPerAddress open connections from one address (an IPv6 /64 counts
//     as one address), and maxConnections in all; a caller past either is answered 503 with the
//     cause (see ConnectionLimits);
//   - a request target of at most maxTargetBytes and a head of at most maxHeadBytes; no request
//     may carry a body; GET and HEAD only.
// Handlers run on the event thread and must not block: one that has to wait (for the store, for
// the next rendering of the list) defers its reply and finishes it later from any thread.
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
    std::string acceptEncoding;
    std::string ifNoneMatch;

    bool has(const std::string& key) const { return params.count(key) > 0; }
    // The first value given for `key`.
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
    // The body in pieces, sent one after the other without being copied; shared so that a
    // rendered piece serves many replies at once.
    std::vector<std::shared_ptr<const std::string>> body;

    void text(int code, std::string content, std::string type = "text/plain")
    {
        status = code;
        contentType = std::move(type);
        body = {std::make_shared<const std::string>(std::move(content))};
    }
};

// A reply that a handler deferred; finish() it exactly once, from any thread.
class DeferredReply {
public:
    virtual ~DeferredReply() = default;
    virtual void finish(HttpResponse response) = 0;
};

// What a handler gets: the request, the response to fill in, and the means to defer it.
class HttpExchange {
public:
    virtual ~HttpExchange() = default;
    virtual const HttpRequest& request() const = 0;
    virtual HttpResponse& response() = 0;
    // The connection waits, without costing the event thread, until the returned reply is
    // finished; what the handler put in response() is then ignored.
    virtual std::shared_ptr<DeferredReply> defer() = 0;
};

using HttpHandler = std::function<void(HttpExchange&)>;

struct HttpLimitsConfig {
    int requestTimeoutMs = 10000;
    std::size_t maxConnectionsPerAddress = 16;
    std::size_t maxConnections = 20000;
    std::size_t maxTargetBytes = 1024;
    std::size_t maxHeadBytes = 8192;
    std::size_t maxRequestsPerConnection = 1000;
};

class HttpServer {
public:
    explicit HttpServer(HttpLimitsConfig limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Exact path match.
    void route(const std::string& path, HttpHandler handler);
    // Runs before routing; returning true means the response is final.
    void gate(std::function<bool(const HttpRequest&, HttpResponse&)> gate) { gate_ = std::move(gate); }

    // Binds and listens; port 0 picks a free one. Returns the port, or -1 with error set.
    int bind(const std::string& address, int port, std::string& error);
    // Starts serving on the event thread; false with error set when that fails.
    bool start(std::string& error);
    // Stops taking connections; requests already taken are still answered.
    void quiesce();
    // Ends every connection and the event thread. Every deferred reply must be finished first.
    void stop();

    // Connections cut off at their deadline and connections closed unanswered (for the log).
    std::uint64_t timedOutConnections() const;
    std::uint64_t droppedConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::map<std::string, HttpHandler> routes_;
    std::function<bool(const HttpRequest&, HttpResponse&)> gate_;
};

// Percent-decodes text; in a query '+' stands for a space. Bad escapes are kept as they are.
std::string percentDecode(const std::string& text, bool query);

// Splits a request target into its percent-decoded path and query parameters.
void parseTarget(const std::string& target, std::string& path, std::multimap<std::string, std::string>& params);

}  // namespace lumo::directory
