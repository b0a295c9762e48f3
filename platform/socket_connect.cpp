// The connect of the socket seam, the same on both sides: resolve the host
// within the time-out, then try each of its addresses in turn.
//
// A name is resolved on a thread of its own, which the caller waits for no
// longer than its time-out: the system's resolver has no time-out of its
// own, and a name server that does not answer would hold the caller for
// many seconds. A resolver that is late finishes on its thread and frees
// what it found; nobody waits for it. A numeric address needs no thread.
//
// Each address gets an equal share of what is left of the time-out, so that
// one that swallows the connect (an IPv6 address a firewall drops, before
// the IPv4 one that answers) leaves time for the next; one that is refused
// at once passes its share on.
#include "platform/socket_addresses.h"

#include "platform/sync.h"

#include <cstdio>
#include <memory>
#include <string>

namespace qc::platform {
namespace {

using detail::Clock;

// A list from getaddrinfo, freed by its owner.
struct AddressList {
    AddressList() = default;
    ~AddressList() {
        if (first) ::freeaddrinfo(first);
    }
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;

    addrinfo* first = nullptr;
};

// One resolution, shared by the caller and the thread that runs it; the
// last of the two to let go frees it.
struct Resolution {
    std::string host;
    char service[8] = {};
    int numericOnly = 0;  // AI_NUMERICHOST, or 0
    int error = 0;
    AddressList addresses;

    void Run() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = numericOnly;
        error = ::getaddrinfo(host.c_str(), service, &hints, &addresses.first);
    }
};

unsigned ResolveOnThread(void* argument) {
    // The caller's socket library may be stopped before this returns.
    const SocketLibrary sockets;
    const std::unique_ptr<std::shared_ptr<Resolution>> held(static_cast<std::shared_ptr<Resolution>*>(argument));
    (*held)->Run();
    return 0;
}

// Resolves host:port within timeoutMs into *resolution.
HRESULT Resolve(const char* host, unsigned short port, DWORD timeoutMs, std::shared_ptr<Resolution>* resolution) {
    auto made = std::make_shared<Resolution>();
    made->host = host;
    std::snprintf(made->service, sizeof made->service, "%u", static_cast<unsigned>(port));
    made->numericOnly = AI_NUMERICHOST;
    made->Run();
    if (made->error != 0) {
        made->numericOnly = 0;
        auto* handed = new std::shared_ptr<Resolution>(made);
        const HANDLE thread = StartThread(&ResolveOnThread, handed);
        if (thread == nullptr) {
            delete handed;
            made->Run();  // no thread to spare: resolve here rather than not at all
        } else {
            const DWORD waited = WaitForOne(thread, timeoutMs);
            CloseHandle(thread);
            if (waited != WAIT_OBJECT_0) return kSocketTimedOut;
        }
    }
    if (made->error != 0) return detail::FromResolverError(made->error);
    *resolution = std::move(made);
    return S_OK;
}

}  // namespace

HRESULT ConnectTcp(const char* host, unsigned short port, DWORD timeoutMs, SocketHandle* socket) {
    *socket = kNoSocket;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::shared_ptr<Resolution> resolution;
    const HRESULT resolved = Resolve(host, port, timeoutMs, &resolution);
    if (FAILED(resolved)) return resolved;

    long left = 0;
    for (const addrinfo* address = resolution->addresses.first; address; address = address->ai_next) ++left;
    HRESULT result = kSocketHostNotFound;
    for (const addrinfo* address = resolution->addresses.first; address; address = address->ai_next, --left) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point shareEnd = deadline > now ? now + (deadline - now) / left : deadline;
        result = detail::ConnectOne(*address, shareEnd, socket);
        if (SUCCEEDED(result)) break;
    }
    return result;
}

}  // namespace qc::platform
