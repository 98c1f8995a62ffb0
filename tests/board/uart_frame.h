// Frames between the board's UART tests and the host-side peer at the other
// end of the board's PL011 (tests/board/uart_peer.cpp). Shared by both sides.
//
//   address  function  length (2, little-endian)  data[length]  CRC (2, little-endian)
//
// The CRC is Modbus's CRC-16 over everything before it, the check a meter on
// an RS-485 line would make. The peer answers:
//   kFuncEcho     the same frame back
//   kFuncRead     data = first register (2, LE), count (1): count registers of
//                 2 bytes each (LE), register r holding RegisterValue(r)
//   kFuncPaced    data = n1 (2), gap ms (2), n2 (2): n1 raw bytes, a pause of
//                 gap ms, n2 raw bytes (PacedByte(i), no frame, never 0x00)
//   kFuncTrickle  data = count (2), interval ms (2): count raw bytes, one per
//                 interval
//   kFuncLine     no data: the peer's line settings, as QEMU passed them on to
//                 its terminal: speed in bit/s (4, LE), stop bits (1); an
//                 exception from a peer on a socket, which has none
//   kFuncEchoed   data = a whole frame: this request back as it came (what a
//                 2-wire RS-485 adapter's receiver hears while it sends),
//                 then the answer to the inner frame
//   otherwise, or on a bad CRC: an exception frame, function | 0x80, one data
//   byte kExceptionBadCrc or kExceptionUnknown.
#ifndef KXSER_TESTS_BOARD_UART_FRAME_H
#define KXSER_TESTS_BOARD_UART_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace kxframe {

const uint8_t kFuncRead = 0x03;
const uint8_t kFuncEcho = 0x08;
const uint8_t kFuncPaced = 0x41;
const uint8_t kFuncTrickle = 0x42;
const uint8_t kFuncLine = 0x43;
const uint8_t kFuncEchoed = 0x44;
const uint8_t kExceptionUnknown = 0x01;
const uint8_t kExceptionBadCrc = 0x08;
const size_t kHeaderSize = 4;
const size_t kCrcSize = 2;

inline uint16_t Crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0xffff;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xa001 : crc >> 1;
    }
    return crc;
}

inline uint16_t RegisterValue(unsigned reg) { return static_cast<uint16_t>(0x4b00 + reg * 7); }

inline uint8_t PacedByte(size_t i) { return static_cast<uint8_t>('A' + i % 26); }

inline void Put16(std::vector<uint8_t>* out, unsigned v) {
    out->push_back(static_cast<uint8_t>(v & 0xff));
    out->push_back(static_cast<uint8_t>((v >> 8) & 0xff));
}

inline unsigned Get16(const uint8_t* p) { return p[0] | (static_cast<unsigned>(p[1]) << 8); }

inline std::vector<uint8_t> Make(uint8_t address, uint8_t function, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f = {address, function};
    Put16(&f, static_cast<unsigned>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    Put16(&f, Crc16(f.data(), f.size()));
    return f;
}

// Total size of the frame whose header starts at p (kHeaderSize bytes known).
inline size_t SizeFromHeader(const uint8_t* p) { return kHeaderSize + Get16(p + 2) + kCrcSize; }

// A whole frame of exactly n bytes whose CRC matches.
inline bool Valid(const uint8_t* p, size_t n) {
    return n >= kHeaderSize + kCrcSize && SizeFromHeader(p) == n &&
           Crc16(p, n - kCrcSize) == Get16(p + n - kCrcSize);
}

}  // namespace kxframe

#endif
