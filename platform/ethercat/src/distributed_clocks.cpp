// Distributed-clock set-up: system time offsets and, on a line, propagation
// delays; the first DC slave becomes the reference clock.
#include <time.h>

#include "byte_order.h"
#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

namespace {
// EtherCAT system time counts nanoseconds from 2000-01-01 00:00 UTC.
const int64_t kUnixTo2000Seconds = 946684800LL;

uint64_t master_time_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(static_cast<int64_t>(ts.tv_sec) - kUnixTo2000Seconds) * 1000000000ULL +
         static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

bool Master::config_dc() {
  Impl& m = *impl_;
  m.group.has_dc = false;
  m.group.dc_reference = 0;
  if (m.slave_count <= 0) return false;
  // A write to port 0's receive time latches every DC slave's receive times.
  uint8_t latch[4] = {};
  transact(m, kBwr, 0, reg::kDcReceiveTimePort0, latch, sizeof latch, kTimeoutConfigUs);
  const uint64_t now = master_time_ns();

  bool found = false;
  uint32_t prev_round = 0;   // previous DC slave: port 1 minus port 0 receive time
  uint32_t prev_delay = 0;   // its accumulated delay
  for (int i = 1; i <= m.slave_count; ++i) {
    SlaveRecord& s = m.slaves[static_cast<size_t>(i)];
    if (!s.has_dc) continue;
    uint8_t times[16] = {};
    uint8_t unit[8] = {};
    transact(m, kFprd, s.config_address, reg::kDcReceiveTimePort0, times, sizeof times, kTimeoutConfigUs);
    transact(m, kFprd, s.config_address, reg::kDcReceiveTimeUnit, unit, sizeof unit, kTimeoutConfigUs);
    uint8_t offset[8];
    put_le64(offset, now - get_le64(unit));
    transact(m, kFpwr, s.config_address, reg::kDcSystemOffset, offset, sizeof offset, kTimeoutConfigUs);
    const uint32_t own_round = get_le32(times + 4) - get_le32(times);
    uint32_t delay = 0;
    if (!found) {
      found = true;
      m.group.has_dc = true;
      m.group.dc_reference = s.config_address;
    } else {
      // Line topology: half the difference of the two slaves' round trips
      // (port 1 minus port 0) is the hop between them.
      if (prev_round > own_round) delay = prev_delay + (prev_round - own_round) / 2;
      uint8_t d[4];
      put_le32(d, delay);
      transact(m, kFpwr, s.config_address, reg::kDcSystemDelay, d, sizeof d, kTimeoutConfigUs);
    }
    prev_round = own_round;
    prev_delay = delay;
  }
  return found;
}

}  // namespace ecat
