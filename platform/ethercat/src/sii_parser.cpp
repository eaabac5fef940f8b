#include <algorithm>

#include "byte_order.h"
#include "sii.h"

namespace ecat {

namespace {

void parse_strings(const uint8_t* p, size_t len, SiiInfo* out) {
  if (len < 1) return;
  const size_t count = p[0];
  if (count < 1 || len < 2) return;
  const size_t slen = p[1];
  if (slen > len - 2) return;
  out->has_strings = true;
  out->first_string.assign(reinterpret_cast<const char*>(p + 2), slen);
}

void parse_general(const uint8_t* p, size_t len, SiiInfo* out) {
  if (len < 12) return;
  out->has_general = true;
  out->coe_details = p[5];
  out->flags = p[11];
}

void parse_sync_managers(const uint8_t* p, size_t len, SiiInfo* out) {
  const size_t n = std::min<size_t>(len / 8, 8);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* s = p + 8 * i;
    SiiSyncManager& sm = out->sm[i];
    sm.start = get_le16(s);
    sm.length = get_le16(s + 2);
    sm.control = s[4];
    sm.enable = s[6];
    sm.type = s[7];
  }
  out->sm_count = static_cast<int>(n);
}

void parse_fmmus(const uint8_t* p, size_t len, SiiInfo* out) {
  const size_t n = std::min<size_t>(len, 8);
  for (size_t i = 0; i < n; ++i) out->fmmu_usage[i] = p[i];
  out->fmmu_count = static_cast<int>(n);
}

// PDO: index (2), entries (1), SyncManager (1), DC (1), name (1), flags (2),
// then 8 bytes per entry with the bit length at entry offset 5.
void parse_pdos(const uint8_t* p, size_t len, uint32_t bits_per_sm[8]) {
  size_t pos = 0;
  while (len - pos >= 8) {
    const uint8_t entries = p[pos + 2];
    const uint8_t sm = p[pos + 3];
    pos += 8;
    uint32_t bits = 0;
    for (uint8_t e = 0; e < entries; ++e) {
      if (len - pos < 8) return;  // truncated PDO: count nothing of it
      bits += p[pos + 5];
      pos += 8;
    }
    if (sm < 8) bits_per_sm[sm] += bits;
  }
}

}  // namespace

void parse_sii_categories(const uint8_t* bytes, size_t len, SiiInfo* out) {
  size_t pos = 0;
  while (len - pos >= 4) {
    const uint16_t type = get_le16(bytes + pos);
    const size_t words = get_le16(bytes + pos + 2);
    if (type == sii::kCatEnd) return;
    pos += 4;
    if (words * 2 > len - pos) return;
    const uint8_t* data = bytes + pos;
    const size_t dlen = words * 2;
    switch (type) {
      case sii::kCatStrings: parse_strings(data, dlen, out); break;
      case sii::kCatGeneral: parse_general(data, dlen, out); break;
      case sii::kCatSyncManager: parse_sync_managers(data, dlen, out); break;
      case sii::kCatFmmu: parse_fmmus(data, dlen, out); break;
      case sii::kCatTxPdo:
        out->has_tx_pdo = true;
        parse_pdos(data, dlen, out->tx_bits_per_sm);
        break;
      case sii::kCatRxPdo:
        out->has_rx_pdo = true;
        parse_pdos(data, dlen, out->rx_bits_per_sm);
        break;
      default: break;
    }
    pos += dlen;
  }
}

}  // namespace ecat
