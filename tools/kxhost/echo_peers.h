// Stand-ins for a device and two network peers, all inside this process:
// each echoes what it receives, on its own thread, until stopped. The demo
// talks to them through the plug-in's channels.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace kxhost {

class Echo {
public:
    Echo() = default;
    Echo(const Echo&) = delete;
    Echo& operator=(const Echo&) = delete;
    ~Echo() { Stop(); }
    void Stop();

    // The master side of a pseudo-terminal: whatever the slave writes comes
    // back to it.
    bool StartPty(std::string* slavePath, int* slaveNumber);
    // A TCP listener on 127.0.0.1 that echoes on each connection in turn.
    bool StartTcp(int* port);
    // A UDP socket on 127.0.0.1 that sends each datagram back to its sender.
    bool StartUdp(int* port);

private:
    static void WriteAll(int fd, const unsigned char* p, size_t n);

    // A socket on 127.0.0.1 with a port chosen by the system.
    int Bound(int type, int* port);

    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> fds_;
};

}  // namespace kxhost
