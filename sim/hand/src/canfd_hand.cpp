#include "simhand/canfd_hand.h"

#include <algorithm>

#include "command_bodies.h"
#include "status_replies.h"
#include "wire.h"

namespace simhand {

SimCanfdHand::SimCanfdHand(std::shared_ptr<DeviceModel> model, ReplyFn reply)
    : model_(std::move(model)), reply_(std::move(reply)), node_id_(model_->config().node_id) {}

SimCanfdHand::~SimCanfdHand() { stop(); }

void SimCanfdHand::send(uint32_t id, const uint8_t* body, size_t len, bool extended) {
  // A CAN-FD frame carries 0-8, 12, 16, 20, 24, 32, 48 or 64 bytes; the
  // controller pads its replies with zeros up to the next such length.
  uint8_t frame[64] = {};
  const size_t padded = canfd_padded_length(len);
  std::copy(body, body + std::min(len, padded), frame);
  if (reply_) reply_(id, frame, padded, extended);
}

void SimCanfdHand::on_host_frame(uint32_t id, const uint8_t* data, size_t len, bool extended) {
  if (!data) return;
  if (extended) {
    if (id == node_id_ + 0x9000 && len > 0) {
      uint8_t reply[kMaxOtaReply];
      send(node_id_ + 0x7000, reply, model_->handle_ota(data, len, reply), true);
    }
    return;
  }
  if (id == node_id_ + 0x600) {
    uint8_t reply[8];
    if (model_->handle_param_request(data, len, reply)) send(node_id_ + 0x580, reply, sizeof reply, false);
    return;
  }
  if (id != node_id_ + 0x500 || len < 2) return;
  if (data[0] == 0x00) {
    // [0x00, L, code, flag, code, flag, ...]: a code is wanted when its flag is non-zero.
    const size_t end = std::min<size_t>(len, 2u + data[1]);
    std::lock_guard<std::mutex> lock(selection_mutex_);
    selected_.clear();
    for (size_t i = 2; i + 1 < end; i += 2)
      if (data[i + 1] != 0) selected_.push_back(data[i]);
    return;
  }
  apply_command_body(*model_, data, len, data[1]);
}

void SimCanfdHand::tick(SimClock::time_point now) {
  model_->advance_to(now);
  // A selection frame of 64 bytes names at most 31 codes.
  uint8_t codes[32];
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(selection_mutex_);
    count = std::min(selected_.size(), sizeof codes);
    std::copy(selected_.begin(), selected_.begin() + static_cast<long>(count), codes);
  }
  if (count == 0) return;
  const ModelSnapshot snap = model_->snapshot();
  uint8_t body[kMaxStatusReply];
  for (size_t i = 0; i < count; ++i) {
    const size_t len = build_status_reply(snap, codes[i], body);
    if (len == 0) continue;
    last_report_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(SimClock::now().time_since_epoch()).count(),
                          std::memory_order_release);
    send(node_id_ + 0x480, body, len, false);
    reports_.fetch_add(1, std::memory_order_relaxed);
  }
}

std::vector<uint8_t> SimCanfdHand::selected_codes() const {
  std::lock_guard<std::mutex> lock(selection_mutex_);
  return selected_;
}

void SimCanfdHand::start(std::chrono::microseconds period) {
  stop();
  {
    std::lock_guard<std::mutex> lock(run_mutex_);
    stopping_ = false;
  }
  thread_ = std::thread(&SimCanfdHand::run, this, period);
}

void SimCanfdHand::stop() {
  {
    std::lock_guard<std::mutex> lock(run_mutex_);
    stopping_ = true;
  }
  run_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SimCanfdHand::run(std::chrono::microseconds period) {
  auto next = SimClock::now();
  std::unique_lock<std::mutex> lock(run_mutex_);
  while (!stopping_) {
    lock.unlock();
    tick(SimClock::now());
    lock.lock();
    next += period;
    const auto now = SimClock::now();
    if (next < now) next = now;  // fell behind (loaded machine): keep the period, skip the backlog
    run_cv_.wait_until(lock, next, [this] { return stopping_; });
  }
}

}  // namespace simhand
