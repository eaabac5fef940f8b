// The cyclic exchange: group 0's image as one LRW per segment, one frame per
// segment, all sent before the first reply is awaited; replies matched by
// index in whatever order they come back.
#include <cstring>

#include "esc_registers.h"
#include "master_impl.h"

namespace ecat {

int Master::send_process_data() {
  Impl& m = *impl_;
  m.abandon_process_data();
  if (m.image == nullptr || m.image_used == 0 || m.segments.empty() || !m.socket.is_open()) return 0;
  m.pd_shapes.resize(m.segments.size());
  // Replies to abandoned frames still queued are stale; drop them now.
  m.dropped += static_cast<uint64_t>(m.socket.drain());
  for (size_t k = 0; k < m.segments.size(); ++k) {
    const Master::Impl::Segment& seg = m.segments[k];
    FrameBuilder b;
    SentShape shape;
    const uint8_t idx = m.take_index();
    if (b.add(kLrw, idx, m.group.logical_start + seg.offset, m.image + seg.offset, seg.length) == nullptr) break;
    shape.cmd[0] = kLrw;
    shape.idx[0] = idx;
    shape.length[0] = seg.length;
    shape.count = 1;
    if (k == 0 && m.group.has_dc) {
      // The reference clock returns its system time; every other DC slave
      // takes it as the time to follow. The mapping left room for it.
      const uint32_t address = m.group.dc_reference | (static_cast<uint32_t>(reg::kDcSystemTime) << 16);
      if (b.add(kFrmw, idx, address, nullptr, kDcTimeBytes) != nullptr) {
        shape.cmd[1] = kFrmw;
        shape.idx[1] = idx;
        shape.length[1] = kDcTimeBytes;
        shape.count = 2;
      }
    }
    const size_t len = b.finish();
    // A send error ends the cycle's sending; what went out is still received.
    if (!send_frame(m, b, len)) break;
    m.pd_shapes[k] = shape;
    ++m.pd_frames;
  }
  return m.pd_frames > 0 ? 1 : 0;
}

int Master::receive_process_data(int timeout_us) {
  Impl& m = *impl_;
  if (m.pd_frames == 0 || !m.socket.is_open()) {
    m.abandon_process_data();
    return kNoFrame;
  }
  const int64_t deadline = monotonic_ns() + static_cast<int64_t>(timeout_us > 0 ? timeout_us : 0) * 1000;
  const uint32_t in_start = m.group.output_bytes;
  const uint32_t in_end = in_start + m.group.input_bytes;
  int wkc = 0;
  bool any = false;
  while (m.pd_frames > 0) {
    FrameView reply;
    const int k = await_any_reply(m, m.pd_shapes.data(), m.pd_shapes.size(), deadline, &reply);
    if (k < 0) break;
    m.pd_shapes[static_cast<size_t>(k)].count = 0;  // a duplicate is now stale
    --m.pd_frames;
    any = true;
    const DatagramView& lrw = reply.datagrams[0];
    const uint32_t seg_start = m.segments[static_cast<size_t>(k)].offset;
    // Only the inputs are taken from the wire; the outputs stay as the caller
    // wrote them. The reply length was matched against the sent length.
    const uint32_t lo = seg_start > in_start ? seg_start : in_start;
    const uint32_t seg_end = seg_start + lrw.length;
    const uint32_t hi = seg_end < in_end ? seg_end : in_end;
    if (lo < hi) std::memcpy(m.image + lo, lrw.data + (lo - seg_start), hi - lo);
    wkc += lrw.wkc;
  }
  // Frames that did not come back in time are abandoned; their inputs stay.
  m.abandon_process_data();
  return any ? wkc : kNoFrame;
}

}  // namespace ecat
