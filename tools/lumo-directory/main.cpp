// lumo-directory: the directory of online LUMO groups, for a machine or a LAN.
//
//   GET PREFIX/lumo.asp                          the list: "myserverlist", the caller's address
//                                                as seen here, then one line per group
//   GET PREFIX/lumoadd.asp?name=N&ip=A&port=P    registers group N hosted at A:P; answers "ok"
//   GET PREFIX/lumomove.asp?name=id&ip=A&port=P  removes the registration of A:P
//   GET PREFIX/                                  a small page listing the groups, for browsers
//
// Every field of a list line is followed by one space; lines end in CR LF. Group names are GBK
// bytes, percent-encoded in the request, and are stored and served unchanged. Registrations live
// in an SQLite file and survive a restart.

#include "group_store.h"

#include "common/gbk.h"
#include "common/wire.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

using lumo::directory::GroupStore;

constexpr std::size_t MaxNameBytes = 64;
// The state text every listed group shows: "在线" (online) in GBK.
constexpr const char* OnlineState = "\xD4\xDA\xCF\xDF";

struct Options {
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string prefix;
    std::string database = "lumo-directory.db";
    std::size_t maxGroups = 1000;
    bool anyAddress = false;
};

void printHelp()
{
    std::cout << "Usage: lumo-directory [OPTION]...\n"
                 "Serves the LUMO group directory over HTTP.\n\n"
                 "  --listen ADDRESS   address to listen on (default 127.0.0.1)\n"
                 "  --port N           TCP port (default 8080; 0 picks a free one)\n"
                 "  --prefix PATH      path in front of the pages, e.g. /lumo (default none)\n"
                 "  --db FILE          SQLite file of the registrations (default lumo-directory.db)\n"
                 "  --max-groups N     most registrations kept at once (default 1000)\n"
                 "  --any-ip           accept registrations and removals for addresses other than\n"
                 "                     the caller's own (by default a caller may only register or\n"
                 "                     remove the address it connects from)\n"
                 "  --help             show this help\n"
                 "  --version          show the version\n\n"
                 "Once listening it prints \"listening on http://ADDRESS:PORT\" on standard output.\n";
}

bool parseNumber(const std::string& text, long low, long high, long& value)
{
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    if (text.size() > 1 && text[0] == '0') return false;
    value = std::stol(text);
    return value >= low && value <= high;
}

// Returns 0 to run, otherwise the exit status (help and version exit with 0 through `done`).
int parseOptions(int argc, char** argv, Options& options, bool& done)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::cerr << "lumo-directory: " << arg << " needs a value\n";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](long low, long high, long& out) {
            std::string text;
            if (!value(text)) return false;
            if (parseNumber(text, low, high, out)) return true;
            std::cerr << "lumo-directory: bad value " << text << " for " << arg << "\n";
            return false;
        };
        long count = 0;
        if (arg == "--help" || arg == "-h") {
            printHelp();
            done = true;
            return 0;
        } else if (arg == "--version") {
            std::cout << "lumo-directory " << LUMO_VERSION_TEXT << "\n";
            done = true;
            return 0;
        } else if (arg == "--listen") {
            if (!value(options.listen)) return 2;
        } else if (arg == "--port") {
            if (!number(0, 65535, count)) return 2;
            options.port = static_cast<int>(count);
        } else if (arg == "--prefix") {
            if (!value(options.prefix)) return 2;
            while (!options.prefix.empty() && options.prefix.back() == '/') options.prefix.pop_back();
            if (!options.prefix.empty() && options.prefix.front() != '/') options.prefix.insert(0, "/");
        } else if (arg == "--db") {
            if (!value(options.database)) return 2;
        } else if (arg == "--max-groups") {
            if (!number(1, 1000000, count)) return 2;
            options.maxGroups = static_cast<std::size_t>(count);
        } else if (arg == "--any-ip") {
            options.anyAddress = true;
        } else {
            std::cerr << "lumo-directory: unknown option " << arg << " (see --help)\n";
            return 2;
        }
    }
    return 0;
}

// The caller's IPv4 address as text; an IPv4 caller on an IPv6 socket is shown as IPv4.
std::string callerAddress(const httplib::Request& request)
{
    const std::string mapped = "::ffff:";
    if (request.remote_addr.compare(0, mapped.size(), mapped) == 0) return request.remote_addr.substr(mapped.size());
    return request.remote_addr;
}

bool isDottedAddress(const std::string& text)
{
    const auto address = lumo::parseDottedAddress(text);
    return address && lumo::dottedAddress(*address) == text;
}

// A name may hold any byte but controls and the space: a space or a line break would split
// the list line it is served in and shift or forge fields.
bool isServableName(const std::string& name)
{
    if (name.size() > MaxNameBytes) return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return false;
    }
    return true;
}

void fail(httplib::Response& response, int status, const std::string& reason)
{
    response.status = status;
    response.set_content("error: " + reason + "\r\n", "text/plain");
}

// Reads and checks ip and port of a registration request; false after replying with the error.
bool readEndpoint(const httplib::Request& request, httplib::Response& response, const Options& options,
                  std::string& ip, int& port)
{
    for (const char* key : {"ip", "port"}) {
        if (!request.has_param(key)) {
            fail(response, 400, std::string("missing parameter ") + key);
            return false;
        }
    }
    ip = request.get_param_value("ip");
    long number = 0;
    if (!isDottedAddress(ip)) {
        fail(response, 400, "ip is not a dotted IPv4 address");
        return false;
    }
    if (!parseNumber(request.get_param_value("port"), 1, 65535, number)) {
        fail(response, 400, "port is not a number from 1 to 65535");
        return false;
    }
    port = static_cast<int>(number);
    if (!options.anyAddress && ip != callerAddress(request)) {
        fail(response, 403, "ip is not the address this request comes from");
        return false;
    }
    return true;
}

std::string htmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

void serve(httplib::Server& server, GroupStore& store, const Options& options)
{
    const std::string prefix = options.prefix;

    server.Get(prefix + "/lumo.asp", [&store](const httplib::Request& request, httplib::Response& response) {
        std::string body = "myserverlist\r\n" + callerAddress(request) + " \r\n";
        for (const auto& group : store.list()) {
            body += std::to_string(group.id) + ' ' + group.name + ' ' + group.ip + ' ' + std::to_string(group.port) +
                    ' ' + OnlineState + " \r\n";
        }
        response.set_content(body, "text/plain; charset=GBK");
    });

    server.Get(prefix + "/lumoadd.asp", [&store, &options](const httplib::Request& request,
                                                           httplib::Response& response) {
        if (!request.has_param("name")) return fail(response, 400, "missing parameter name");
        const std::string name = request.get_param_value("name");
        if (!isServableName(name)) return fail(response, 400, "name is longer than 64 bytes or holds a space or control byte");
        std::string ip;
        int port = 0;
        if (!readEndpoint(request, response, options, ip, port)) return;
        switch (store.add(name, ip, port, options.maxGroups)) {
        case GroupStore::AddResult::Added:
        case GroupStore::AddResult::Replaced:
            std::cout << "registered " << ip << ':' << port << std::endl;
            response.set_content("ok", "text/plain");
            return;
        case GroupStore::AddResult::Full: return fail(response, 503, "the directory is full");
        case GroupStore::AddResult::Failed: return fail(response, 500, "the store failed");
        }
    });

    server.Get(prefix + "/lumomove.asp", [&store, &options](const httplib::Request& request,
                                                            httplib::Response& response) {
        std::string ip;
        int port = 0;
        if (!readEndpoint(request, response, options, ip, port)) return;
        if (!store.remove(ip, port)) return fail(response, 404, "no group is registered at that address");
        std::cout << "removed " << ip << ':' << port << std::endl;
        response.set_content("ok", "text/plain");
    });

    auto index = [&store](const httplib::Request&, httplib::Response& response) {
        std::string page =
            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>LUMO</title></head><body>"
            "<h1>LUMO</h1><table><tr><th>ID</th><th>群名</th><th>地址</th><th>端口</th></tr>";
        for (const auto& group : store.list()) {
            page += "<tr><td>" + std::to_string(group.id) + "</td><td>" + htmlEscape(lumo::gbkToUtf8(group.name)) +
                    "</td><td>" + group.ip + "</td><td>" + std::to_string(group.port) + "</td></tr>";
        }
        page += "</table></body></html>";
        response.set_content(page, "text/html; charset=utf-8");
    };
    server.Get(prefix + "/", index);
    if (!prefix.empty()) server.Get(prefix, index);

    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return;
        const std::string reason = response.status == 404 ? "no such page" : "bad request";
        response.set_content("error: " + reason + " (" + std::to_string(response.status) + ")\r\n", "text/plain");
    });
    // Address reuse for a quick restart, but not port sharing: a second directory started on a
    // busy port must fail instead of silently splitting the requests between two stores.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_payload_max_length(4096);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    bool done = false;
    if (const int status = parseOptions(argc, argv, options, done); status != 0 || done) return status;

    GroupStore store;
    std::string error;
    if (!store.open(options.database, error)) {
        std::cerr << "lumo-directory: cannot open " << options.database << ": " << error << "\n";
        return 1;
    }

    // INT and TERM stop the server cleanly: a thread waits for them, every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    httplib::Server server;
    serve(server, store, options);
    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.listen);
    } else if (!server.bind_to_port(options.listen, port)) {
        port = -1;
    }
    if (port < 0) {
        std::cerr << "lumo-directory: cannot listen on " << options.listen << ':' << options.port << "\n";
        return 1;
    }

    std::thread([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    }).detach();

    std::cout << "listening on http://" << options.listen << ':' << port << options.prefix << std::endl;
    server.listen_after_bind();
    return 0;
}
