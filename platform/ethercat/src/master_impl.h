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
  // Group 0's image split into the LRW datagrams of one cycle, one frame
  // each; the first leaves room for the reference-clock datagram.
  struct Segment {
    uint32_t offset = 0;  // into the image and the logical space
    uint16_t length = 0;
  };
  std::vector<Segment> segments;
  // The process-data frames in flight: one shape per segment; a shape whose
  // count is 0 was answered or never sent.
  std::vector<SentShape> pd_shapes;
  size_t pd_frames = 0;
  uint64_t dropped = 0;
  // Per slave: the counter of our last mailbox request and of the last
  // message taken from the slave's mailbox (a repeat of it is skipped).
  std::vector<uint8_t> mailbox_out_counter = std::vector<uint8_t>(kMaxSlaves + 1, 0);
  std::vector<uint8_t> mailbox_in_counter = std::vector<uint8_t>(kMaxSlaves + 1, 0);
  std::vector<SdoError> sdo_errors;
  uint8_t rx[kMaxFrameBytes];

  uint8_t take_index() { return next_index++; }
  void reset_slaves();
  // Forgets the process-data frames in flight: their replies are stale now.
  void abandon_process_data() {
    pd_frames = 0;
    for (SentShape& s : pd_shapes) s.count = 0;
  }
};

// One datagram in one frame, resent every kTimeoutReturnUs while no reply
// comes back, until `timeout_us` has passed. Each send waits its full round
// trip (or `timeout_us`, when shorter) counted from the send, so the call can
// end up to one round trip after `timeout_us`. On a reply, copies its data back
// into `data` (when not null) and returns its working counter; -1 when no
// frame came back (or the port is closed).
int transact(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len,
             int timeout_us);

// The same, sent once and awaited for `timeout_us` after the send: for reads
// that change the slave (reading a mailbox empties it), where a resend would
// lose the data the first read took.
int transact_once(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len,
                  int timeout_us);

// Sends `builder`'s frame; false on a send error.
bool send_frame(Master::Impl& m, const FrameBuilder& builder, size_t frame_len);
// Waits until `deadline_ns` for the reply to one of the `n` frames described
// by `shapes` (a shape with count 0 matches nothing). Returns the index of
// the shape answered, -1 on timeout. Non-matching frames are dropped and
// counted. On success `reply` views m.rx.
int await_any_reply(Master::Impl& m, const SentShape* shapes, size_t n, int64_t deadline_ns, FrameView* reply);
inline bool await_reply(Master::Impl& m, const SentShape& shape, int64_t deadline_ns, FrameView* reply) {
  return await_any_reply(m, &shape, 1, deadline_ns, reply) == 0;
}

// Write/read helpers for small register values.
int write_u8(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t v, int timeout_us);
int write_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t v, int timeout_us);
int read_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t* v, int timeout_us);

// Auto-increment address of slave i (1-based): 0, 0xFFFF, 0xFFFE, ...
inline uint16_t position_address(int i) { return static_cast<uint16_t>(1 - i); }

// The reference clock's 64-bit system time rides in the first process-data
// frame; the mapping keeps room for that datagram (header, data, counter).
const uint16_t kDcTimeBytes = 8;
const size_t kDcDatagramBytes = kDatagramHeaderBytes + kDcTimeBytes + kWkcBytes;

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

// Reads the CoE PDO assignment of slave `slave`: the summed bit lengths of
// the entries of every PDO that 0x1C12 (outputs, SyncManager 2) and 0x1C13
// (inputs, SyncManager 3) assign. False when an upload fails.
bool read_coe_pdo_bits(Master& master, int slave, uint32_t* output_bits, uint32_t* input_bits);

}  // namespace ecat

#endif
