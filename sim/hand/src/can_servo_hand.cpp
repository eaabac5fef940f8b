#include "simhand/can_servo_hand.h"

#include <algorithm>
#include <cmath>

#include "wire.h"

namespace simhand {
namespace {

uint64_t twelve_bits(int32_t v) {
  v = std::max(-2048, std::min(2047, v));
  return static_cast<uint64_t>(v) & 0xFFF;
}

}  // namespace

SimCanServoHand::SimCanServoHand(std::shared_ptr<DeviceModel> model, ReplyFn reply)
    : model_(std::move(model)), reply_(std::move(reply)) {}

void SimCanServoHand::on_host_frame(uint32_t id, const uint8_t* data, size_t len) {
  if (!data || len < 1 || id < 1 || id > static_cast<uint32_t>(model_->config().joint_count)) return;
  const int slot = static_cast<int>(id) - 1;
  const uint8_t code = data[0];
  if (code == 0xBA) {
    if (len >= 2 && data[1] == 0x01) model_->set_enabled(slot, false);
    return;
  }
  if (code == 0xAA) {
    if (len < 7) return;
    const int32_t position = get_u16(data + 1);
    const int32_t speed = static_cast<int32_t>(std::lround(get_u16(data + 3) * 4.095));
    const int32_t current = get_u16(data + 5);
    model_->set_motion_target(slot, &position, &speed, &current);
    model_->set_enabled(slot, true);
  } else if (code == 0xA0) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(id);
    if (requests_.size() > 4096) requests_.erase(requests_.begin(), requests_.begin() + 1024);
  } else {
    return;
  }
  model_->advance_to(SimClock::now());
  const JointSnapshot j = model_->snapshot().joints[static_cast<size_t>(slot)];
  const int32_t speed = static_cast<int32_t>(std::lround(j.velocity / 4.095));
  const uint64_t word = static_cast<uint64_t>(code) | static_cast<uint64_t>(j.status) << 8 |
                        (static_cast<uint64_t>(j.position) & 0xFFF) << 16 | twelve_bits(speed) << 28 |
                        twelve_bits(j.current / 10) << 40;
  uint8_t frame[8];
  for (int i = 0; i < 8; ++i) frame[i] = static_cast<uint8_t>(word >> (8 * i));
  if (reply_) reply_(0x100 + id, frame, sizeof frame);
}

std::vector<uint32_t> SimCanServoHand::status_requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

}  // namespace simhand
