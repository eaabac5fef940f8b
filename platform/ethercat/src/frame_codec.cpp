#include "frame_codec.h"

#include <cstring>

#include "byte_order.h"

namespace ecat {

const uint8_t kMasterMac[6] = {0x01, 0x01, 0x01, 0x01, 0x01, 0x01};

namespace {
const uint16_t kLengthMask = 0x07FF;
const uint16_t kCirculatingBit = 0x4000;
const uint16_t kMoreBit = 0x8000;
}  // namespace

bool parse_frame(const uint8_t* frame, size_t len, FrameView* out) {
  if (frame == nullptr || out == nullptr) return false;
  out->count = 0;
  if (len < kEthHeaderBytes + kEcatHeaderBytes) return false;
  // EtherType is big-endian on the wire.
  if (((frame[12] << 8) | frame[13]) != kEtherTypeEcat) return false;
  const uint16_t header = get_le16(frame + kEthHeaderBytes);
  if ((header >> 12) != kEcatTypeCommands) return false;
  const size_t ecat_len = header & kLengthMask;
  const size_t body = kEthHeaderBytes + kEcatHeaderBytes;
  if (ecat_len > len - body) return false;  // header claims more than arrived
  out->source_mac = frame + 6;

  const uint8_t* p = frame + body;
  size_t left = ecat_len;
  for (;;) {
    if (out->count == kMaxDatagramsPerFrame) return false;
    if (left < kDatagramHeaderBytes + kWkcBytes) return false;
    const uint16_t flags = get_le16(p + 6);
    const size_t dlen = flags & kLengthMask;
    if (dlen > left - kDatagramHeaderBytes - kWkcBytes) return false;
    DatagramView& d = out->datagrams[out->count++];
    d.cmd = p[0];
    d.idx = p[1];
    d.address = get_le32(p + 2);
    d.length = static_cast<uint16_t>(dlen);
    d.circulating = (flags & kCirculatingBit) != 0;
    d.irq = get_le16(p + 8);
    d.data = p + kDatagramHeaderBytes;
    d.wkc = get_le16(p + kDatagramHeaderBytes + dlen);
    const size_t used = kDatagramHeaderBytes + dlen + kWkcBytes;
    p += used;
    left -= used;
    if ((flags & kMoreBit) == 0) break;
  }
  // The last datagram must end exactly where the header length says.
  return left == 0;
}

FrameBuilder::FrameBuilder() : len_(kEthHeaderBytes + kEcatHeaderBytes), count_(0), last_header_(0) {
  std::memset(buf_, 0, sizeof buf_);
  std::memset(buf_, 0xFF, 6);  // broadcast: ESCs ignore addresses
  std::memcpy(buf_ + 6, kMasterMac, 6);
  buf_[12] = static_cast<uint8_t>(kEtherTypeEcat >> 8);
  buf_[13] = static_cast<uint8_t>(kEtherTypeEcat & 0xFF);
}

uint8_t* FrameBuilder::add(uint8_t cmd, uint8_t idx, uint32_t address, const uint8_t* data,
                           uint16_t len) {
  if (count_ == kMaxDatagramsPerFrame || len > kMaxDatagramDataBytes) return nullptr;
  if (len_ + kDatagramHeaderBytes + len + kWkcBytes > kMaxFrameBytes) return nullptr;
  uint8_t* h = buf_ + len_;
  h[0] = cmd;
  h[1] = idx;
  put_le32(h + 2, address);
  put_le16(h + 6, len);  // M bit set by finish()
  put_le16(h + 8, 0);
  uint8_t* d = h + kDatagramHeaderBytes;
  if (data != nullptr) {
    std::memcpy(d, data, len);
  } else {
    std::memset(d, 0, len);
  }
  put_le16(d + len, 0);
  if (count_ > 0) {
    uint8_t* prev = buf_ + last_header_;
    put_le16(prev + 6, static_cast<uint16_t>(get_le16(prev + 6) | kMoreBit));
  }
  last_header_ = len_;
  len_ += kDatagramHeaderBytes + len + kWkcBytes;
  ++count_;
  return d;
}

size_t FrameBuilder::finish() {
  const size_t ecat_len = len_ - kEthHeaderBytes - kEcatHeaderBytes;
  put_le16(buf_ + kEthHeaderBytes,
           static_cast<uint16_t>((ecat_len & kLengthMask) | (kEcatTypeCommands << 12)));
  // veth and some drivers send short frames as they are; pad them ourselves
  // (the padding bytes were zeroed at construction or by the datagram code).
  if (len_ < kMinFrameBytes) {
    std::memset(buf_ + len_, 0, kMinFrameBytes - len_);
    return kMinFrameBytes;
  }
  return len_;
}

bool is_reply_to(const SentShape& sent, const FrameView& reply) {
  if (reply.count != sent.count || reply.count == 0 || reply.source_mac == nullptr) return false;
  // A frame that passed no slave still carries our own source address.
  if ((reply.source_mac[0] & 0x02) == 0) return false;
  for (size_t i = 0; i < sent.count; ++i) {
    const DatagramView& d = reply.datagrams[i];
    if (d.cmd != sent.cmd[i] || d.idx != sent.idx[i] || d.length != sent.length[i]) return false;
  }
  return true;
}

}  // namespace ecat
