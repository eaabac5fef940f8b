// SII EEPROM access through the ESC's EEPROM interface (0x0500-0x050F).
#include <cstring>

#include "byte_order.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

namespace {

// Polls the EEPROM control/status word until the busy bit clears.
bool wait_not_busy(Master::Impl& m, uint16_t station, uint16_t* status) {
  const int64_t end_ns = monotonic_ns() + static_cast<int64_t>(kTimeoutEepromUs) * 1000;
  for (;;) {
    const int wkc = read_u16(m, kFprd, station, reg::kEepromControl, status, kTimeoutConfigUs);
    if (wkc > 0 && (*status & reg::kEepromBusy) == 0) return true;
    if (monotonic_ns() >= end_ns) return false;
    sleep_us(200);
  }
}

}  // namespace

int sii_read(Master::Impl& m, uint16_t station, bool eight_bytes, uint16_t word, uint8_t out[8]) {
  uint16_t status = 0;
  if (!wait_not_busy(m, station, &status)) return 0;
  if ((status & reg::kEepromErrorMask) != 0) {
    write_u16(m, kFpwr, station, reg::kEepromControl, 0, kTimeoutConfigUs);
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Command word, then the word address as 32 bits.
    uint8_t cmd[6];
    put_le16(cmd, reg::kEepromCmdRead);
    put_le32(cmd + 2, word);
    if (transact(m, kFpwr, station, reg::kEepromControl, cmd, sizeof cmd, kTimeoutConfigUs) <= 0) continue;
    if (!wait_not_busy(m, station, &status)) return 0;
    if ((status & reg::kEepromNack) != 0) {
      write_u16(m, kFpwr, station, reg::kEepromControl, 0, kTimeoutConfigUs);
      continue;
    }
    const uint16_t n = eight_bytes ? 8 : 4;
    uint8_t data[8] = {};
    if (transact(m, kFprd, station, reg::kEepromData, data, n, kTimeoutConfigUs) <= 0) return 0;
    std::memcpy(out, data, n);
    return n;
  }
  return 0;
}

void sii_read_categories(Master::Impl& m, uint16_t station, bool eight_bytes, std::vector<uint8_t>* out) {
  out->clear();
  // Makes sure `need` bytes from word 0x40 are in `out`.
  auto ensure = [&](size_t need) {
    while (out->size() < need) {
      if (out->size() >= sii::kMaxCategoryBytes) return false;
      uint8_t chunk[8];
      const uint16_t word = static_cast<uint16_t>(sii::kFirstCategory + out->size() / 2);
      const int n = sii_read(m, station, eight_bytes, word, chunk);
      if (n == 0) return false;
      out->insert(out->end(), chunk, chunk + n);
    }
    return true;
  };
  size_t pos = 0;
  for (;;) {
    if (!ensure(pos + 4)) break;
    const uint16_t type = get_le16(out->data() + pos);
    if (type == sii::kCatEnd) break;
    pos += 4 + 2 * static_cast<size_t>(get_le16(out->data() + pos + 2));
    if (pos > sii::kMaxCategoryBytes) break;
  }
  // Whole reads may have fetched a little past the end; the parser stops at the end marker.
}

}  // namespace ecat
