// Process-data sizes from the CoE PDO assignment: 0x1C12 lists the RxPDOs
// of SyncManager 2 (outputs), 0x1C13 the TxPDOs of SyncManager 3 (inputs);
// each listed mapping object (0x16nn, 0x1Ann) holds in subindex 0 its entry
// count and in each entry the mapped object as index (bits 16-31), subindex
// (bits 8-15) and bit length (bits 0-7).
#include "byte_order.h"
#include "master_impl.h"

namespace ecat {

namespace {

const uint16_t kRxPdoAssign = 0x1C12;
const uint16_t kTxPdoAssign = 0x1C13;

// Uploads an unsigned value of up to `bytes` bytes; a slave may answer
// with fewer (subindex 0 as one byte or as two).
bool upload_unsigned(Master& master, int slave, uint16_t index, uint8_t subindex, size_t bytes, uint32_t* value) {
  uint8_t b[4] = {0, 0, 0, 0};
  const int n = master.sdo_upload(slave, index, subindex, b, bytes);
  if (n < 1) return false;
  *value = get_le32(b);
  return true;
}

bool assigned_bits(Master& master, int slave, uint16_t assign, uint32_t* bits) {
  *bits = 0;
  uint32_t pdo_count = 0;
  if (!upload_unsigned(master, slave, assign, 0, 1, &pdo_count)) return false;
  for (uint32_t k = 1; k <= pdo_count; ++k) {
    uint32_t pdo = 0;
    if (!upload_unsigned(master, slave, assign, static_cast<uint8_t>(k), 2, &pdo)) return false;
    uint32_t entries = 0;
    if (!upload_unsigned(master, slave, static_cast<uint16_t>(pdo), 0, 1, &entries)) return false;
    for (uint32_t e = 1; e <= entries; ++e) {
      uint32_t entry = 0;
      if (!upload_unsigned(master, slave, static_cast<uint16_t>(pdo), static_cast<uint8_t>(e), 4, &entry)) {
        return false;
      }
      *bits += entry & 0xFF;
    }
  }
  return true;
}

}  // namespace

bool read_coe_pdo_bits(Master& master, int slave, uint32_t* output_bits, uint32_t* input_bits) {
  return assigned_bits(master, slave, kRxPdoAssign, output_bits) &&
         assigned_bits(master, slave, kTxPdoAssign, input_bits);
}

}  // namespace ecat
