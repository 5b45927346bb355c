#include "http_server.h"

#include "address_groups.h"
#include "connection_limits.h"

#include <microhttpd.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace lumo::directory {

namespace {

constexpr std::size_t MaxHeaderCount = 100;
constexpr int SweepIntervalMs = 100;
// A connection refused for a limit has this long to send the request its 503 answers.
constexpr int RefusalWaitMs = 2000;

std::int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool equalsIgnoringCase(const char* a, std::size_t size, const char* b)
{
    return size == std::strlen(b) && strncasecmp(a, b, size) == 0;
}

const char* reason(int status)
{
    switch (status) {
    case 405: return "method not allowed";
    case 413: return "a request carries no body";
    case 414: return "request too long";
    case 431: return "request head too large";
    default: return "bad request";
    }
}

// One TCP connection, MHD's socket context.
struct ConnectionState {
    std::string peer;
    std::string group;  // the unit the per-address limit counts
    ConnectionLimits::Admission admission = ConnectionLimits::Admission::Served;
    MHD_socket fd = MHD_INVALID_SOCKET;
    std::atomic<std::int64_t> deadline{0};
    bool cut = false;  // shut down at its deadline (guarded by the registry's mutex)
    std::size_t served = 0;
};

class Pending final : public DeferredReply {
public:
    explicit Pending(MHD_Connection* connection) : connection_(connection) {}
    void finish(HttpResponse response) override
    {
        {
            std::lock_guard lock(mutex_);
            if (done_) return;  // the first answer stands
            response_ = std::move(response);
            done_ = true;
        }
        MHD_resume_connection(connection_);
    }
    // The finished response, once finish() ran.
    bool take(HttpResponse& response)
    {
        std::lock_guard lock(mutex_);
        if (!done_) return false;
        response = std::move(response_);
        return true;
    }

private:
    MHD_Connection* const connection_;
    std::mutex mutex_;
    bool done_ = false;
    HttpResponse response_;
};

// One request, MHD's request context: made when the request line arrives.
struct RequestState {
    std::string target;
    bool headSeen = false;
    bool answered = false;
    std::shared_ptr<Pending> pending;
};

struct HeadSummary {
    std::size_t count = 0;
    std::size_t bytes = 0;
    bool body = false;
};

MHD_Result summarise(void* cls, MHD_ValueKind, const char* key, std::size_t keySize, const char* value,
                     std::size_t valueSize)
{
    auto& summary = *static_cast<HeadSummary*>(cls);
    ++summary.count;
    summary.bytes += keySize + valueSize + 4;
    if (equalsIgnoringCase(key, keySize, "Transfer-Encoding")) summary.body = true;
    if (equalsIgnoringCase(key, keySize, "Content-Length") &&
        std::string(value, valueSize).find_first_not_of("0 \t") != std::string::npos)
        summary.body = true;
    return MHD_YES;
}

std::string headerValue(MHD_Connection* connection, const char* name)
{
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

}  // namespace

struct HttpServer::Impl {
    HttpServer& server;
    const HttpLimitsConfig limits;
    int listener = -1;
    bool quiesced = false;  // the listening socket is ours again (otherwise MHD closes it)
    MHD_Daemon* daemon = nullptr;

    std::mutex mutex;  // guards what follows
    ConnectionLimits admissions;
    std::unordered_set<ConnectionState*> open;
    std::uint64_t timedOut = 0;
    std::uint64_t dropped = 0;
    bool sweeping = true;
    std::condition_variable sweepWake;
    std::thread sweeper;

    Impl(HttpServer& s, HttpLimitsConfig l)
        : server(s), limits(l), admissions(l.maxConnectionsPerAddress, l.maxConnections)
    {
    }

    class Exchange final : public HttpExchange {
    public:
        Exchange(HttpRequest& request, MHD_Connection* connection, RequestState& state)
            : request_(request), connection_(connection), state_(state)
        {
        }
        const HttpRequest& request() const override { return request_; }
        HttpResponse& response() override { return response_; }
        std::shared_ptr<DeferredReply> defer() override
        {
            state_.pending = std::make_shared<Pending>(connection_);
            MHD_suspend_connection(connection_);
            return state_.pending;
        }
        bool deferred() const { return state_.pending != nullptr; }

    private:
        HttpRequest& request_;
        HttpResponse response_;
        MHD_Connection* connection_;
        RequestState& state_;
    };

    static ConnectionState* stateOf(MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
    }

    MHD_Result queue(MHD_Connection* connection, ConnectionState* state, HttpResponse& response, bool close)
    {
        if (state && ++state->served >= limits.maxRequestsPerConnection) close = true;
        MHD_Response* reply = nullptr;
        std::size_t pieces = 0;
        for (const auto& piece : response.body) pieces += piece && !piece->empty() ? 1 : 0;
        if (pieces == 0) {
            reply = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        } else {
            // The pieces stay alive with the reply: MHD sends them from where they are.
            auto* kept = new std::vector<std::shared_ptr<const std::string>>(std::move(response.body));
            std::vector<MHD_IoVec> parts;
            for (const auto& piece : *kept) {
                if (piece && !piece->empty()) parts.push_back({piece->data(), piece->size()});
            }
            reply = MHD_create_response_from_iovec(
                parts.data(), static_cast<unsigned>(parts.size()),
                [](void* held) { delete static_cast<std::vector<std::shared_ptr<const std::string>>*>(held); }, kept);
            if (!reply) delete kept;
        }
        if (!reply) return MHD_NO;
        MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
        for (const auto& [name, value] : response.headers) MHD_add_response_header(reply, name.c_str(), value.c_str());
        if (close) MHD_add_response_header(reply, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
        MHD_destroy_response(reply);
        return queued;
    }

    MHD_Result refuse(MHD_Connection* connection, ConnectionState* state, int status, const std::string& text,
                      const char* retryAfter = nullptr)
    {
        HttpResponse response;
        response.text(status, "error: " + text + "\r\n");
        if (retryAfter) response.headers.emplace_back("Retry-After", retryAfter);
        return queue(connection, state, response, true);
    }

    // MHD calls this when the head has arrived, again when the request is complete, and again
    // after a deferred reply resumed the connection. A reply queued at the first call (a
    // refusal) closes the connection after it, without reading a body.
    MHD_Result handle(MHD_Connection* connection, const char* method, std::size_t* uploadSize, void** context)
    {
        auto* request = static_cast<RequestState*>(*context);
        if (!request) *context = request = new RequestState;
        ConnectionState* state = stateOf(connection);
        if (!request->headSeen) {
            request->headSeen = true;
            return admit(connection, state, *request, method);
        }
        if (*uploadSize != 0) {
            *uploadSize = 0;  // no body was announced, so none is read
            return MHD_YES;
        }
        if (request->pending) {
            HttpResponse response;
            if (!request->pending->take(response)) return MHD_YES;
            request->pending.reset();
            return queue(connection, state, response, false);
        }
        if (request->answered) return MHD_YES;
        request->answered = true;

        HttpRequest parsed;
        parsed.method = method;
        parsed.target = request->target;
        parseTarget(parsed.target, parsed.path, parsed.params);
        parsed.peer = state ? state->peer : std::string();
        parsed.acceptEncoding = headerValue(connection, MHD_HTTP_HEADER_ACCEPT_ENCODING);
        parsed.ifNoneMatch = headerValue(connection, MHD_HTTP_HEADER_IF_NONE_MATCH);

        Exchange exchange(parsed, connection, *request);
        HttpResponse& response = exchange.response();
        if (server.gate_ && server.gate_(parsed, response)) return queue(connection, state, response, false);
        const auto route = server.routes_.find(parsed.path);
        if (route == server.routes_.end()) {
            response.text(404, "error: no such page (404)\r\n");
            return queue(connection, state, response, false);
        }
        try {
            route->second(exchange);
        } catch (...) {
            HttpResponse failed;
            failed.text(500, "error: the server failed\r\n");
            if (!exchange.deferred()) return queue(connection, state, failed, false);
            request->pending->finish(std::move(failed));  // unless its owner answered already
        }
        if (exchange.deferred()) return MHD_YES;
        return queue(connection, state, response, false);
    }

    // At the head: refuses what the connection or the head does not allow.
    MHD_Result admit(MHD_Connection* connection, ConnectionState* state, RequestState& request, const char* method)
    {
        if (state && state->admission == ConnectionLimits::Admission::RefusedAddress)
            return refuse(connection, state, 503, "too many connections from your address");
        if (state && state->admission != ConnectionLimits::Admission::Served)
            return refuse(connection, state, 503, "the directory has too many connections; try again shortly", "1");
        HeadSummary head;
        MHD_get_connection_values_n(connection, MHD_HEADER_KIND, summarise, &head);
        if (head.body) return refuse(connection, state, 413, reason(413));
        if (head.count > MaxHeaderCount || head.bytes + request.target.size() > limits.maxHeadBytes)
            return refuse(connection, state, 431, reason(431));
        if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
            return refuse(connection, state, 405, reason(405));
        if (request.target.size() > limits.maxTargetBytes) return refuse(connection, state, 414, reason(414));
        return MHD_YES;
    }

    void started(MHD_Connection* connection, void** context)
    {
        auto* state = new ConnectionState;
        const MHD_ConnectionInfo* address = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        state->peer = addressText(address ? address->client_addr : nullptr);
        state->group = addressGroup(state->peer);
        state->fd = fd ? fd->connect_fd : MHD_INVALID_SOCKET;
        const std::int64_t now = steadyMs();
        {
            std::lock_guard lock(mutex);
            state->admission = admissions.open(state->group);
            const bool refused = state->admission != ConnectionLimits::Admission::Served;
            state->deadline = now + (refused ? std::min(RefusalWaitMs, limits.requestTimeoutMs) : limits.requestTimeoutMs);
            open.insert(state);
        }
        if (state->admission == ConnectionLimits::Admission::Dropped && state->fd != MHD_INVALID_SOCKET)
            ::shutdown(state->fd, SHUT_RDWR);  // only when accept() raced past the policy's look
        *context = state;
    }

    void closed(void** context)
    {
        auto* state = static_cast<ConnectionState*>(*context);
        if (!state) return;
        {
            std::lock_guard lock(mutex);
            admissions.close(state->group, state->admission);
            open.erase(state);
        }
        delete state;
        *context = nullptr;
    }

    // Connections past their deadline are shut down; the event thread then sees them end and
    // closes them (the descriptor stays MHD's until then, so it cannot be another's yet).
    void sweep()
    {
        std::unique_lock lock(mutex);
        while (sweeping) {
            const std::int64_t now = steadyMs();
            for (ConnectionState* state : open) {
                if (state->cut || now < state->deadline.load()) continue;
                state->cut = true;
                ::shutdown(state->fd, SHUT_RDWR);
                ++timedOut;
            }
            sweepWake.wait_for(lock, std::chrono::milliseconds(SweepIntervalMs));
        }
    }

    static MHD_Result onAccept(void* cls, const sockaddr* address, socklen_t)
    {
        auto& s = *static_cast<Impl*>(cls);
        std::lock_guard lock(s.mutex);
        if (s.admissions.judge(addressGroup(addressText(address))) != ConnectionLimits::Admission::Dropped)
            return MHD_YES;
        ++s.dropped;
        return MHD_NO;
    }
    static void* onUri(void*, const char* uri, MHD_Connection*)
    {
        auto* request = new RequestState;
        request->target = uri ? uri : "";
        return request;
    }
    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char*, const char* method, const char*,
                                const char*, std::size_t* uploadSize, void** context)
    {
        return static_cast<Impl*>(cls)->handle(connection, method, uploadSize, context);
    }
    static void onCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        delete static_cast<RequestState*>(*context);
        *context = nullptr;
        // A kept-alive connection has a whole deadline for its next request.
        if (ConnectionState* state = stateOf(connection))
            state->deadline = steadyMs() + static_cast<Impl*>(cls)->limits.requestTimeoutMs;
    }
    static void onConnection(void* cls, MHD_Connection* connection, void** context, MHD_ConnectionNotificationCode code)
    {
        auto& s = *static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) s.started(connection, context);
        else s.closed(context);
    }
    static void onLog(void*, const char* format, va_list arguments)
    {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        std::string line = text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        std::cerr << "lumo-directory: http: " << line << std::endl;
    }
};

HttpServer::HttpServer(HttpLimitsConfig limits) : impl_(std::make_unique<Impl>(*this, limits)) {}

HttpServer::~HttpServer()
{
    stop();
    if (impl_->listener >= 0) ::close(impl_->listener);
}

void HttpServer::route(const std::string& path, HttpHandler handler) { routes_[path] = std::move(handler); }

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
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);
}

bool HttpServer::start(std::string& error)
{
    Impl& s = *impl_;
    const auto idleSeconds = static_cast<unsigned>((s.limits.requestTimeoutMs + 999) / 1000);
    s.daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, Impl::onAccept, &s,
        Impl::onRequest, &s, MHD_OPTION_EXTERNAL_LOGGER, Impl::onLog, &s, MHD_OPTION_LISTEN_SOCKET,
        static_cast<MHD_socket>(s.listener),
        // A connection's memory holds its request head (at most maxHeadBytes) and its reply's head;
        // MHD clears it for every request, so it is kept small.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(s.limits.maxHeadBytes + 4096),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(s.admissions.ceiling() + 16), MHD_OPTION_CONNECTION_TIMEOUT,
        idleSeconds, MHD_OPTION_NOTIFY_CONNECTION, Impl::onConnection, &s, MHD_OPTION_NOTIFY_COMPLETED,
        Impl::onCompleted, &s, MHD_OPTION_URI_LOG_CALLBACK, Impl::onUri, &s, MHD_OPTION_END);
    if (!s.daemon) {
        error = "libmicrohttpd did not start";
        return false;
    }
    s.sweeper = std::thread([&s] { s.sweep(); });
    return true;
}

void HttpServer::quiesce()
{
    if (!impl_->daemon || impl_->quiesced) return;
    impl_->quiesced = MHD_quiesce_daemon(impl_->daemon) != MHD_INVALID_SOCKET;
}

void HttpServer::stop()
{
    Impl& s = *impl_;
    if (s.sweeper.joinable()) {
        {
            std::lock_guard lock(s.mutex);
            s.sweeping = false;
        }
        s.sweepWake.notify_all();
        s.sweeper.join();
    }
    if (s.daemon) {
        MHD_stop_daemon(s.daemon);
        if (!s.quiesced) s.listener = -1;  // closed by MHD
    }
    s.daemon = nullptr;
}

std::uint64_t HttpServer::timedOutConnections() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->timedOut;
}

std::uint64_t HttpServer::droppedConnections() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->dropped;
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

void parseTarget(const std::string& target, std::string& path, std::multimap<std::string, std::string>& params)
{
    const auto question = target.find('?');
    path = percentDecode(target.substr(0, question), false);
    if (question == std::string::npos) return;
    const std::string query = target.substr(question + 1);
    std::size_t position = 0;
    while (position <= query.size()) {
        const auto amp = std::min(query.find('&', position), query.size());
        const std::string pair = query.substr(position, amp - position);
        if (!pair.empty()) {
            const auto equals = pair.find('=');
            params.emplace(percentDecode(pair.substr(0, equals), true),
                           equals == std::string::npos ? std::string() : percentDecode(pair.substr(equals + 1), true));
        }
        position = amp + 1;
    }
}

}  // namespace lumo::directory
