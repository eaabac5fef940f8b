// The hand's PDO entries as both the SII categories and the CoE object
// dictionary describe them: 32-bit entries, then 8-bit ones for the rest,
// at most kEntriesPerPdo per PDO.
#ifndef ETHERCAT_SIM_PDO_LAYOUT_H
#define ETHERCAT_SIM_PDO_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ecat_sim {

const size_t kEntriesPerPdo = 254;

// Bit length of each entry of an image of `bytes` bytes.
inline std::vector<uint8_t> pdo_entry_bits(uint16_t bytes) {
  std::vector<uint8_t> bits(bytes / 4, 32);
  bits.insert(bits.end(), bytes % 4, 8);
  return bits;
}

}  // namespace ecat_sim

#endif
