// The adapter's frame records and the conversions between them and the
// caller's CAN_Frame / CANFD_Frame records, plus the two status rules.
#ifndef TAVRIX_FRAME_RECORDS_H
#define TAVRIX_FRAME_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "tavrix/tavrix.h"

namespace tavrix {

constexpr size_t kRecordWords = 19;         // full record: id, time stamp, control, 16 data words
constexpr size_t kClassicRecordWords = 5;   // first 20 bytes of the full record
constexpr size_t kCompactHeaderWords = 3;

// One full frame record in host order (words as the adapter's little-endian words).
struct WireRecord {
  uint32_t words[kRecordWords];
};

// Control word bits as sent.
constexpr uint32_t kTxCtrlFlag10 = 1u << 12;
constexpr uint32_t kTxCtrlFlag20 = 1u << 13;
constexpr uint32_t kTxCtrlFd = 1u << 20;
constexpr uint32_t kTxCtrlBrs = 1u << 21;
constexpr uint32_t kTxCtrlFlag40 = 1u << 22;
// Control word bits as received.
constexpr uint32_t kRxCtrlFrameFlag = 1u << 3;
constexpr uint32_t kRxCtrlErrorFlag = 1u << 11;
constexpr uint32_t kRxCtrlFd = 1u << 14;
constexpr uint32_t kRxCtrlBrs = 1u << 15;

inline uint8_t dlc_of_control(uint32_t control) { return static_cast<uint8_t>((control >> 7) & 0xF); }
// CAN-FD length table.
size_t dlc_to_length(uint8_t dlc);
// Words a record takes in compact packing: 3 + ceil(length / 4).
inline size_t compact_record_words(uint8_t dlc) { return kCompactHeaderWords + (dlc_to_length(dlc) + 3) / 4; }

// Caller flags each transmit call passes on.
constexpr uint8_t kPassPlain = TAVRIX_FLAG_TX_40;
constexpr uint8_t kPassRt = TAVRIX_FLAG_TX_10 | TAVRIX_FLAG_TX_20 | TAVRIX_FLAG_TX_40;
constexpr uint8_t kPassFd = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS | TAVRIX_FLAG_TX_40;
constexpr uint8_t kPassFdRt = kPassFd | TAVRIX_FLAG_TX_10 | TAVRIX_FLAG_TX_20;

// Caller record to full wire record; clamps the caller's dlc in place.
void record_from_can_frame(CAN_Frame* frame, uint8_t passed_flags, WireRecord* out);
void record_from_canfd_frame(CANFD_Frame* frame, uint8_t passed_flags, WireRecord* out);

// Ring entry to caller record. fd_capable: the slot's adapter type is 1.
void can_frame_from_record(const WireRecord& rec, CAN_Frame* out);
void canfd_frame_from_record(const WireRecord& rec, bool fd_capable, CANFD_Frame* out);

// Status rules: from a received control word / status report, and from a
// transmit acknowledgement's status word.
struct BusStatusBits {
  uint8_t bus_state;
  uint8_t error_code;
  uint8_t tx_error_count;
  uint8_t rx_error_count;
};
BusStatusBits status_from_word(uint32_t w);
BusStatusBits status_from_ack_word(uint32_t w);

}  // namespace tavrix

#endif  // TAVRIX_FRAME_RECORDS_H
