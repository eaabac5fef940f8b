// Slave Information Interface (SII EEPROM): reading words over the bus and
// parsing the category area that starts at word 0x40.
#ifndef ETHERCAT_SII_H
#define ETHERCAT_SII_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecat {

// SII word addresses of the fixed area.
namespace sii {
const uint16_t kVendorId = 0x0008;
const uint16_t kProductCode = 0x000A;
const uint16_t kRevision = 0x000C;
const uint16_t kSerial = 0x000E;
const uint16_t kMailboxOut = 0x0018;    // offset, then size (master -> slave)
const uint16_t kMailboxIn = 0x001A;     // offset, then size (slave -> master)
const uint16_t kMailboxProtocols = 0x001C;
const uint16_t kMailboxCoe = 0x0004;    // protocol bit: CAN application protocol over EtherCAT
const uint16_t kFirstCategory = 0x0040;

const uint16_t kCatStrings = 10;
const uint16_t kCatGeneral = 30;
const uint16_t kCatFmmu = 40;
const uint16_t kCatSyncManager = 41;
const uint16_t kCatTxPdo = 50;  // inputs
const uint16_t kCatRxPdo = 51;  // outputs
const uint16_t kCatEnd = 0xFFFF;

// The category area is read at most this far (bytes after word 0x40).
const size_t kMaxCategoryBytes = 8192;
}  // namespace sii

struct SiiSyncManager {
  uint16_t start = 0;
  uint16_t length = 0;
  uint8_t control = 0;
  uint8_t enable = 0;
  uint8_t type = 0;
};

struct SiiInfo {
  bool has_strings = false;
  std::string first_string;
  bool has_general = false;
  uint8_t coe_details = 0;
  uint8_t flags = 0;
  int sm_count = 0;
  SiiSyncManager sm[8];
  int fmmu_count = 0;
  uint8_t fmmu_usage[8] = {};
  bool has_tx_pdo = false;
  bool has_rx_pdo = false;
  // Sum of the PDO entries' bit lengths per SyncManager (PDOs assigned to an
  // SM index of 8 or more are not counted).
  uint32_t tx_bits_per_sm[8] = {};
  uint32_t rx_bits_per_sm[8] = {};
};

// Parses the category area (`bytes` holds the EEPROM from word 0x40 on).
// Stops at the end marker or at the first category that does not fit; what
// was parsed before stays. Never reads outside [bytes, bytes + len).
void parse_sii_categories(const uint8_t* bytes, size_t len, SiiInfo* out);

}  // namespace ecat

#endif
