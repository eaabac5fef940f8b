// The four transmit calls: caller records to frame records, batches under
// the command lock, one acknowledgement per batch.
#include <cstring>

#include "adapter_protocol.h"
#include "frame_records.h"
#include "pipe_io.h"
#include "slot_table.h"
#include "word_frame.h"

namespace tavrix {
namespace {

constexpr uint32_t kMaxFrames = 1000;
constexpr uint32_t kMaxFramesRt = 100;
constexpr size_t kFdRecordBatch = 25;
constexpr size_t kClassicRecordBatch = 100;
constexpr int kMaxTimeoutMs = 10000;
constexpr int kMinTimeoutMs = 100;
constexpr int kTimeoutUnitMs = 50;
constexpr int kAckAttempts = 10;

int clamp_timeout(int timeout_ms) {
  if (timeout_ms < 0 || timeout_ms > kMaxTimeoutMs) return kMaxTimeoutMs;
  if (timeout_ms < kMinTimeoutMs) return kMinTimeoutMs;
  return timeout_ms;
}

// Words a staged record takes in the request.
size_t packed_words(const Slot& slot, const WireRecord& rec) {
  if (slot.compact_packing) return compact_record_words(dlc_of_control(rec.words[2]));
  return slot.fd_records ? kRecordWords : kClassicRecordWords;
}

// One acknowledgement read with its attempts; returns the bytes read (0 none).
uint32_t read_ack(int index, uint8_t* ack) {
  for (int attempt = 0; attempt < kAckAttempts; ++attempt) {
    uint32_t got = 0;
    bool ok = read_from_ack_pipe(index, ack, kAckBufferBytes, &got);
    if (ok) return got;
    if (got != 0) return 0;  // a failed read that moved bytes ends the attempts
  }
  return 0;
}

template <typename Frame, void (*Convert)(Frame*, uint8_t, WireRecord*)>
int transmit(int index, Frame* frames, uint32_t count, int* status, int timeout_ms, uint32_t max_frames,
             uint8_t passed_flags) {
  if (!slot_usable(index) || (frames == nullptr && count != 0)) return -1;
  Slot& slot = library().slots[index];
  std::lock_guard<std::mutex> lock(slot.command_lock);
  if (count > max_frames) count = max_frames;
  for (uint32_t i = 0; i < count; ++i) Convert(&frames[i], passed_flags, &slot.staging[i]);
  const uint8_t param = static_cast<uint8_t>(clamp_timeout(timeout_ms) / kTimeoutUnitMs);
  const size_t batch_records = slot.fd_records ? kFdRecordBatch : kClassicRecordBatch;
  // Header, payload of at most 4096 bytes, checksum.
  uint32_t words[1 + kMaxRequestPayloadBytes / 4 + 1];
  int taken = 0;
  uint8_t ack[kAckBufferBytes];
  bool have_ack = false;
  uint8_t last_ack[kAckRecordBytes] = {};
  uint32_t next = 0;
  while (next < count) {
    size_t n = 1;
    size_t in_batch = 0;
    // A batch ends after its record count, or before a record that would
    // overflow the request's payload (compact CAN-FD records are up to 76 bytes).
    while (next < count && in_batch < batch_records) {
      const WireRecord& rec = slot.staging[next];
      size_t w = packed_words(slot, rec);
      if (n - 1 + w > kMaxRequestPayloadBytes / 4) break;
      std::memcpy(&words[n], rec.words, w * sizeof(uint32_t));
      n += w;
      ++in_batch;
      ++next;
    }
    words[0] = make_header(CMD_TRANSMIT, param, static_cast<uint16_t>(n));
    if (!send_whole_request(index, words, static_cast<uint16_t>(n))) return -1;
    uint32_t got = read_ack(index, ack);
    // Shorter acknowledgements lack the status fields and count as none.
    if (got >= kAckRecordBytes) {
      taken += static_cast<int8_t>(ack[0]);
      std::memcpy(last_ack, ack, kAckRecordBytes);
      have_ack = true;
    }
  }
  if (have_ack) {
    uint32_t w = load_le32(last_ack + 2);
    BusStatusBits st = status_from_ack_word(w);
    std::lock_guard<std::mutex> status_lock(slot.status_lock);
    slot.last_status_word = w;
    slot.status.bus_state = st.bus_state;
    slot.status.error_code = st.error_code;
    slot.status.tx_error_count = st.tx_error_count;
    slot.status.rx_error_count = st.rx_error_count;
    slot.status.time_stamp = load_le32(last_ack + 6);
    if (status) *status = static_cast<int8_t>(last_ack[1]);
  }
  return taken;
}

}  // namespace
}  // namespace tavrix

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_Transmit(int index, CAN_Frame* frames, uint32_t count, int timeout_ms) {
  return transmit<CAN_Frame, record_from_can_frame>(index, frames, count, nullptr, timeout_ms, kMaxFrames,
                                                    kPassPlain);
}

extern "C" int TAVRIX_CALL CAN_TransmitRt(int index, CAN_Frame* frames, uint32_t count, int* status,
                                          int timeout_ms) {
  return transmit<CAN_Frame, record_from_can_frame>(index, frames, count, status, timeout_ms, kMaxFramesRt,
                                                    kPassRt);
}

extern "C" int TAVRIX_CALL CANFD_Transmit(int index, CANFD_Frame* frames, uint32_t count, int timeout_ms) {
  return transmit<CANFD_Frame, record_from_canfd_frame>(index, frames, count, nullptr, timeout_ms, kMaxFrames,
                                                        kPassFd);
}

extern "C" int TAVRIX_CALL CANFD_TransmitRt(int index, CANFD_Frame* frames, uint32_t count, int* status,
                                            int timeout_ms) {
  return transmit<CANFD_Frame, record_from_canfd_frame>(index, frames, count, status, timeout_ms, kMaxFramesRt,
                                                        kPassFdRt);
}

extern "C" int TAVRIX_CALL CAN_GetTransmitNum(int index, void* ack) {
  if (!index_in_range(index) || ack == nullptr) return 0;
  uint8_t* out = static_cast<uint8_t*>(ack);
  for (int attempt = 0; attempt < kAckAttempts; ++attempt) {
    uint32_t got = 0;
    if (read_from_ack_pipe(index, out, kAckBufferBytes, &got)) return 1;
    if (got != 0) return 0;
  }
  return 0;
}
