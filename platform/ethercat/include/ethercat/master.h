// A small EtherCAT master on a raw Ethernet port (Linux packet socket).
//
// One `ecat::Master` is one master context: the port, the slave table and the
// process-data group 0. Nothing is global, so several masters may run side by
// side on different ports. A context is used by one thread at a time; the
// caller serialises calls (the cyclic exchange and everything else on one
// thread, or under the caller's own lock).
//
// The facilities, in the order a caller uses them:
//   list_adapters()            the network interfaces with name and description
//   Master::open()             open the raw port on one interface
//   Master::config_init()      find the slaves, give them station addresses,
//                              read their SII, request PRE-OP; slave count
//   Master::config_map_group() program SyncManagers and FMMUs, map group 0
//                              into the caller's image, request SAFE-OP
//   Master::config_dc()        distributed-clock offsets and delays
//   Master::state_check()      wait until the slaves reach a state
//   Master::write_state()      request a state
//   Master::read_state()       read every slave's state and status code
//   Master::send_process_data() / receive_process_data()
//                              one cyclic LRW exchange; working counter
//   Master::close()            close the port
//   sleep_us()                 relative monotonic sleep between cycles
//
// Compiles as C++11.
#ifndef ETHERCAT_MASTER_H
#define ETHERCAT_MASTER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ecat {

// AL states as they appear in AL Control/AL Status bits 0-3.
const uint16_t kStateNone = 0x00;
const uint16_t kStateInit = 0x01;
const uint16_t kStatePreOp = 0x02;
const uint16_t kStateBoot = 0x03;
const uint16_t kStateSafeOp = 0x04;
const uint16_t kStateOp = 0x08;
// AL Status bit 4 (the slave reports an error); in a requested state the same
// bit acknowledges that error (AL Control bit 4).
const uint16_t kStateError = 0x10;
const uint16_t kStateAck = 0x10;

// Timeouts the cyclic caller usually passes, in microseconds.
const int kTimeoutReturnUs = 2000;    // one frame's round trip
const int kTimeoutSafeUs = 20000;     // slave count at start-up
const int kTimeoutStateUs = 2000000;  // a state change

// Result of receive_process_data when no matching frame came back in time.
const int kNoFrame = -1;

// Time a slave has to take a mailbox request and to answer it.
const int kTimeoutMailboxUs = 500000;

// Results of Master::sdo_upload below 0.
const int kSdoNoMailbox = -2;  // no such slave, no CoE mailbox, or the port is closed
const int kSdoTimeout = -3;    // the request was not taken or not answered in time
const int kSdoAborted = -4;    // the slave aborted the transfer (abort code in the error log)
const int kSdoTooLarge = -5;   // the object is larger than the caller's buffer
const int kSdoBadReply = -6;   // a reply that contradicts the transfer (sizes, segments)

const int kMaxSlaves = 200;
const int kMaxSyncManagers = 8;
const int kMaxFmmus = 4;
// Largest process image of one group. An image larger than one frame's
// datagram goes out as several LRW frames per cycle.
const uint32_t kMaxGroupImageBytes = 4096;

// One network interface.
struct Adapter {
  std::string name;         // what open() takes
  std::string description;  // libpcap's description; without one the name, with
                            // " (loopback)" or " (wireless)" added where that applies
};

// Every network interface of the calling thread's network namespace that has an
// interface index, in libpcap's order. Empty when there are none or libpcap
// fails. Needs no master context and no privilege.
std::vector<Adapter> list_adapters();

// Sleeps `us` microseconds on the monotonic clock (relative, resumed after
// signals). Returns 0, or -1 for a negative argument.
int sleep_us(int us);

// One SyncManager as configured (register layout of 0x0800 + 8 n).
struct SyncManagerConfig {
  uint16_t start = 0;   // physical start address
  uint16_t length = 0;  // bytes
  uint8_t control = 0;  // 0x0804
  uint8_t enable = 0;   // 0x0806 (bit 0 enable)
  uint8_t type = 0;     // 0 unused, 1 mailbox out, 2 mailbox in, 3 outputs, 4 inputs
};

// One slave's record. slave(0) is the master record that stands for all slaves.
struct SlaveRecord {
  // AL state: for slave(0) what state_check/read_state left there and what
  // write_state(0) sends; for slave k what the last per-slave read found.
  uint16_t state = 0;
  uint16_t al_status_code = 0;   // slave(0): OR of all codes from read_state
  uint16_t config_address = 0;   // station address, 0x1001 for the first slave
  uint16_t alias = 0;
  uint32_t vendor_id = 0;
  uint32_t product_code = 0;
  uint32_t revision = 0;
  uint32_t serial = 0;
  std::string name;              // SII string 1, or "? M:vendor I:product"
  uint16_t pdi_type = 0;         // 0x0140
  uint8_t port_types = 0;        // 0x0007
  uint16_t dl_status = 0;        // 0x0110
  int topology = 0;              // active ports: 1 end of line, 2 pass-through, ...
  bool has_dc = false;           // ESC feature 0x0008 bit 2
  bool eeprom_8_bytes = false;   // SII reads return 8 bytes
  uint16_t mailbox_out_offset = 0, mailbox_out_length = 0;
  uint16_t mailbox_in_offset = 0, mailbox_in_length = 0;
  uint16_t mailbox_protocols = 0;
  uint8_t coe_details = 0;        // SII General: CoE details
  uint8_t general_flags = 0;
  SyncManagerConfig sm[kMaxSyncManagers];
  // Process data (filled by config_map_group). Bits come from the CoE PDO
  // assignment (pdo_from_coe) or the SII; byte counts are 0 for slaves with
  // fewer than 8 bits.
  bool pdo_from_coe = false;
  uint32_t output_bits = 0;
  uint32_t output_bytes = 0;
  uint8_t* outputs = nullptr;    // into the caller's image; null without outputs
  uint32_t input_bits = 0;
  uint32_t input_bytes = 0;
  uint8_t* inputs = nullptr;
  int fmmus_used = 0;
  uint8_t group = 0;
};

// Process-data group 0 after config_map_group.
struct GroupRecord {
  uint32_t logical_start = 0;
  uint32_t output_bytes = 0;
  uint8_t* outputs = nullptr;   // image start
  uint32_t input_bytes = 0;
  uint8_t* inputs = nullptr;    // image + output_bytes
  // Expected working counter of one cycle (all its LRWs summed):
  // 2 * outputs_wkc + inputs_wkc.
  uint16_t outputs_wkc = 0;     // LRWs that carry a slave's outputs, per slave
  uint16_t inputs_wkc = 0;      // LRWs that carry a slave's inputs, per slave
  uint16_t frames = 0;          // LRW frames per cycle
  bool has_dc = false;          // the cycle carries the reference-clock datagram
  uint16_t dc_reference = 0;    // station address of the reference clock
};

// One failed SDO transfer, as the master's error log keeps it.
struct SdoError {
  int slave = 0;
  uint16_t index = 0;
  uint8_t subindex = 0;
  int result = 0;           // kSdoTimeout, kSdoAborted, kSdoTooLarge or kSdoBadReply
  uint32_t abort_code = 0;  // the slave's abort code with kSdoAborted, else 0
};

class Master {
 public:
  Master();
  ~Master();  // closes the port
  Master(const Master&) = delete;
  Master& operator=(const Master&) = delete;

  // Opens a packet socket for EtherType 0x88A4 bound to `ifname` in the
  // calling thread's network namespace (needs CAP_NET_RAW there). Closes a port
  // already open first. Returns > 0 on success, 0 on failure (no privilege,
  // unknown interface, null name).
  int open(const char* ifname);

  // Closes the port; the slave table stays readable. Safe to call twice.
  void close();
  bool is_open() const;

  // Resets the context, counts the slaves (broadcast read), gives them
  // station addresses 0x1001.., reads identity, name, mailbox, SyncManager and
  // PDO data from each SII and requests PRE-OP (with error acknowledge).
  // Returns the slave count; 0 when nobody answered with a working counter,
  // -1 when no frame came back, -4 for more than kMaxSlaves slaves, -2 when
  // the port is not open.
  int config_init();

  // Waits for PRE-OP, sizes each slave's process data (for slaves whose SII
  // lists CoE: the PDOs that objects 0x1C12 and 0x1C13 assign, read over the
  // mailbox; otherwise, or when CoE gives no bits, does not answer or aborts:
  // the SII), programs the process-data SyncManagers and one FMMU per
  // SyncManager (outputs first, then inputs, in slave order, byte aligned,
  // from logical address 0), points every slave record and group 0 into
  // `image`, and requests SAFE-OP. An image larger than one datagram is cut
  // into one LRW frame per 1486 bytes (the first 20 bytes shorter, room for
  // the distributed-clock datagram). Returns the image bytes used; 0 when
  // there is no process data or it does not fit `image_bytes` or
  // kMaxGroupImageBytes, in which case nothing is mapped.
  // `image` is owned by the caller and must outlive the mapping.
  int config_map_group(uint8_t* image, size_t image_bytes);

  // Latches receive times, writes each DC slave's system time offset (and, on a
  // line, the propagation delay) and makes the first DC slave the reference
  // clock whose time the cyclic frame then distributes. Returns true when at
  // least one slave has DC.
  bool config_dc();

  // slave 0: broadcast-reads AL Status every ~1 ms until the OR of all slaves'
  // status bits 0-3 equals `state` and every slave answered, or `timeout_us`
  // passed. Leaves the raw OR (error bit included) in slave(0).state, so
  // slave(0).state == state means every slave is in `state` without error;
  // when the last read missed a slave or no frame came back it leaves 0.
  // slave k: the same with that slave's AL Status, also filling its
  // al_status_code. Returns the stored value & 0x0F.
  uint16_t state_check(int slave, uint16_t state, int timeout_us);

  // slave 0: broadcast-writes slave(0).state to AL Control; slave k: writes
  // slave(k).state to that slave. Returns the working counter (the number of
  // slaves reached), -1 when no frame came back.
  int write_state(int slave);

  // Reads every slave's AL Status and status code into its record. slave(0)
  // gets the lowest state (0 when a slave did not answer) and the OR of the
  // codes. Returns the lowest state.
  int read_state();

  // Sends group 0's image, one LRW frame per segment (the first also carries
  // the reference-clock datagram when DC is in use). Returns 1 when at least
  // one frame was sent, 0 without process data, a port or on a send error.
  // Replies still outstanding from an earlier send are abandoned.
  int send_process_data();

  // Waits up to `timeout_us` in all for the replies to the last send
  // (matched by index, command and length, in any order; other frames are
  // dropped). Copies the returned input bytes into the image (outputs are
  // left as the caller wrote them). Returns the sum of the LRW working
  // counters of the frames that came back, or kNoFrame (-1) when none did,
  // nothing was sent, or the port is closed; inputs of frames that did not
  // come back are untouched.
  int receive_process_data(int timeout_us);

  // Reads object `index`:`subindex` of slave `slave` (1..) by CoE SDO upload
  // over its mailbox (expedited, normal or segmented) into `data`, which
  // holds `capacity` bytes and is owned by the caller. Replies that are not
  // for this transfer (other protocols, emergencies, stale replies) are
  // skipped. Each request must be taken and answered within `timeout_us`.
  // Returns the object's byte count, or kSdoNoMailbox, kSdoTimeout,
  // kSdoAborted, kSdoTooLarge, kSdoBadReply; failures are also logged.
  int sdo_upload(int slave, uint16_t index, uint8_t subindex, uint8_t* data, size_t capacity,
                 int timeout_us = kTimeoutMailboxUs);

  // The failed SDO transfers since config_init, oldest first (the newest
  // 64 are kept).
  std::vector<SdoError> sdo_errors() const;

  int slave_count() const;
  // i in 0..slave_count(); slave(0) is the master record. Out of range: slave(0).
  SlaveRecord& slave(int i);
  const SlaveRecord& slave(int i) const;
  GroupRecord& group();
  const GroupRecord& group() const;

  // Frames received and dropped because they did not parse or did not match
  // the request (garbage, stale replies). For diagnostics.
  uint64_t dropped_frames() const;

  // The implementation; named here only so that the library's own files can
  // share it.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ecat

#endif  // ETHERCAT_MASTER_H
