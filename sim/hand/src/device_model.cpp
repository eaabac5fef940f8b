// Joint dynamics, parameter dictionary and OTA replies of the simulated
// controller.
#include "simhand/device_model.h"

#include <algorithm>
#include <cmath>

#include "wire.h"

namespace simhand {
namespace {

// Below this current limit a joint cannot reach its commanded speed: it
// creeps at limit / kMoveCurrent of it and reports torque reached.
constexpr int32_t kMoveCurrent = 100;
constexpr int32_t kHoldCurrent = 10;

uint16_t object(uint16_t base, int drive) { return static_cast<uint16_t>(base + 0x40 * drive); }

bool side_joint_of_16(int slot) { return slot == 1 || slot == 4 || slot == 7 || slot == 10 || slot == 13; }

}  // namespace

uint8_t tactile_value(uint32_t frame, int item) {
  return static_cast<uint8_t>(1 + (frame * 7u + static_cast<uint32_t>(item) * 31u) % 200u);
}

void write_tactile_item(uint32_t frame, int item, bool full, uint8_t* out, size_t size) {
  std::fill(out, out + size, 0);
  const uint8_t v = tactile_value(frame, item);
  if (!full) {
    std::fill(out, out + size, v);
    return;
  }
  if (size < 24) return;
  std::fill(out, out + 10, v);
  put_u16(out + 10, static_cast<uint16_t>(v * 100));
  put_u16(out + 12, static_cast<uint16_t>(v * 100));
  put_u16(out + 14, static_cast<uint16_t>(v * 50));
  put_u16(out + 16, static_cast<uint16_t>(v * 50));
  put_u16(out + 18, v);
  put_u16(out + 20, v);
  out[22] = v;
  out[23] = v;
}

DeviceModel::DeviceModel(const SimHandConfig& config) : config_(config) {
  if (config_.joint_count < 1) config_.joint_count = 1;
  if (config_.joint_count > kMaxJoints) config_.joint_count = kMaxJoints;
  for (int i = 0; i < config_.joint_count; ++i) {
    Joint& j = joints_[static_cast<size_t>(i)];
    j.enabled = config_.enabled_at_power_up;
    j.homed = config_.enabled_at_power_up;
    j.velocity_cmd = config_.hand_type == 2 ? 4095 : 20000;
    j.position = std::min(std::max(config_.power_up_position, position_min(i)), position_max(i));
    j.target = static_cast<int32_t>(j.position);
  }
  install_identity_locked();
}

int32_t DeviceModel::position_min(int slot) const {
  if (config_.hand_type == 2 && config_.model_code != 0 && side_joint_of_16(slot)) return -5000;
  return 0;
}

int32_t DeviceModel::position_max(int slot) const {
  if (config_.model_code == 0) return 4095;  // servo counts
  if (config_.hand_type == 2 && side_joint_of_16(slot)) return 5000;
  return 10000;
}

void DeviceModel::install_identity_locked() {
  params_[{0x200E, 29}] = config_.model_code;
  params_[{0x200E, 30}] = config_.firmware_x100;
  params_[{0x2030, 5}] = config_.direction_code;
  for (int k = 0; k < 6; ++k) {
    params_[{object(0x2030, k), 6}] = config_.serial_parts[k];
    params_[{object(0x2017, k), 1}] = 1;     // safe current on
    params_[{object(0x2022, k), 21}] = 300;  // home current
    params_[{object(0x201D, k), 17}] = config_.node_id;
    params_[{object(0x201D, k), 18}] = 1000;  // kbit/s
    params_[{object(0x201D, k), 19}] = 5000;
    params_[{object(0x201D, k), 6}] = config_.node_id;
    params_[{object(0x201D, k), 5}] = 5000;   // hundreds of bit/s
  }
  saved_ = params_;
}

void DeviceModel::apply_mode_command(const uint8_t* pairs, size_t joints) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++mode_commands_;
  bool pressure_reset = false;
  const size_t n = std::min(joints, static_cast<size_t>(config_.joint_count));
  for (size_t i = 0; i < n; ++i) {
    Joint& j = joints_[i];
    const uint8_t mode = pairs[2 * i] & 7;
    const uint8_t command = pairs[2 * i + 1];
    j.mode = mode;
    switch (command) {
      case kCmdEnable:
        if (j.alarm == 0 && j.forced_status == 0) {
          if (!j.enabled) j.target = static_cast<int32_t>(std::lround(j.position));
          j.enabled = true;
        }
        break;
      case kCmdDisable:
        j.enabled = false;
        j.homing = false;
        break;
      case kCmdClearAlarm:
        j.alarm = 0;
        j.forced_status = 0;
        break;
      case kCmdHome:
        if (mode == 5 && j.enabled && j.alarm == 0) j.homing = true;
        break;
      case kCmdStopRamp:
      case kCmdStopHold:
        j.homing = false;
        j.target = static_cast<int32_t>(std::lround(j.position));
        break;
      case kCmdPressureReset:
        pressure_reset = true;
        break;
      default:
        break;
    }
  }
  if (pressure_reset) ++pressure_resets_;
}

void DeviceModel::set_motion_target(int slot, const int32_t* position, const int32_t* velocity_units_s,
                                    const int32_t* current_limit) {
  if (slot < 0 || slot >= config_.joint_count) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Joint& j = joints_[static_cast<size_t>(slot)];
  if (position) j.target = std::min(std::max(*position, position_min(slot)), position_max(slot));
  if (velocity_units_s) j.velocity_cmd = std::abs(*velocity_units_s);
  if (current_limit) j.current_limit = *current_limit;
  if (slot == 0) ++motion_commands_;
}

void DeviceModel::apply_gesture(uint16_t gesture, uint16_t, uint16_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  gesture_ = gesture;
}

void DeviceModel::set_enabled(int slot, bool on) {
  if (slot < 0 || slot >= config_.joint_count) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Joint& j = joints_[static_cast<size_t>(slot)];
  if (on && !j.enabled) j.target = static_cast<int32_t>(std::lround(j.position));
  j.enabled = on;
}

bool DeviceModel::handle_param_request(const uint8_t* req, size_t len, uint8_t reply[8]) {
  if (len < 8) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  std::fill(reply, reply + 8, 0);
  reply[0] = 0x4B;
  const uint16_t index = get_u16(req + 1);
  const uint8_t sub = req[3];
  switch (req[0]) {
    case 0x40: {  // read
      auto it = params_.find({index, sub});
      const uint16_t v = it == params_.end() ? 0 : it->second;
      put_u16(reply + 1, index);
      reply[3] = sub;
      put_u16(reply + 4, v);
      return true;
    }
    case 0x2B: {  // write, answered with the stored value
      const uint16_t v = get_u16(req + 4);
      params_[{index, sub}] = v;
      put_u16(reply + 1, index);
      reply[3] = sub;
      put_u16(reply + 4, v);
      return true;
    }
    case 0x00:  // save preparation: 00 10 10 00 ...
      if (index != 0x1010) return false;
      save_armed_ = true;
      put_u16(reply + 1, 0x1010);
      return true;
    case 0x2F:  // save: 2F 10 10 01 "save"; value 1 when stored
      if (index != 0x1010 || sub != 1) return false;
      put_u16(reply + 1, 0x1010);
      reply[3] = 1;
      if (save_armed_ && req[4] == 's' && req[5] == 'a' && req[6] == 'v' && req[7] == 'e') {
        saved_ = params_;
        ++save_count_;
        reply[4] = 1;
      }
      save_armed_ = false;
      return true;
    default:
      return false;
  }
}

uint16_t DeviceModel::param(uint16_t index, uint8_t sub) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = params_.find({index, sub});
  return it == params_.end() ? 0 : it->second;
}

void DeviceModel::set_param(uint16_t index, uint8_t sub, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  params_[{index, sub}] = value;
}

std::map<std::pair<uint16_t, uint8_t>, uint16_t> DeviceModel::saved_params() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saved_;
}

int DeviceModel::save_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return save_count_;
}

size_t DeviceModel::handle_ota(const uint8_t* data, size_t len, uint8_t (&reply)[kMaxOtaReply]) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ota_.size() < kOtaKept) ota_.emplace_back();
  ota_[ota_next_].assign(data, data + len);
  ota_next_ = (ota_next_ + 1) % kOtaKept;
  const size_t n = std::min<size_t>(len, kMaxOtaReply - 2);
  reply[0] = 0xA5;
  reply[1] = static_cast<uint8_t>(n);
  std::copy(data, data + n, reply + 2);
  return n + 2;
}

std::vector<std::vector<uint8_t>> DeviceModel::ota_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ota_.size() < kOtaKept) return ota_;
  std::vector<std::vector<uint8_t>> in_order(ota_.begin() + static_cast<long>(ota_next_), ota_.end());
  in_order.insert(in_order.end(), ota_.begin(), ota_.begin() + static_cast<long>(ota_next_));
  return in_order;
}

void DeviceModel::advance_to(SimClock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!clock_started_) {
    clock_started_ = true;
    last_ = now;
    ++tactile_frame_;
    return;
  }
  if (now <= last_) return;
  const double dt = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  step_locked(std::min(dt, 0.5));
}

void DeviceModel::advance_by(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (seconds > 0) step_locked(seconds);
}

void DeviceModel::step_locked(double dt) {
  ++tactile_frame_;
  const double home_speed = config_.model_code == 0 ? 4095.0 : 10000.0;
  for (int i = 0; i < config_.joint_count; ++i) {
    Joint& j = joints_[static_cast<size_t>(i)];
    j.torque_reached = false;
    if (!j.enabled || j.alarm != 0 || j.forced_status != 0) {
      j.velocity = 0;
      j.current = j.enabled ? kHoldCurrent : 0;
      continue;
    }
    const double goal = j.homing ? std::min<double>(std::max<int32_t>(0, position_min(i)), position_max(i))
                                 : static_cast<double>(j.target);
    double speed = j.homing ? home_speed : static_cast<double>(j.velocity_cmd);
    const double distance = goal - j.position;
    bool starved = false;
    if (distance != 0 && j.current_limit < kMoveCurrent) {
      speed *= std::max<int32_t>(0, j.current_limit) / static_cast<double>(kMoveCurrent);
      starved = true;
    }
    const double stride = speed * dt;
    if (std::fabs(distance) <= stride) {
      j.position = goal;
      j.velocity = 0;
      if (j.homing) {
        j.homing = false;
        j.homed = true;
        j.target = static_cast<int32_t>(goal);
      }
    } else {
      j.position += distance > 0 ? stride : -stride;
      j.velocity = distance > 0 ? speed : -speed;
    }
    j.torque_reached = starved;
    j.current = j.velocity != 0 || starved ? std::min(j.current_limit, kMoveCurrent) : kHoldCurrent;
  }
}

uint8_t DeviceModel::status_byte_locked(int slot) const {
  const Joint& j = joints_[static_cast<size_t>(slot)];
  uint8_t run;
  if (j.forced_status) run = j.forced_status;
  else if (j.alarm) run = kRunAlarm;
  else if (j.homing) run = kRunHoming;
  else if (!j.enabled) run = kRunIdle;
  else if (j.velocity != 0) run = kRunMoving;
  else run = kRunHolding;
  const bool reached = j.enabled && !j.homing && std::fabs(j.position - j.target) < 0.5;
  return static_cast<uint8_t>((j.enabled ? 0x01 : 0) | (reached ? 0x02 : 0) | (j.torque_reached ? 0x08 : 0) |
                              (j.homed ? 0x10 : 0) | ((run & 7) << 5));
}

ModelSnapshot DeviceModel::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  ModelSnapshot s;
  s.hand_type = config_.hand_type;
  s.joint_count = config_.joint_count;
  s.tactile_frame = tactile_frame_;
  for (int i = 0; i < config_.joint_count; ++i) {
    const Joint& j = joints_[static_cast<size_t>(i)];
    JointSnapshot& o = s.joints[static_cast<size_t>(i)];
    o.position = static_cast<int32_t>(std::lround(j.position));
    o.velocity = static_cast<int32_t>(std::lround(j.velocity));
    o.current = j.current;
    o.status = status_byte_locked(i);
    o.alarm = j.alarm;
  }
  return s;
}

void DeviceModel::inject_alarm(int slot, uint8_t code) {
  if (slot < 0 || slot >= config_.joint_count) return;
  std::lock_guard<std::mutex> lock(mutex_);
  joints_[static_cast<size_t>(slot)].alarm = code;
}

void DeviceModel::force_run_status(int slot, uint8_t status) {
  if (slot < 0 || slot >= config_.joint_count) return;
  std::lock_guard<std::mutex> lock(mutex_);
  joints_[static_cast<size_t>(slot)].forced_status = status & 7;
}

void DeviceModel::set_joint_position(int slot, int32_t position) {
  if (slot < 0 || slot >= config_.joint_count) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Joint& j = joints_[static_cast<size_t>(slot)];
  j.position = std::min(std::max(position, position_min(slot)), position_max(slot));
  j.target = static_cast<int32_t>(j.position);
}

int DeviceModel::pressure_reset_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pressure_resets_;
}

uint16_t DeviceModel::last_gesture() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gesture_;
}

int DeviceModel::mode_commands_seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mode_commands_;
}

int DeviceModel::motion_commands_seen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return motion_commands_;
}

}  // namespace simhand
