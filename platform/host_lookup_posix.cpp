#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace platform {

// The system resolver works on the request from a thread of its own until
// it is done with it, so a request that its owner gives up on while it is
// being worked on cannot be freed yet: it waits among the abandoned ones
// and is freed by a later lookup once the resolver has finished.
struct HostLookup::Request {
    std::string host;
    addrinfo hints{};
    gaicb block{};
    gaicb* list[1] = {&block};

    bool Done() { return ::gai_error(&block) != EAI_INPROGRESS; }
    void Free() {
        if (block.ar_result) ::freeaddrinfo(block.ar_result);
        delete this;
    }
};

namespace {

std::mutex abandonedMutex;
// Never destroyed: requests still with the resolver when the program ends
// stay reachable from here.
std::vector<HostLookup::Request*>& Abandoned() {
    static auto* requests = new std::vector<HostLookup::Request*>;
    return *requests;
}

std::mutex neverAnsweredMutex;
std::string& NeverAnswered() {
    static std::string name;
    return name;
}

bool IsNeverAnswered(const std::string& host) {
    std::lock_guard<std::mutex> lock(neverAnsweredMutex);
    return host == NeverAnswered();
}

void FreeFinishedAbandoned() {
    std::lock_guard<std::mutex> lock(abandonedMutex);
    auto& requests = Abandoned();
    auto finished = std::stable_partition(requests.begin(), requests.end(),
                                          [](HostLookup::Request* r) { return !r->Done(); });
    for (auto it = finished; it != requests.end(); ++it) (*it)->Free();
    requests.erase(finished, requests.end());
}

}  // namespace

HostLookup::~HostLookup() { Cancel(); }

void HostLookup::NeverAnswerForTests(const std::string& name) {
    std::lock_guard<std::mutex> lock(neverAnsweredMutex);
    NeverAnswered() = name;
}

void HostLookup::Cancel() {
    settled_ = Result::kIdle;
    Request* request = request_;
    request_ = nullptr;
    if (!request) return;
    // A request the resolver has not started is taken back at once.
    if (::gai_cancel(&request->block) == EAI_CANCELED || request->Done()) {
        request->Free();
        return;
    }
    std::lock_guard<std::mutex> lock(abandonedMutex);
    Abandoned().push_back(request);
}

void HostLookup::Start(const std::string& host) {
    Cancel();
    FreeFinishedAbandoned();
    in_addr dotted{};
    if (::inet_aton(host.c_str(), &dotted) != 0) {
        address_ = dotted.s_addr;
        settled_ = Result::kFound;
        return;
    }
    settled_ = Result::kNotFound;
    if (host.empty()) return;
    if (IsNeverAnswered(host)) {
        // Pending with no request behind it: only Cancel ends it.
        settled_ = Result::kPending;
        return;
    }

    auto* request = new Request;
    request->host = host;
    request->hints.ai_family = AF_INET;
    request->hints.ai_socktype = SOCK_STREAM;
    request->block.ar_name = request->host.c_str();
    request->block.ar_request = &request->hints;
    if (::getaddrinfo_a(GAI_NOWAIT, request->list, 1, nullptr) != 0) {
        delete request;
        return;
    }
    request_ = request;
    settled_ = Result::kPending;
}

HostLookup::Result HostLookup::Poll(std::uint32_t* address) {
    if (settled_ == Result::kPending) {
        if (!request_ || !request_->Done()) return Result::kPending;
        const addrinfo* first = request_->block.ar_result;
        if (::gai_error(&request_->block) == 0 && first && first->ai_addr) {
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
