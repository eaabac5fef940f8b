// The cyclic exchange: one LRW over group 0's image, matched by index.
#include <cstring>

#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

int Master::send_process_data() {
  Impl& m = *impl_;
  m.pd_outstanding = false;
  if (m.image == nullptr || m.image_used == 0 || !m.socket.is_open()) return 0;
  FrameBuilder b;
  SentShape shape;
  const uint8_t idx = m.take_index();
  if (b.add(kLrw, idx, m.group.logical_start, m.image, static_cast<uint16_t>(m.image_used)) == nullptr) return 0;
  shape.cmd[0] = kLrw;
  shape.idx[0] = idx;
  shape.length[0] = static_cast<uint16_t>(m.image_used);
  shape.count = 1;
  if (m.group.has_dc) {
    // The reference clock returns its system time; every other DC slave takes
    // it as the time to follow.
    const uint32_t address = m.group.dc_reference | (static_cast<uint32_t>(reg::kDcSystemTime) << 16);
    if (b.add(kFrmw, idx, address, nullptr, 8) != nullptr) {
      shape.cmd[1] = kFrmw;
      shape.idx[1] = idx;
      shape.length[1] = 8;
      shape.count = 2;
    }
  }
  const size_t len = b.finish();
  // Replies to abandoned frames still queued are stale; drop them now.
  m.dropped += static_cast<uint64_t>(m.socket.drain());
  if (!send_frame(m, b, len)) return 0;
  m.pd_shape = shape;
  m.pd_outstanding = true;
  return 1;
}

int Master::receive_process_data(int timeout_us) {
  Impl& m = *impl_;
  if (!m.pd_outstanding || !m.socket.is_open()) return kNoFrame;
  m.pd_outstanding = false;
  const int64_t deadline = monotonic_ns() + static_cast<int64_t>(timeout_us > 0 ? timeout_us : 0) * 1000;
  FrameView reply;
  if (!await_reply(m, m.pd_shape, deadline, &reply)) return kNoFrame;
  const DatagramView& lrw = reply.datagrams[0];
  // Only the inputs are taken from the wire; the outputs stay as the caller
  // wrote them. The reply length was matched against the sent length.
  const uint32_t in_start = m.group.output_bytes;
  if (m.group.input_bytes > 0 && in_start + m.group.input_bytes <= lrw.length) {
    std::memcpy(m.image + in_start, lrw.data + in_start, m.group.input_bytes);
  }
  return lrw.wkc;
}

}  // namespace ecat
