// The master context's private state and the blocking register access that
// configuration uses. One thread at a time.
#ifndef ETHERCAT_MASTER_IMPL_H
#define ETHERCAT_MASTER_IMPL_H

#include <cstdint>
#include <vector>

#include "ethercat/master.h"
#include "frame_codec.h"
#include "raw_socket.h"
#include "sii.h"

namespace ecat {

struct Master::Impl {
  RawSocket socket;
  int slave_count = 0;
  // Entry 0 is the master record, 1..kMaxSlaves the slaves.
  std::vector<SlaveRecord> slaves = std::vector<SlaveRecord>(kMaxSlaves + 1);
  std::vector<SiiInfo> sii = std::vector<SiiInfo>(kMaxSlaves + 1);
  GroupRecord group;
  uint8_t* image = nullptr;
  uint32_t image_used = 0;
  uint8_t next_index = 0;
  // The process-data frame in flight, if any.
  bool pd_outstanding = false;
  SentShape pd_shape;
  uint64_t dropped = 0;
  uint8_t rx[kMaxFrameBytes];

  uint8_t take_index() { return next_index++; }
  void reset_slaves();
};

// One datagram in one frame, resent every kTimeoutReturnUs while no reply
// comes back, until `timeout_us` has passed. On a reply, copies its data back
// into `data` (when not null) and returns its working counter; -1 when no
// frame came back (or the port is closed).
int transact(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len,
             int timeout_us);

// Sends `builder`'s frame described by `shape` and waits until `deadline_ns`
// for its reply; false on timeout or send error. Non-matching frames are
// dropped and counted. On success `reply` views m.rx.
bool send_frame(Master::Impl& m, const FrameBuilder& builder, size_t frame_len);
bool await_reply(Master::Impl& m, const SentShape& shape, int64_t deadline_ns, FrameView* reply);

// Write/read helpers for small register values.
int write_u8(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t v, int timeout_us);
int write_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t v, int timeout_us);
int read_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t* v, int timeout_us);

// Auto-increment address of slave i (1-based): 0, 0xFFFF, 0xFFFE, ...
inline uint16_t position_address(int i) { return static_cast<uint16_t>(1 - i); }

// Configuration access: resent every kTimeoutReturnUs while unanswered. Real
// slaves answer within microseconds; the margin only costs time when a slave
// is missing, and keeps a slow (simulated, loaded) slave configurable.
const int kTimeoutConfigUs = 20000;
const int kTimeoutEepromUs = 20000;

// Reads SII words at `word` from the slave with station address `station`
// into `out` (4 bytes, or 8 when the slave reads 8). Returns the byte count,
// 0 on failure (no answer, busy beyond the timeout, NACK three times).
int sii_read(Master::Impl& m, uint16_t station, bool eight_bytes, uint16_t word, uint8_t out[8]);

// Reads the category area from word 0x40 up to the end marker (bounded by
// sii::kMaxCategoryBytes) into `out`; stops early on a read failure.
void sii_read_categories(Master::Impl& m, uint16_t station, bool eight_bytes, std::vector<uint8_t>* out);

}  // namespace ecat

#endif
