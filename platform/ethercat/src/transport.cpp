// Blocking request/reply over the raw socket, matched by datagram index.
#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "master_impl.h"

namespace ecat {

bool send_frame(Master::Impl& m, const FrameBuilder& builder, size_t frame_len) {
  return m.socket.send(builder.bytes(), frame_len);
}

int await_any_reply(Master::Impl& m, const SentShape* shapes, size_t n, int64_t deadline_ns, FrameView* reply) {
  for (;;) {
    const long got = m.socket.receive(m.rx, sizeof m.rx, deadline_ns);
    if (got <= 0) return -1;
    // Lengths inside the frame are checked against the bytes that arrived.
    if (parse_frame(m.rx, static_cast<size_t>(got), reply)) {
      for (size_t k = 0; k < n; ++k) {
        if (is_reply_to(shapes[k], *reply)) return static_cast<int>(k);
      }
    }
    ++m.dropped;  // garbage, a stale reply to an abandoned request, another master's frame
  }
}

namespace {

// Sends the datagram once and waits for its reply up to `wait_us` after the
// frame went out: time the thread lost before the send (preempted on a busy
// machine) must not eat the slave's time to answer. Returns the working
// counter, -1 without a reply, -2 when the frame was not sent.
int attempt(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len, int wait_us) {
  FrameBuilder b;
  const uint8_t idx = m.take_index();
  const uint32_t address = static_cast<uint32_t>(adp) | (static_cast<uint32_t>(ado) << 16);
  if (b.add(cmd, idx, address, data, len) == nullptr) return -1;
  SentShape shape;
  shape.count = 1;
  shape.cmd[0] = cmd;
  shape.idx[0] = idx;
  shape.length[0] = len;
  // A process-data reply still in flight is abandoned: its index no longer matches.
  m.abandon_process_data();
  if (!send_frame(m, b, b.finish())) return -2;
  FrameView reply;
  if (!await_reply(m, shape, monotonic_ns() + static_cast<int64_t>(wait_us) * 1000, &reply)) return -1;
  if (data != nullptr && len > 0) std::memcpy(data, reply.datagrams[0].data, len);
  return reply.datagrams[0].wkc;
}

int64_t end_after(int timeout_us) { return monotonic_ns() + static_cast<int64_t>(std::max(timeout_us, 1)) * 1000; }

}  // namespace

int transact(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len,
             int timeout_us) {
  if (!m.socket.is_open() || len > kMaxDatagramDataBytes) return -1;
  const int64_t end_ns = end_after(timeout_us);
  // Each send gets a round trip's time, or the whole timeout when shorter.
  const int wait_us = std::min(std::max(timeout_us, 1), kTimeoutReturnUs);
  for (;;) {
    const int wkc = attempt(m, cmd, adp, ado, data, len, wait_us);
    if (wkc >= 0) return wkc;
    if (wkc == -2) {
      // The link may be down for a moment; do not spin.
      const int64_t pause_end = std::min(end_ns, monotonic_ns() + 200000);
      while (monotonic_ns() < pause_end) sleep_us(50);
    }
    if (monotonic_ns() >= end_ns) return -1;
  }
}

int transact_once(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t* data, uint16_t len,
                  int timeout_us) {
  if (!m.socket.is_open() || len > kMaxDatagramDataBytes) return -1;
  const int wkc = attempt(m, cmd, adp, ado, data, len, std::max(timeout_us, 1));
  return wkc >= 0 ? wkc : -1;
}

int write_u8(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint8_t v, int timeout_us) {
  return transact(m, cmd, adp, ado, &v, 1, timeout_us);
}

int write_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t v, int timeout_us) {
  uint8_t b[2];
  put_le16(b, v);
  return transact(m, cmd, adp, ado, b, 2, timeout_us);
}

int read_u16(Master::Impl& m, uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t* v, int timeout_us) {
  uint8_t b[2] = {0, 0};
  const int wkc = transact(m, cmd, adp, ado, b, 2, timeout_us);
  *v = get_le16(b);
  return wkc;
}

}  // namespace ecat
