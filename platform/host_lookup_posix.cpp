#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>

#include <atomic>
#include <cstring>

namespace platform {

// The resolver writes into the request from its own thread until it is
// done, so the request outlives an owner that gives up on it: whichever of
// the owner's Cancel and the resolver's completion comes second frees it.
struct HostLookup::Request {
    enum : int { kRunning = 0, kDone = 1, kAbandoned = 2 };

    std::string host;
    addrinfo hints{};
    gaicb block{};
    gaicb* list[1] = {&block};
    sigevent notify{};
    std::atomic<int> state{kRunning};

    void Free() {
        if (block.ar_result) ::freeaddrinfo(block.ar_result);
        delete this;
    }

    static void Completed(sigval value) {
        auto* request = static_cast<Request*>(value.sival_ptr);
        if (request->state.exchange(kDone) == kAbandoned) request->Free();
    }
};

HostLookup::~HostLookup() { Cancel(); }

void HostLookup::Cancel() {
    settled_ = Result::kIdle;
    Request* request = request_;
    request_ = nullptr;
    if (!request) return;
    // A request the resolver has not started is taken back at once; one it
    // is working on is left to it.
    if (::gai_cancel(&request->block) == EAI_CANCELED) {
        request->Free();
        return;
    }
    if (request->state.exchange(Request::kAbandoned) == Request::kDone) request->Free();
}

void HostLookup::Start(const std::string& host) {
    Cancel();
    in_addr dotted{};
    if (::inet_aton(host.c_str(), &dotted) != 0) {
        address_ = dotted.s_addr;
        settled_ = Result::kFound;
        return;
    }
    settled_ = Result::kNotFound;
    if (host.empty()) return;

    auto* request = new Request;
    request->host = host;
    request->hints.ai_family = AF_INET;
    request->hints.ai_socktype = SOCK_STREAM;
    request->block.ar_name = request->host.c_str();
    request->block.ar_request = &request->hints;
    request->notify.sigev_notify = SIGEV_THREAD;
    request->notify.sigev_notify_function = &Request::Completed;
    request->notify.sigev_value.sival_ptr = request;
    if (::getaddrinfo_a(GAI_NOWAIT, request->list, 1, &request->notify) != 0) {
        delete request;
        return;
    }
    request_ = request;
    settled_ = Result::kPending;
}

HostLookup::Result HostLookup::Poll(std::uint32_t* address) {
    if (settled_ == Result::kPending) {
        // Done only once the completion has run too, so that the request
        // is never freed while the resolver still reports on it.
        if (request_->state.load() != Request::kDone) return Result::kPending;
        int error = ::gai_error(&request_->block);
        const addrinfo* first = request_->block.ar_result;
        if (error == 0 && first && first->ai_addr) {
            address_ = reinterpret_cast<const sockaddr_in*>(first->ai_addr)->sin_addr.s_addr;
            settled_ = Result::kFound;
        } else {
            settled_ = Result::kNotFound;
        }
        request_->Free();
        request_ = nullptr;
    }
    if (settled_ == Result::kFound && address) *address = address_;
    return settled_;
}

}  // namespace platform
