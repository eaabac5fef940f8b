// Little-endian helpers for the simulated slave (kept apart from the
// master's so that the two do not share mistakes).
#ifndef ETHERCAT_SIM_LE_BYTES_H
#define ETHERCAT_SIM_LE_BYTES_H

#include <cstdint>

namespace ecat_sim {
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) { return le16(p) | (static_cast<uint32_t>(le16(p + 2)) << 16); }
inline void set_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void set_le32(uint8_t* p, uint32_t v) {
  set_le16(p, static_cast<uint16_t>(v & 0xFFFF));
  set_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void set_le64(uint8_t* p, uint64_t v) {
  set_le32(p, static_cast<uint32_t>(v & 0xFFFFFFFFu));
  set_le32(p + 4, static_cast<uint32_t>(v >> 32));
}
}  // namespace ecat_sim

#endif
