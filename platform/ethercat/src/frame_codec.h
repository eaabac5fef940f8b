// EtherCAT frames on Ethernet: building request frames and parsing replies.
//
// Frame: Ethernet header (14) | EtherCAT header (2: length 11 bits, type 4
// bits) | datagrams | padding to 60 bytes. Datagram: cmd, idx, address (4),
// length/flags (2), irq (2), data, working counter (2). All EtherCAT fields are
// little-endian; the EtherType is big-endian like any EtherType.
#ifndef ETHERCAT_FRAME_CODEC_H
#define ETHERCAT_FRAME_CODEC_H

#include <cstddef>
#include <cstdint>

namespace ecat {

const size_t kEthHeaderBytes = 14;
const size_t kEcatHeaderBytes = 2;
const size_t kDatagramHeaderBytes = 10;
const size_t kWkcBytes = 2;
const size_t kMinFrameBytes = 60;    // without FCS; shorter frames are padded
const size_t kMaxFrameBytes = 1514;  // without FCS
const size_t kMaxDatagramDataBytes = 1486;
const size_t kMaxDatagramsPerFrame = 8;
const uint16_t kEtherTypeEcat = 0x88A4;
const uint8_t kEcatTypeCommands = 1;

// The source address the master sends from. Every slave sets bit 1 of the
// first byte, so replies come back from 03:01:01:01:01:01.
extern const uint8_t kMasterMac[6];

struct DatagramView {
  uint8_t cmd = 0;
  uint8_t idx = 0;
  uint32_t address = 0;  // ADP in the low 16 bits, ADO in the high, or logical
  uint16_t length = 0;
  bool circulating = false;
  uint16_t irq = 0;
  const uint8_t* data = nullptr;  // `length` bytes inside the parsed frame
  uint16_t wkc = 0;
};

struct FrameView {
  const uint8_t* source_mac = nullptr;
  size_t count = 0;
  DatagramView datagrams[kMaxDatagramsPerFrame];
};

// Parses a frame of `len` bytes as it arrived. Returns false unless it is an
// EtherCAT command frame whose header length fits the bytes received and whose
// datagrams (at most kMaxDatagramsPerFrame, chained by the M bit) fill exactly
// that length. Padding after the datagrams is allowed. Views point into `frame`.
bool parse_frame(const uint8_t* frame, size_t len, FrameView* out);

// Builds one request frame to the broadcast address from kMasterMac.
class FrameBuilder {
 public:
  FrameBuilder();
  // Appends a datagram and returns its data area inside the frame, filled
  // from `data` (or zeros when null); nullptr when the frame has no room.
  uint8_t* add(uint8_t cmd, uint8_t idx, uint32_t address, const uint8_t* data, uint16_t len);
  // Writes the EtherCAT length and M bits, pads to 60 bytes, returns the
  // frame length.
  size_t finish();
  const uint8_t* bytes() const { return buf_; }
  size_t datagram_count() const { return count_; }

 private:
  uint8_t buf_[kMaxFrameBytes];
  size_t len_;
  size_t count_;
  size_t last_header_;
};

// What was sent, to recognise its reply.
struct SentShape {
  size_t count = 0;
  uint8_t cmd[kMaxDatagramsPerFrame] = {};
  uint8_t idx[kMaxDatagramsPerFrame] = {};
  uint16_t length[kMaxDatagramsPerFrame] = {};
};

// True when `reply` answers `sent`: it passed a slave (source MAC bit 1) and
// has the same datagrams with the same command, index and length.
bool is_reply_to(const SentShape& sent, const FrameView& reply);

}  // namespace ecat

#endif
