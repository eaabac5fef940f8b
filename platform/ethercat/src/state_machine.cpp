// AL state requests and checks (AL Control 0x0120, AL Status 0x0130).
#include <algorithm>

#include "byte_order.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

namespace {
bool is_single_state(uint16_t v) {
  return v == kStateInit || v == kStatePreOp || v == kStateSafeOp || v == kStateOp;
}
}  // namespace

uint16_t Master::state_check(int slave, uint16_t state, int timeout_us) {
  Impl& m = *impl_;
  if (slave < 0 || slave > m.slave_count) return 0;
  const int64_t end_ns = monotonic_ns() + static_cast<int64_t>(timeout_us > 0 ? timeout_us : 0) * 1000;
  uint16_t stored = 0;
  for (;;) {
    // Each read may use the time that is left (up to the configuration
    // timeout), so that a slow answer near the end still counts.
    const int64_t left_us = (end_ns - monotonic_ns()) / 1000;
    const int read_us = static_cast<int>(std::max<int64_t>(kTimeoutReturnUs, std::min<int64_t>(kTimeoutConfigUs, left_us)));
    if (slave == 0) {
      uint16_t v = 0;
      const int wkc = read_u16(m, kBrd, 0, reg::kAlStatus, &v, read_us);
      // The OR of all slaves only speaks for all of them when all answered.
      stored = (wkc > 0 && wkc >= m.slave_count) ? v : 0;
    } else {
      SlaveRecord& s = m.slaves[static_cast<size_t>(slave)];
      uint8_t b[6] = {};
      const int wkc = transact(m, kFprd, s.config_address, reg::kAlStatus, b, sizeof b, read_us);
      stored = wkc > 0 ? get_le16(b) : 0;
      if (wkc > 0) s.al_status_code = get_le16(b + 4);
    }
    if ((stored & 0x0F) == state || monotonic_ns() >= end_ns) break;
    sleep_us(1000);
  }
  m.slaves[static_cast<size_t>(slave)].state = stored;
  return static_cast<uint16_t>(stored & 0x0F);
}

int Master::write_state(int slave) {
  Impl& m = *impl_;
  if (slave < 0 || slave > m.slave_count) return -1;
  const SlaveRecord& s = m.slaves[static_cast<size_t>(slave)];
  if (slave == 0) return write_u16(m, kBwr, 0, reg::kAlControl, s.state, kTimeoutConfigUs);
  return write_u16(m, kFpwr, s.config_address, reg::kAlControl, s.state, kTimeoutConfigUs);
}

int Master::read_state() {
  Impl& m = *impl_;
  SlaveRecord& all = m.slaves[0];
  uint16_t v = 0;
  const int wkc = read_u16(m, kBrd, 0, reg::kAlStatus, &v, kTimeoutConfigUs);
  // Fast path: every slave answered and they all report one state without error.
  if (wkc > 0 && wkc >= m.slave_count && is_single_state(v)) {
    for (int i = 1; i <= m.slave_count; ++i) {
      m.slaves[static_cast<size_t>(i)].state = v;
      m.slaves[static_cast<size_t>(i)].al_status_code = 0;
    }
    all.state = v;
    all.al_status_code = 0;
    return v;
  }
  uint16_t lowest = 0xFF;
  uint16_t codes = 0;
  for (int i = 1; i <= m.slave_count; ++i) {
    SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    uint8_t b[6] = {};
    if (transact(m, kFprd, s.config_address, reg::kAlStatus, b, sizeof b, kTimeoutConfigUs) > 0) {
      s.state = get_le16(b);
      s.al_status_code = get_le16(b + 4);
    } else {
      s.state = 0;  // no answer: state unknown
      s.al_status_code = 0;
    }
    codes = static_cast<uint16_t>(codes | s.al_status_code);
    const uint16_t st = static_cast<uint16_t>(s.state & 0x0F);
    if (st < lowest) lowest = st;
  }
  if (m.slave_count <= 0) lowest = static_cast<uint16_t>(wkc > 0 ? (v & 0x0F) : 0);
  all.state = lowest;
  all.al_status_code = codes;
  return lowest;
}

}  // namespace ecat
