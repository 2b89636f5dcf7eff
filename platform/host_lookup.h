// Looking a host up by name without waiting for the answer: started, then
// asked now and then. The system's resolver may take many seconds on a
// network without a name server, and a window must not wait for it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class HostLookup {
public:
    enum class Result { kIdle, kPending, kFound, kNotFound };

    HostLookup() = default;
    // Abandons a lookup still under way.
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // Starts looking up a name or dotted address (a dotted address, and a
    // name that cannot be looked up at all, are answered at once). A lookup
    // still under way is abandoned first.
    void Start(const std::string& host);
    // Never waits. With kFound, address holds the first IPv4 address in
    // network byte order.
    Result Poll(std::uint32_t* address);
    // Forgets the lookup: its answer, whenever it comes, goes nowhere.
    void Cancel();

    // Only for tests: from now on a lookup of exactly this name stays
    // pending until it is cancelled, like one the resolver never answers.
    // An empty name ends that.
    static void NeverAnswerForTests(const std::string& name);

    struct Request;  // the resolver's record

private:
    Request* request_ = nullptr;
    Result settled_ = Result::kIdle;
    std::uint32_t address_ = 0;
};

}  // namespace platform
