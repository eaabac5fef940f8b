#include "frame_receive.h"

#include <cstring>

#include "adapter_protocol.h"
#include "frame_records.h"
#include "pipe_io.h"
#include "word_frame.h"

namespace tavrix {
namespace {

constexpr int kPollReads = 10;
constexpr size_t kBusyBatchBytes = 1900;  // a batch this long means more are queued
constexpr uint32_t kMaxCount = 2500;
constexpr int kForeverMs = 65535;
constexpr int kMinReceiveTimeoutMs = 100;
constexpr uint32_t kCanCountTimeoutMs = 20;
constexpr uint32_t kFdCountTimeoutMs = 210;

void set_status_from_word_locked(Slot& slot) {
  BusStatusBits st = status_from_word(slot.last_status_word);
  slot.status.bus_state = st.bus_state;
  slot.status.error_code = st.error_code;
  slot.status.tx_error_count = st.tx_error_count;
  slot.status.rx_error_count = st.rx_error_count;
}

}  // namespace

size_t unpack_frame_batch(const uint8_t* payload, size_t n_words, bool compact, ReceiveRing* ring,
                          WireRecord* last) {
  size_t seen = 0;
  size_t pos = 0;
  const size_t min_words = compact ? kCompactHeaderWords : kClassicRecordWords;
  while (n_words - pos >= min_words) {
    uint32_t control = load_le32(payload + 4 * (pos + 2));
    size_t words = compact ? compact_record_words(dlc_of_control(control))
                           : ((control & kRxCtrlFd) ? kRecordWords : kClassicRecordWords);
    if (words > n_words - pos) break;  // claims more data than arrived
    uint32_t rec[kRecordWords] = {};
    for (size_t i = 0; i < words; ++i) rec[i] = load_le32(payload + 4 * (pos + i));
    ring->push(rec, words);
    std::memcpy(last->words, rec, sizeof(rec));
    ++seen;
    pos += words;
  }
  return seen;
}

bool handle_poll_read(Slot& slot, const uint8_t* data, size_t length) {
  FrameHeader h;
  if (check_frame(data, length, kMaxBatchWords, &h) != FrameCheck::kOk) return false;
  bool again = true;
  std::lock_guard<std::mutex> lock(slot.status_lock);
  if (h.command == RSP_FRAMES) {
    WireRecord last{};
    if (unpack_frame_batch(data + 4, h.word_count - 1u, slot.compact_packing, &slot.ring, &last) > 0) {
      slot.last_status_word = last.words[2];
      slot.status.time_stamp = last.words[1];
    }
    again = length >= kBusyBatchBytes;
  } else if (h.command == RSP_STATUS) {
    if (h.word_count >= 2) slot.last_status_word = load_le32(data + 4);
    again = false;
  }
  set_status_from_word_locked(slot);
  return again;
}

int poll(int index, uint32_t timeout_ms) {
  if (!slot_usable(index)) return -1;
  Slot& slot = library().slots[index];
  uint8_t buffer[kReadBufferBytes];
  for (int i = 0; i < kPollReads; ++i) {
    set_read_timeout(slot, timeout_ms);
    uint32_t got = 0;
    if (!read_from_read_pipe(slot, buffer, sizeof(buffer), &got) || got <= 1) break;
    if (!handle_poll_read(slot, buffer, got)) break;
  }
  return 0;
}

namespace {

uint32_t clamp_count(uint32_t count) {
  if (count == 0) return 1;
  return count > kMaxCount ? kMaxCount : count;
}

uint32_t receive_timeout(int timeout_ms) {
  if (timeout_ms < 0) return kForeverMs;
  if (timeout_ms < kMinReceiveTimeoutMs) return kMinReceiveTimeoutMs;
  return static_cast<uint32_t>(timeout_ms);
}

template <typename Frame, typename Convert>
int receive(int index, Frame* frames, uint32_t count, int timeout_ms, Convert convert) {
  if (!slot_usable(index) || frames == nullptr) return -1;
  Slot& slot = library().slots[index];
  std::lock_guard<std::mutex> lock(slot.receive_lock);
  count = clamp_count(count);
  auto copy = [&]() {
    uint32_t copied = 0;
    WireRecord rec;
    while (copied < count && slot.ring.pop(&rec)) convert(rec, &frames[copied++]);
    return copied;
  };
  uint32_t copied = copy();
  if (copied == 0) {
    poll(index, receive_timeout(timeout_ms));
    copied = copy();
  }
  return static_cast<int>(copied);
}

int receive_count(int index, uint32_t timeout_ms) {
  if (!slot_usable(index)) return -1;
  Slot& slot = library().slots[index];
  std::lock_guard<std::mutex> lock(slot.receive_lock);
  if (poll(index, timeout_ms) < 0) return -1;
  return static_cast<int>(slot.ring.waiting());
}

}  // namespace
}  // namespace tavrix

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_Receive(int index, CAN_Frame* frames, uint32_t count, int timeout_ms) {
  return receive(index, frames, count, timeout_ms,
                 [](const WireRecord& rec, CAN_Frame* out) { can_frame_from_record(rec, out); });
}

extern "C" int TAVRIX_CALL CANFD_Receive(int index, CANFD_Frame* frames, uint32_t count, int timeout_ms) {
  if (!index_in_range(index)) return -1;
  const bool fd_capable = library().slots[index].type == 1;
  return receive(index, frames, count, timeout_ms, [fd_capable](const WireRecord& rec, CANFD_Frame* out) {
    canfd_frame_from_record(rec, fd_capable, out);
  });
}

extern "C" int TAVRIX_CALL CAN_GetReceiveNum(int index) { return receive_count(index, kCanCountTimeoutMs); }

extern "C" int TAVRIX_CALL CANFD_GetReceiveNum(int index) { return receive_count(index, kFdCountTimeoutMs); }

extern "C" int TAVRIX_CALL CAN_GetStatus(int index, CAN_Status* status) {
  if (!index_scanned(index) || status == nullptr) return -1;
  Slot& slot = library().slots[index];
  if (!slot.open) return 0;
  std::lock_guard<std::mutex> lock(slot.status_lock);
  *status = slot.status;
  return 0;
}
