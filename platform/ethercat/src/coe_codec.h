// Mailbox messages and CoE SDO uploads: building requests and parsing the
// slave's replies. Pure byte work, no bus access.
//
// Mailbox message: length (2: bytes after this 6-byte header), address (2),
// channel/priority (1), type (low 4 bits) and counter (bits 4-6) (1), then
// the service data. CoE service data: a 2-byte header (PDO number in bits
// 0-8, service in bits 12-15), then for SDOs a command byte, index (2),
// subindex (1) and 4 bytes of data or size. All fields little-endian.
#ifndef ETHERCAT_COE_CODEC_H
#define ETHERCAT_COE_CODEC_H

#include <cstddef>
#include <cstdint>

namespace ecat {

const size_t kMailboxHeaderBytes = 6;
const size_t kCoeHeaderBytes = 2;
const size_t kSdoHeaderBytes = 8;  // command, index, subindex, 4 data bytes
// Smallest mailbox a CoE SDO fits in.
const size_t kMinCoeMailboxBytes = kMailboxHeaderBytes + kCoeHeaderBytes + kSdoHeaderBytes;

const uint8_t kMailboxTypeError = 0x00;
const uint8_t kMailboxTypeCoe = 0x03;
const uint16_t kCoeServiceEmergency = 1;
const uint16_t kCoeServiceSdoRequest = 2;
const uint16_t kCoeServiceSdoResponse = 3;

struct MailboxView {
  uint16_t length = 0;   // service data bytes, checked against what arrived
  uint16_t address = 0;
  uint8_t type = 0;
  uint8_t counter = 0;   // 1..7; 0 when the sender does not count
  const uint8_t* data = nullptr;  // `length` bytes
};

// Parses a mailbox message of `len` bytes as read from the slave's send
// mailbox. False when the header does not fit or claims more data than
// arrived. Bytes after the message (the rest of the mailbox) are ignored.
bool parse_mailbox(const uint8_t* bytes, size_t len, MailboxView* out);

enum class SdoReplyKind {
  kOther,             // another protocol or CoE service (emergency, PDO, info)
  kMalformed,         // a CoE SDO response too short for what it claims
  kUploadExpedited,   // data in the reply itself
  kUploadNormal,      // complete size plus the first (or only) part of the data
  kUploadSegment,     // a further part
  kAbort,             // the slave aborted the transfer
  kUnexpected,        // an SDO response that answers no upload
};

struct SdoReply {
  SdoReplyKind kind = SdoReplyKind::kOther;
  uint16_t index = 0;        // initiate responses and aborts
  uint8_t subindex = 0;
  uint32_t complete_size = 0;  // normal upload: the whole object's bytes
  bool toggle = false;       // segment
  bool last = false;         // segment: no more follow; initiate: all data here
  uint32_t abort_code = 0;
  const uint8_t* data = nullptr;  // inside the mailbox message
  size_t data_length = 0;
};

// Classifies a mailbox message as an SDO upload reply. Every length taken
// from the message is checked against the bytes it holds.
SdoReply parse_sdo_reply(const MailboxView& mbx);

// Builds an upload request (initiate, or segment with `toggle`) as a whole
// mailbox message with `counter`; `out` must hold kMinCoeMailboxBytes.
// Returns the bytes written.
size_t build_sdo_upload_request(uint16_t index, uint8_t subindex, uint8_t counter, uint8_t* out);
size_t build_sdo_segment_request(bool toggle, uint8_t counter, uint8_t* out);

// Next mailbox counter after `c`: 1, 2, ... 7, 1, ...
inline uint8_t next_mailbox_counter(uint8_t c) { return static_cast<uint8_t>(c >= 7 ? 1 : c + 1); }

}  // namespace ecat

#endif
