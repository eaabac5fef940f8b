// Arbitrary SII category areas (bytes from a slave's EEPROM) through the parser.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> area(data, data + size);
  ecat::SiiInfo info;
  ecat::parse_sii_categories(area.data(), area.size(), &info);
  return 0;
}
