// Helpers for the socket-helper tests: a private network namespace to run
// multicast and name-resolution checks in, and a count of open descriptors.
#ifndef KXSER_TESTS_KXSOCK_H
#define KXSER_TESTS_KXSOCK_H

#include <stdint.h>

#include <functional>
#include <string>

namespace kxsock {

struct PrivateNetResult {
    bool skipped = false;  // the namespace could not be made; `reason` says why
    bool passed = false;   // the body ran and recorded no failure
    std::string reason;
};

// Runs `body` in a forked child inside a new network namespace whose only
// interface is `lo` (brought up, multicast on), so nothing it sends or looks
// up can leave the machine: a DNS server, or any other address but loopback,
// is unreachable there. gtest assertions work in the body; the child prints
// its failures and reports them through its exit status. Needs root.
PrivateNetResult RunInPrivateNet(const std::function<void()>& body);
// Ends the body early and has the test skipped with `reason` (the namespace
// lacks something the body needs).
[[noreturn]] void SkipPrivateNet(const std::string& reason);

// What the local host name resolves to, found the way one checks it by hand:
// the official name of its host entry, and the entry's first address.
struct LocalHost {
    std::string name;      // official name, or the bare host name when there is no entry
    bool hasEntry = false; // an entry with an IPv4 address
    std::string address;   // dotted quad of that address
    uint32_t netAddr = 0xffffffffu;  // the same, in network order
};
LocalHost ResolveLocalHost();

// The address (network order) that the official local name itself resolves
// to: a dotted quad directly, a name by its host entry; all ones if neither.
uint32_t LocalNameAddress();

// Number of descriptors open in this process.
int OpenFdCount();

}  // namespace kxsock

// Runs the statements in a private network namespace; skips the test when one
// cannot be made.
#define KXSOCK_IN_PRIVATE_NET(...)                                                        \
    do {                                                                                  \
        const ::kxsock::PrivateNetResult kxsockResult_ = ::kxsock::RunInPrivateNet(__VA_ARGS__); \
        if (kxsockResult_.skipped) GTEST_SKIP() << kxsockResult_.reason;                  \
        EXPECT_TRUE(kxsockResult_.passed) << kxsockResult_.reason;                        \
    } while (0)

#endif
