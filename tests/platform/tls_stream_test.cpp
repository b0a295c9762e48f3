// The system's TLS stream against a TLS-only Redis server (its port in
// QC_TLS_PORT; QC_TLS_CA, the CA that signed its certificate for localhost
// and 127.0.0.1, with ca.der, server.key and nothing else beside it), run by
// run_with_tls_server.sh. Directly, and through a relay that hands the
// client the server's bytes in pieces of a few bytes and of several records
// at once: handshake messages and records split across reads, several in
// one read, replies read through a small buffer, the server's close and its
// close_notify, and a handshake that never gets an answer.
#include "platform/tls.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace qc::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kTimeoutMs = 3000;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}
unsigned short PortIn(const char* name) { return static_cast<unsigned short>(std::atoi(Environment(name).c_str())); }
std::string CaFile() { return Environment("QC_TLS_CA"); }
std::string Beside(const std::string& name) { return CaFile().substr(0, CaFile().rfind('/') + 1) + name; }

// A listener on 127.0.0.1 that relays one connection to the server (target
// port 0: holds it without a word). The server's bytes go on in pieces of
// the given sizes, in turn, each sent apart after a pause.
class Relay {
public:
    Relay(unsigned short target, std::vector<std::size_t> pieces) : m_pieces(std::move(pieces)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Loopback(0);
        int length = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listener, 1), 0);
        EXPECT_EQ(::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, target] { Serve(target); });
    }
    ~Relay() {
        m_stop = true;
        ::closesocket(m_listener);  // ends an accept still waiting
        m_thread.join();
    }

    unsigned short Port() const { return m_port; }

private:
    static sockaddr_in Loopback(unsigned short port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    void Serve(unsigned short target) {
        const SOCKET client = ::accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        const SOCKET server = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const sockaddr_in address = Loopback(target);
        if (target != 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            char buffer[64 * 1024];
            std::size_t turn = 0;
            while (!m_stop) {
                fd_set ready;
                FD_ZERO(&ready);
                FD_SET(client, &ready);
                FD_SET(server, &ready);
                timeval wait{0, 20000};
                if (::select(0, &ready, nullptr, nullptr, &wait) <= 0) continue;
                if (FD_ISSET(client, &ready)) {
                    const int got = ::recv(client, buffer, sizeof buffer, 0);
                    if (got <= 0 || ::send(server, buffer, got, 0) != got) break;
                }
                if (FD_ISSET(server, &ready)) {
                    const int got = ::recv(server, buffer, sizeof buffer, 0);
                    if (got <= 0) break;
                    for (int sent = 0; sent < got; ++turn) {
                        const int piece = std::min<int>(got - sent, static_cast<int>(m_pieces[turn % m_pieces.size()]));
                        ::send(client, buffer + sent, piece, 0);
                        sent += piece;
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    }
                }
            }
        } else {
            while (!m_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::closesocket(server);
        ::closesocket(client);
    }

    std::vector<std::size_t> m_pieces;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class TlsStreamTest : public ::testing::Test {
protected:
    HRESULT Open(unsigned short port, const TlsSettings& settings, DWORD timeoutMs = kTimeoutMs) {
        SocketHandle handle = kNoSocket;
        const HRESULT connected = ConnectTcp("127.0.0.1", port, kTimeoutMs, &handle);
        if (FAILED(connected)) return connected;
        m_socket = Socket(handle);
        return TlsStream::Connect(handle, settings, timeoutMs, &m_stream);
    }
    // Reads `size` bytes, at most `capacity` at a time.
    std::string Read(std::size_t size, std::size_t capacity) {
        std::string text(size, '\0');
        for (std::size_t at = 0, got = 0; at < size; at += got) {
            EXPECT_EQ(m_stream->ReceiveSome(&text[at], std::min(capacity, size - at), kTimeoutMs, &got), S_OK);
            if (got == 0) break;
        }
        return text;
    }

    SocketLibrary m_library;
    Socket m_socket;
    std::unique_ptr<TlsStream> m_stream;
};

TEST_F(TlsStreamTest, RecordsSplitOrJoinedInAnyWayReadAsTheyWereSentUntilTheServerCloses) {
    Relay relay(PortIn("QC_TLS_PORT"), {1, 7, 333, 5000});
    ASSERT_EQ(Open(relay.Port(), {"localhost", CaFile()}), S_OK);
    // A value over several records, read 100 bytes at a time, and replies
    // sent together.
    const std::string value(40000, 'v');
    const std::string set = "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$40000\r\n" + value + "\r\n";
    const std::string commands = set + "*2\r\n$3\r\nGET\r\n$1\r\nk\r\n*1\r\n$4\r\nPING\r\n";
    ASSERT_EQ(m_stream->Send(commands.data(), commands.size(), kTimeoutMs), S_OK);
    const std::string replies = "+OK\r\n$40000\r\n" + value + "\r\n+PONG\r\n";
    EXPECT_EQ(Read(replies.size(), 100), replies);
    EXPECT_FALSE(m_stream->IdleIsBroken());

    const std::string quit = "*1\r\n$4\r\nQUIT\r\n";
    ASSERT_EQ(m_stream->Send(quit.data(), quit.size(), kTimeoutMs), S_OK);
    EXPECT_EQ(Read(5, 100), "+OK\r\n");
    char byte;
    std::size_t got = 0;
    EXPECT_EQ(m_stream->ReceiveSome(&byte, 1, kTimeoutMs, &got), kSocketReset);
    EXPECT_TRUE(m_stream->IdleIsBroken());
}

TEST_F(TlsStreamTest, TheServerIsCheckedForItsNameOrAddressAgainstTheCaFile) {
    const unsigned short port = PortIn("QC_TLS_PORT");
    struct Case {
        const char* serverName;
        std::string caFile;
        HRESULT result;
    };
    const Case kCases[] = {
        {"localhost", CaFile(), S_OK},
        {"127.0.0.1", Beside("ca.der"), S_OK},
        {"other.test", CaFile(), kCertNameMismatch},
        {"127.0.0.2", CaFile(), kCertNameMismatch},
        {"localhost", "", kCertUntrustedRoot},
        {"localhost", Beside("missing.crt"), kCaFileUnreadable},
        {"localhost", Beside("server.key"), kCaFileEmpty},
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(std::string(sample.serverName) + " " + sample.caFile);
        EXPECT_EQ(Open(port, {sample.serverName, sample.caFile}), sample.result);
    }
}

TEST_F(TlsStreamTest, TheServersCloseNotifyEndsTheStreamAsAClosedSocketDoes) {
    ASSERT_EQ(Open(PortIn("QC_TLS_CLOSING_PORT"), {"localhost", CaFile()}), S_OK);
    const std::string close = "CLOSE\n";
    ASSERT_EQ(m_stream->Send(close.data(), close.size(), kTimeoutMs), S_OK);
    char byte;
    std::size_t got = 0;
    EXPECT_EQ(m_stream->ReceiveSome(&byte, 1, kTimeoutMs, &got), kSocketReset);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(m_stream->IdleIsBroken());
}

TEST_F(TlsStreamTest, AHandshakeThatGetsNoAnswerEndsAtItsTimeOut) {
    Relay silent(0, {1});
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Open(silent.Port(), {"localhost", CaFile()}, 300), kSocketTimedOut);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace qc::platform
