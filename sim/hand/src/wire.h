// Byte helpers of the simulated controller: little-endian fields and the
// CRC-16/MODBUS of the RS485 line, written for the device side on their own.
#ifndef SIMHAND_WIRE_H
#define SIMHAND_WIRE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simhand {

inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void push_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// Initial 0xFFFF, reflected polynomial 0xA001, no final XOR.
inline uint16_t modbus_crc(const uint8_t* data, size_t len) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

// Smallest CAN-FD data length (0-8, 12, 16, 20, 24, 32, 48, 64) that holds n.
inline size_t canfd_padded_length(size_t n) {
  static const size_t kLengths[] = {12, 16, 20, 24, 32, 48, 64};
  if (n <= 8) return n;
  for (size_t l : kLengths)
    if (n <= l) return l;
  return 64;
}

}  // namespace simhand

#endif  // SIMHAND_WIRE_H
