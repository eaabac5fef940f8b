// SII EEPROM content of a simulated slave: identity, mailbox (CoE or none),
// strings, General, FMMU, SyncManager and PDO categories.
#include <algorithm>

#include "ethercat_sim/esc_model.h"
#include "pdo_layout.h"

namespace ecat_sim {

namespace {

// CRC-8 over the first 14 bytes of the SII (polynomial x^8+x^2+x+1, start 0xFF).
uint8_t sii_crc(const std::vector<uint16_t>& w) {
  uint8_t crc = 0xFF;
  for (int i = 0; i < 14; ++i) {
    const uint8_t byte = static_cast<uint8_t>(i % 2 == 0 ? (w[i / 2] & 0xFF) : (w[i / 2] >> 8));
    crc ^= byte;
    for (int b = 0; b < 8; ++b) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : (crc << 1));
  }
  return crc;
}

void put32(std::vector<uint16_t>& w, size_t word, uint32_t v) {
  w[word] = static_cast<uint16_t>(v & 0xFFFF);
  w[word + 1] = static_cast<uint16_t>(v >> 16);
}

// Appends a category from bytes (padded to whole words).
void category(std::vector<uint16_t>& w, uint16_t type, std::vector<uint8_t> bytes) {
  if (bytes.size() % 2 != 0) bytes.push_back(0);
  w.push_back(type);
  w.push_back(static_cast<uint16_t>(bytes.size() / 2));
  for (size_t i = 0; i < bytes.size(); i += 2) w.push_back(static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
}

// PDOs of `bytes` bytes.
std::vector<uint8_t> pdos(uint16_t first_pdo, uint16_t object, uint8_t sm, uint16_t bytes) {
  const std::vector<uint8_t> entries_bits = pdo_entry_bits(bytes);
  std::vector<uint8_t> out;
  size_t done = 0;
  uint16_t pdo = first_pdo;
  while (done < entries_bits.size()) {
    const size_t n = std::min<size_t>(kEntriesPerPdo, entries_bits.size() - done);
    const uint8_t h[8] = {static_cast<uint8_t>(pdo & 0xFF), static_cast<uint8_t>(pdo >> 8),
                          static_cast<uint8_t>(n), sm, 0, 0, 0, 0};
    out.insert(out.end(), h, h + 8);
    for (size_t e = 0; e < n; ++e) {
      const uint8_t sub = static_cast<uint8_t>(done + e + 1);
      const uint8_t bits = entries_bits[done + e];
      const uint8_t type = bits == 32 ? 0x07 : 0x05;  // UNSIGNED32 / UNSIGNED8
      const uint8_t en[8] = {static_cast<uint8_t>(object & 0xFF), static_cast<uint8_t>(object >> 8), sub, 0, type,
                             bits, 0, 0};
      out.insert(out.end(), en, en + 8);
    }
    done += n;
    ++pdo;
  }
  return out;
}

std::vector<uint8_t> sm_entry(uint16_t start, uint16_t len, uint8_t control, uint8_t enable, uint8_t type) {
  return {static_cast<uint8_t>(start & 0xFF), static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(len & 0xFF),
          static_cast<uint8_t>(len >> 8), control, 0, enable, type};
}

}  // namespace

std::vector<uint16_t> build_sii(const SlaveConfig& c) {
  std::vector<uint16_t> w(0x40, 0);
  w[7] = sii_crc(w);
  put32(w, 0x08, c.vendor_id);
  put32(w, 0x0A, c.product_code);
  put32(w, 0x0C, c.revision);
  put32(w, 0x0E, c.serial);
  if (c.coe) {
    w[0x18] = c.mailbox_out_start;
    w[0x19] = c.mailbox_bytes;
    w[0x1A] = c.mailbox_in_start;
    w[0x1B] = c.mailbox_bytes;
    w[0x1C] = 0x0004;  // CoE
  }  // else 0x18-0x1C stay 0: no mailbox.
  // A stale SII describes half of each image.
  const uint16_t sii_out = c.sii_stale ? static_cast<uint16_t>(c.output_bytes / 2) : c.output_bytes;
  const uint16_t sii_in = c.sii_stale ? static_cast<uint16_t>(c.input_bytes / 2) : c.input_bytes;
  w[0x3E] = 0x0001;
  w[0x3F] = 0x0001;

  std::vector<uint8_t> strings = {1, static_cast<uint8_t>(std::min<size_t>(c.name.size(), 255))};
  strings.insert(strings.end(), c.name.begin(), c.name.begin() + strings[1]);
  category(w, 10, strings);
  std::vector<uint8_t> general(32, 0);
  general[3] = 1;  // name: string 1
  if (c.coe) general[5] = 0x05;  // CoE details: SDO, PDO assignment
  category(w, 30, general);
  category(w, 40, {0x01, 0x02});
  std::vector<uint8_t> sms;
  const std::vector<uint8_t> mbx_out = c.coe ? sm_entry(c.mailbox_out_start, c.mailbox_bytes, 0x26, 0x01, 1)
                                             : sm_entry(0, 0, 0, 0, 0);
  const std::vector<uint8_t> mbx_in = c.coe ? sm_entry(c.mailbox_in_start, c.mailbox_bytes, 0x22, 0x01, 2)
                                            : sm_entry(0, 0, 0, 0, 0);
  const std::vector<uint8_t> out_sm = sm_entry(c.output_sm_start, c.sii_sm_lengths ? sii_out : 0, 0x64, 0x01, 3);
  const std::vector<uint8_t> in_sm = sm_entry(c.input_sm_start, c.sii_sm_lengths ? sii_in : 0, 0x20, 0x01, 4);
  for (const std::vector<uint8_t>* sm : {&mbx_out, &mbx_in, &out_sm, &in_sm}) sms.insert(sms.end(), sm->begin(), sm->end());
  category(w, 41, sms);
  if (c.pdo_categories) {
    if (sii_in > 0) category(w, 50, pdos(0x1A00, 0x6000, 3, sii_in));
    if (sii_out > 0) category(w, 51, pdos(0x1600, 0x7000, 2, sii_out));
  }
  w.push_back(0xFFFF);
  w.push_back(0xFFFF);
  return w;
}

}  // namespace ecat_sim
