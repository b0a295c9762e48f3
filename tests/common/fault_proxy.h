// A TCP proxy on 127.0.0.1 in front of a real server, which stages the
// network's faults on the way: it passes bytes, holds each reply back for a
// while, swallows everything (a firewall that drops packets), or resets a
// client's connection once, before its request reaches the server or after
// the server has run it. Native builds only (POSIX sockets).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace qc::farm {

class FaultProxy {
public:
    enum class Mode {
        Pass,
        Delay,         // each reply is held back for the delay
        Blackhole,     // nothing goes anywhere; connections stay open
        ResetRequest,  // once: the next request resets its connection instead of going on
        ResetReply,    // once: the server runs the next request, and its reply resets the connection
    };

    explicit FaultProxy(unsigned short target) : m_target(target) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listener, 64), 0);
        EXPECT_EQ(::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
    }
    ~FaultProxy() {
        m_stop = true;
        m_acceptor.join();
        for (std::thread& relay : m_relays) relay.join();  // the acceptor has ended: no more come
        ::close(m_listener);
    }
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    unsigned short Port() const { return m_port; }
    void Set(Mode mode, std::chrono::milliseconds delay = {}) {
        m_delay = delay;
        m_mode = mode;
    }
    Mode Current() const { return m_mode; }
    int Accepted() const { return m_accepted; }
    int Resets() const { return m_resets; }

private:
    static sockaddr_in Loopback(unsigned short port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    // Whether a one-time mode was this connection's to act on.
    bool TakeOnce(Mode once) {
        Mode expected = once;
        return m_mode.compare_exchange_strong(expected, Mode::Pass);
    }
    void Reset(int fd) {
        const linger abort{1, 0};  // closing sends RST
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ++m_resets;
    }

    void Accept() {
        while (!m_stop) {
            pollfd entry{m_listener, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0) continue;
            ++m_accepted;
            m_relays.emplace_back([this, client] { Relay(client); });
        }
    }

    void Relay(int client) {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(m_target);
        if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            char buffer[64 * 1024];
            while (!m_stop) {
                pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(entries, 2, 20) <= 0) continue;
                if (entries[0].revents != 0) {
                    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                    if (got <= 0) break;
                    if (TakeOnce(Mode::ResetRequest)) {
                        Reset(client);
                        break;
                    }
                    if (m_mode != Mode::Blackhole) ::send(server, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
                }
                if (entries[1].revents != 0) {
                    const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
                    if (got <= 0) break;
                    if (TakeOnce(Mode::ResetReply)) {
                        Reset(client);
                        break;
                    }
                    if (m_mode == Mode::Delay) std::this_thread::sleep_for(m_delay.load());
                    if (m_mode != Mode::Blackhole) ::send(client, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
                }
            }
        }
        ::close(server);
        ::close(client);
    }

    const unsigned short m_target;
    int m_listener = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<Mode> m_mode{Mode::Pass};
    std::atomic<std::chrono::milliseconds> m_delay{};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_resets{0};
    std::thread m_acceptor;
    std::vector<std::thread> m_relays;  // the acceptor's alone until it has ended
};

}  // namespace qc::farm
