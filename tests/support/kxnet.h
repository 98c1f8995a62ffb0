// Loopback peers for the network channel tests: listeners and datagram
// sockets on 127.0.0.1 with ports chosen by the system.
#ifndef KXSER_TESTS_KXNET_H
#define KXSER_TESTS_KXNET_H

#include <netinet/in.h>

#include <string>

#include "kxtest.h"

namespace kxnet {

sockaddr_in Loopback(int port);

// A TCP listener on 127.0.0.1; `port` 0 lets the system choose.
kxtest::UniqueFd Listen(int backlog, int* port, int bindPort = 0);
// Accepts one connection, waiting at most `timeoutMs`; empty on time-out.
kxtest::UniqueFd Accept(int listener, int timeoutMs);
// A plain blocking TCP client connected to 127.0.0.1:port.
kxtest::UniqueFd Connect(int port);
// A datagram socket bound to 127.0.0.1 (or `any` address) on a system port.
kxtest::UniqueFd UdpBind(int* port, bool any = false);
// The same on another loopback address, such as 127.100.100.100.
kxtest::UniqueFd UdpBindAt(const char* host, int* port);
// Closes a TCP connection with a reset instead of an orderly shutdown.
void CloseWithReset(kxtest::UniqueFd& fd);
// A port with nothing listening on it (bound once, then released).
int DeadPort();
// Waits until `fd` has at least `n` bytes queued for reading.
bool WaitQueued(int fd, int n, int timeoutMs);
// "host:port" text for a definition string.
std::string Def(const char* host, int port);

}  // namespace kxnet

#endif
