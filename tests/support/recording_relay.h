// A TCP relay on 127.0.0.1 in front of a server (the directory), recording what passes each way,
// so a test can see what a client and the server really said to each other on the wire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumo::test {

class RecordingRelay {
public:
    struct Exchange {
        std::string request;  // what the client sent on one connection
        std::string reply;    // what the server sent back
    };

    explicit RecordingRelay(int serverPort) : serverPort_(serverPort)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(listener_, 16) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingRelay()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<Exchange> exchanges() const
    {
        std::lock_guard lock(mutex_);
        return exchanges_;
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(serverPort_));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) pump(client, server);
            ::close(server);
            ::close(client);
        }
    }

    // One connection at a time, until either side closes or all is quiet for two seconds.
    void pump(int client, int server)
    {
        Exchange exchange;
        pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char buffer[65536];
        while (!stop_ && ::poll(both, 2, 2000) > 0) {
            bool closed = false;
            for (int side = 0; side < 2; ++side) {
                if (!(both[side].revents & (POLLIN | POLLHUP))) continue;
                const ssize_t n = ::recv(both[side].fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    closed = true;
                    break;
                }
                (side == 0 ? exchange.request : exchange.reply).append(buffer, static_cast<std::size_t>(n));
                ::send(both[1 - side].fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
            if (closed) break;
        }
        std::lock_guard lock(mutex_);
        exchanges_.push_back(std::move(exchange));
    }

    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Exchange> exchanges_;
    std::thread thread_;
};

}  // namespace lumo::test
