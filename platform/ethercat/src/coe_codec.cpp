#include "coe_codec.h"

#include <cstring>

#include "byte_order.h"

namespace ecat {

namespace {

// Command byte: the top three bits say what the SDO is.
const uint8_t kSdoSpecifierShift = 5;
const uint8_t kSpecUploadSegment = 0;   // segment response (server), segment request uses 3
const uint8_t kSpecUploadInitiate = 2;  // initiate request and response
const uint8_t kSpecUploadSegmentRequest = 3;
const uint8_t kSpecAbort = 4;
// Initiate response bits.
const uint8_t kSizeIndicated = 0x01;
const uint8_t kExpedited = 0x02;
// Segment response bits.
const uint8_t kLastSegment = 0x01;
const uint8_t kToggle = 0x10;
// A segment response always carries at least 7 data bytes on the wire; when
// fewer are valid, bits 1-3 say how many of those 7 are unused.
const size_t kMinSegmentData = 7;

// Writes the mailbox and CoE headers of an SDO request with 8 SDO bytes and
// returns where the SDO bytes go (zeroed).
uint8_t* start_sdo_request(uint8_t counter, uint8_t* out) {
  std::memset(out, 0, kMinCoeMailboxBytes);
  put_le16(out, static_cast<uint16_t>(kCoeHeaderBytes + kSdoHeaderBytes));
  // Address 0 (the master), channel 0, priority 0.
  out[5] = static_cast<uint8_t>(kMailboxTypeCoe | ((counter & 0x07) << 4));
  put_le16(out + kMailboxHeaderBytes, static_cast<uint16_t>(kCoeServiceSdoRequest << 12));
  return out + kMailboxHeaderBytes + kCoeHeaderBytes;
}

}  // namespace

bool parse_mailbox(const uint8_t* bytes, size_t len, MailboxView* out) {
  if (bytes == nullptr || out == nullptr || len < kMailboxHeaderBytes) return false;
  const uint16_t length = get_le16(bytes);
  if (length > len - kMailboxHeaderBytes) return false;
  out->length = length;
  out->address = get_le16(bytes + 2);
  out->type = static_cast<uint8_t>(bytes[5] & 0x0F);
  out->counter = static_cast<uint8_t>((bytes[5] >> 4) & 0x07);
  out->data = bytes + kMailboxHeaderBytes;
  return true;
}

SdoReply parse_sdo_reply(const MailboxView& mbx) {
  SdoReply r;
  if (mbx.type != kMailboxTypeCoe || mbx.data == nullptr || mbx.length < kCoeHeaderBytes) return r;
  const uint16_t service = static_cast<uint16_t>(get_le16(mbx.data) >> 12);
  if (service != kCoeServiceSdoResponse && service != kCoeServiceSdoRequest) return r;
  // An abort may come as a request (the slave starts it) or as a response.
  const uint8_t* sdo = mbx.data + kCoeHeaderBytes;
  const size_t sdo_len = mbx.length - kCoeHeaderBytes;
  r.kind = SdoReplyKind::kMalformed;
  if (sdo_len < 1) return r;
  const uint8_t cmd = sdo[0];
  const uint8_t specifier = static_cast<uint8_t>(cmd >> kSdoSpecifierShift);
  if (specifier == kSpecAbort) {
    if (sdo_len < kSdoHeaderBytes) return r;
    r.kind = SdoReplyKind::kAbort;
    r.index = get_le16(sdo + 1);
    r.subindex = sdo[3];
    r.abort_code = get_le32(sdo + 4);
    return r;
  }
  if (service != kCoeServiceSdoResponse) {
    r.kind = SdoReplyKind::kOther;
    return r;
  }
  if (specifier == kSpecUploadInitiate) {
    if (sdo_len < kSdoHeaderBytes) return r;
    r.index = get_le16(sdo + 1);
    r.subindex = sdo[3];
    if (cmd & kExpedited) {
      // Bits 2-3: bytes of the 4 that carry no data (valid with the size bit).
      const size_t unused = (cmd & kSizeIndicated) ? ((cmd >> 2) & 0x03) : 0;
      r.kind = SdoReplyKind::kUploadExpedited;
      r.data = sdo + 4;
      r.data_length = 4 - unused;
      r.complete_size = static_cast<uint32_t>(r.data_length);
      r.last = true;
      return r;
    }
    if ((cmd & kSizeIndicated) == 0) return r;  // a normal upload must say its size
    r.kind = SdoReplyKind::kUploadNormal;
    r.complete_size = get_le32(sdo + 4);
    const size_t here = sdo_len - kSdoHeaderBytes;
    r.data = sdo + kSdoHeaderBytes;
    r.data_length = here < r.complete_size ? here : r.complete_size;
    r.last = r.data_length == r.complete_size;
    return r;
  }
  if (specifier == kSpecUploadSegment) {
    if (sdo_len < 1 + kMinSegmentData) return r;
    size_t n = sdo_len - 1;
    if (n == kMinSegmentData) n -= (cmd >> 1) & 0x07;
    r.kind = SdoReplyKind::kUploadSegment;
    r.toggle = (cmd & kToggle) != 0;
    r.last = (cmd & kLastSegment) != 0;
    r.data = sdo + 1;
    r.data_length = n;
    return r;
  }
  r.kind = SdoReplyKind::kUnexpected;
  return r;
}

size_t build_sdo_upload_request(uint16_t index, uint8_t subindex, uint8_t counter, uint8_t* out) {
  uint8_t* sdo = start_sdo_request(counter, out);
  sdo[0] = static_cast<uint8_t>(kSpecUploadInitiate << kSdoSpecifierShift);
  put_le16(sdo + 1, index);
  sdo[3] = subindex;
  return kMinCoeMailboxBytes;
}

size_t build_sdo_segment_request(bool toggle, uint8_t counter, uint8_t* out) {
  uint8_t* sdo = start_sdo_request(counter, out);
  sdo[0] = static_cast<uint8_t>((kSpecUploadSegmentRequest << kSdoSpecifierShift) | (toggle ? kToggle : 0));
  return kMinCoeMailboxBytes;
}

}  // namespace ecat
