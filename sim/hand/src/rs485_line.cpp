#include "simhand/rs485_line.h"

#include <algorithm>

#include "command_bodies.h"
#include "status_replies.h"
#include "wire.h"

namespace simhand {
namespace {

constexpr size_t kPollLength = 6;
constexpr size_t kCommandLength = 68;   // 64-byte payload
constexpr size_t kParamLength = 12;     // 8-byte payload
constexpr size_t kMaxOtaLength = 68;    // 64-byte payload
constexpr size_t kMaxFrameLength = std::max(kCommandLength, kMaxOtaLength);

bool crc_ok(const uint8_t* f, size_t len) {
  return len >= 4 && modbus_crc(f, len - 2) == get_u16(f + len - 2);
}

}  // namespace

SimRs485Line::SimRs485Line(OutputFn output) : output_(std::move(output)) {}

void SimRs485Line::add_hand(std::shared_ptr<DeviceModel> model) {
  std::lock_guard<std::mutex> lock(mutex_);
  Station s;
  s.model = std::move(model);
  stations_.push_back(std::move(s));
}

void SimRs485Line::set_silent(uint8_t node_id, bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Station& s : stations_)
    if (s.model->config().node_id == node_id) s.silent = silent;
}

void SimRs485Line::put_before_next_reply(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  stray_ = std::move(bytes);
}

void SimRs485Line::put_before_every_reply(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  stray_every_ = std::move(bytes);
}

void SimRs485Line::set_answers_polls(uint8_t node_id, bool answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Station& s : stations_)
    if (s.model->config().node_id == node_id) s.answers_polls = answers;
}

uint64_t SimRs485Line::frames_for(uint8_t node_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Station& s : stations_)
    if (s.model->config().node_id == node_id) return s.frames;
  return 0;
}

uint64_t SimRs485Line::polls_for(uint8_t node_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Station& s : stations_)
    if (s.model->config().node_id == node_id) return s.polls;
  return 0;
}

void SimRs485Line::on_host_bytes(const uint8_t* data, size_t len) {
  if (!data || !len) return;
  buffer_.insert(buffer_.end(), data, data + len);
  for (;;) {
    // Resynchronise on the next function byte.
    size_t skip = 0;
    while (skip < buffer_.size() && buffer_[skip] != 0x50 && buffer_[skip] != 0x60 && buffer_[skip] != 0x90) ++skip;
    if (skip) buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(skip));
    if (buffer_.size() < 4) return;
    const uint8_t fn = buffer_[0];
    size_t length = 0;
    bool bad = false;
    if (fn == 0x50 || fn == 0x60) {
      length = fn == 0x60 ? kParamLength : (buffer_[3] == 0xD0 ? kCommandLength : kPollLength);
      if (buffer_.size() < length) return;
      bad = !crc_ok(buffer_.data(), length);
    } else {
      // OTA: the shortest length whose CRC matches.
      const size_t limit = std::min(buffer_.size(), kMaxOtaLength);
      for (size_t l = 5; l <= limit; ++l)
        if (crc_ok(buffer_.data(), l)) {
          length = l;
          break;
        }
      if (!length) {
        if (buffer_.size() < kMaxOtaLength) return;
        bad = true;
      }
    }
    if (bad) {
      crc_errors_.fetch_add(1);
      buffer_.erase(buffer_.begin());
      continue;
    }
    uint8_t frame[kMaxFrameLength];
    std::copy(buffer_.begin(), buffer_.begin() + static_cast<long>(length), frame);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
    frames_ok_.fetch_add(1);
    handle_frame(frame, length);
  }
}

void SimRs485Line::handle_frame(const uint8_t* f, size_t len) {
  std::shared_ptr<DeviceModel> model;
  bool silent = false;
  bool answers_polls = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Station& s : stations_)
      if (s.model->config().node_id == f[1]) {
        model = s.model;
        silent = s.silent;
        answers_polls = s.answers_polls;
        ++s.frames;
        if (f[0] == 0x50 && len == kPollLength) ++s.polls;
      }
  }
  if (!model) return;
  const uint8_t node = f[1];
  const uint8_t* payload = f + 2;
  const size_t n = len - 4;
  switch (f[0]) {
    case 0x50:
      if (n == 2) {  // poll: [reply code, joint count]
        model->advance_to(SimClock::now());
        uint8_t body[kMaxStatusReply];
        const size_t body_len = build_status_reply(model->snapshot(), payload[0], body);
        if (body_len > 0 && !silent && answers_polls) reply('H', node, body, body_len, true);
      } else {
        uint8_t body[kCommandLength - 4];
        std::copy(payload, payload + n, body);
        body[0] &= 0x7F;  // 0x81, 0x8B, 0xA0 on this line
        apply_command_body(*model, body, n, static_cast<size_t>(model->config().joint_count));
      }
      break;
    case 0x60: {
      uint8_t r[8];
      if (model->handle_param_request(payload, n, r) && !silent) reply('X', node, r, sizeof r, false);
      break;
    }
    case 0x90: {
      uint8_t r[kMaxOtaReply];
      const size_t r_len = model->handle_ota(payload, n, r);
      if (!silent) reply('p', node, r, r_len, true);
      break;
    }
    default:
      break;
  }
}

// [start, node, body[0], D, body[2..], CRC]: for 'H' and 'p' the second body
// byte becomes D, the count of bytes up to the CRC.
// Bodies are at most 64 bytes (status and OTA replies).
void SimRs485Line::reply(uint8_t start, uint8_t node, const uint8_t* body, size_t len, bool length_byte) {
  uint8_t f[kMaxStatusReply + 4];
  len = std::min(len, kMaxStatusReply);
  f[0] = start;
  f[1] = node;
  std::copy(body, body + len, f + 2);
  size_t size = len + 2;
  if (length_byte && size >= 4) f[3] = static_cast<uint8_t>(size - 4);
  put_u16(f + size, modbus_crc(f, size));
  size += 2;
  std::vector<uint8_t> stray;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stray.swap(stray_);
    if (stray.empty()) stray = stray_every_;
  }
  if (!output_) return;
  if (!stray.empty()) output_(stray.data(), stray.size());
  output_(f, size);
}

}  // namespace simhand
