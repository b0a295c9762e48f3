// A stand-in for a Redis server that answers each command with the bytes a
// test gives it, for replies no real server sends: malformed, oversized, cut
// short, or none at all. A new connection's INFO alone is answered with the
// server section the test sets (a current version unless it says otherwise).
// Native builds only (POSIX sockets); on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qc::farm {

class FakeRespServer {
public:
    struct Answer {
        std::string bytes;
        bool thenClose = false;  // hang up after sending
        bool silent = false;     // send nothing, keep the connection
    };

    FakeRespServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listener, 4), 0);
        EXPECT_EQ(::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeRespServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }

    unsigned short Port() const { return m_port; }
    // The answer to the next command that arrives.
    void Queue(Answer answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.push_back(std::move(answer));
    }
    // What INFO server answers from now on.
    void SetServerInfo(std::string info) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_info = std::move(info);
    }

private:
    // Waits for the fd to be readable, giving up when the server stops.
    bool Readable(int fd) {
        while (!m_stop) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) return true;
        }
        return false;
    }

    void Serve() {
        while (Readable(m_listener)) {
            const int connection = ::accept(m_listener, nullptr, nullptr);
            if (connection < 0) continue;
            char buffer[4096];
            ssize_t got = 0;
            while (Readable(connection) && (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0) {
                Answer answer;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (std::string(buffer, got) == kInfoServer) {
                        answer.bytes = "$" + std::to_string(m_info.size()) + "\r\n" + m_info + "\r\n";
                    } else if (m_answers.empty()) {
                        break;
                    } else {
                        answer = std::move(m_answers.front());
                        m_answers.pop_front();
                    }
                }
                if (!answer.silent) ::send(connection, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
                if (answer.thenClose) break;
            }
            ::close(connection);
        }
    }

    static constexpr const char* kInfoServer = "*2\r\n$4\r\nINFO\r\n$6\r\nserver\r\n";

    int m_listener = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::deque<Answer> m_answers;  // guarded by m_mutex
    std::string m_info = "# Server\r\nredis_version:7.0.0\r\n";  // guarded by m_mutex
    std::thread m_thread;
};

}  // namespace qc::farm
