// The adapter's word frames: little-endian 32-bit words, a header word
// (command, parameter, word count N), N-1 payload words and a checksum word.
#ifndef TAVRIX_WORD_FRAME_H
#define TAVRIX_WORD_FRAME_H

#include <cstddef>
#include <cstdint>

namespace tavrix {

constexpr uint32_t kChecksumSeed = 0x6986DAB6u;
constexpr size_t kUsbPacketBytes = 64;

inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t make_header(uint8_t command, uint8_t param, uint16_t word_count) {
  return static_cast<uint32_t>(command) | static_cast<uint32_t>(param) << 8 |
         static_cast<uint32_t>(word_count) << 16;
}

// Checksum over words 0..n-1: add at even indexes, XOR at odd ones.
uint32_t frame_checksum(const uint32_t* words, size_t n);
// The same over little-endian words in a byte buffer (n words, 4n bytes).
uint32_t frame_checksum_bytes(const uint8_t* bytes, size_t n);

// Bytes a request of n words takes on the wire: 4n+4, plus one byte when
// that is a multiple of the 64-byte packet size (so no request ends on a
// packet boundary and needs a zero-length packet).
inline size_t request_wire_length(size_t n) {
  size_t len = 4 * n + 4;
  return (len % kUsbPacketBytes == 0) ? len + 1 : len;
}

// Serialises words[0..n-1] plus their checksum (and the extra byte) into out.
// Returns the wire length, or 0 when out is too small.
size_t encode_request(const uint32_t* words, size_t n, uint8_t* out, size_t capacity);

struct FrameHeader {
  uint8_t command = 0;
  uint8_t param = 0;
  uint16_t word_count = 0;  // N: header and payload words, checksum excluded
};

enum class FrameCheck { kOk, kTooShort, kTooLong, kTruncated, kBadChecksum };

// Checks a received frame at the start of data[0..length): the header fits,
// N is at most max_words, the N words and the checksum word lie inside the
// received bytes, and the checksum matches.
FrameCheck check_frame(const uint8_t* data, size_t length, uint16_t max_words, FrameHeader* header);

}  // namespace tavrix

#endif  // TAVRIX_WORD_FRAME_H
