// A connect to a name with two addresses, the first of which swallows the
// connect (an IPv6 address whose SYNs are dropped, as a firewall does) and
// the second answers (IPv4): the connect reaches the second within its
// time-out. The name comes from a hosts file of the test's own, which
// run_with_hosts.sh puts in place for this program alone.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace qc::platform {
namespace {

struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() { ::close(fd); }
    int fd;
};

TEST(SocketConnect, AnAddressThatSwallowsTheConnectLeavesTimeForTheNextOne) {
    const char* host = std::getenv("QC_TWO_ADDRESS_HOST");
    if (host == nullptr) GTEST_SKIP() << "run through run_with_hosts.sh";

    // The name's addresses, in the order a connect tries them.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    ASSERT_EQ(::getaddrinfo(host, "1", &hints, &found), 0);
    std::vector<int> families;
    for (const addrinfo* at = found; at; at = at->ai_next) families.push_back(at->ai_family);
    ::freeaddrinfo(found);
    ASSERT_EQ(families, (std::vector<int>{AF_INET6, AF_INET}));

    // 127.0.0.1 listens; [::1] on the same port takes one connection into
    // its backlog and drops the SYNs of any after it.
    Fd answering(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof v4;
    ASSERT_EQ(::bind(answering.fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    ASSERT_EQ(::listen(answering.fd, 4), 0);
    ASSERT_EQ(::getsockname(answering.fd, reinterpret_cast<sockaddr*>(&v4), &length), 0);
    const unsigned short port = ntohs(v4.sin_port);

    Fd swallowing(::socket(AF_INET6, SOCK_STREAM, 0));
    const int on = 1;
    ASSERT_EQ(::setsockopt(swallowing.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on), 0);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(port);
    ASSERT_EQ(::bind(swallowing.fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6), 0);
    ASSERT_EQ(::listen(swallowing.fd, 0), 0);
    std::vector<Socket> filling;
    for (;;) {  // until a connect to [::1] no longer completes
        SocketHandle handle = kNoSocket;
        const HRESULT hr = ConnectTcp("::1", port, 300, &handle);
        if (FAILED(hr)) {
            ASSERT_EQ(hr, kSocketTimedOut);
            break;
        }
        filling.emplace_back(handle);
        ASSERT_LT(filling.size(), 16u) << "the backlog does not fill";
    }

    SocketHandle handle = kNoSocket;
    ASSERT_EQ(ConnectTcp(host, port, 1000, &handle), S_OK);
    const Socket connected(handle);
    sockaddr_storage peer{};
    length = sizeof peer;
    ASSERT_EQ(::getpeername(static_cast<int>(handle), reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(peer.ss_family, AF_INET);
}

}  // namespace
}  // namespace qc::platform
