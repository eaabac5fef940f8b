// The 16-joint hand on classic CAN: one servo per node id 1..16, positions in
// 12-bit counts. Frames on the servo's node id: [0xA0] asks for its status,
// [0xAA, position u16, speed u16, current u16] moves it (and enables it),
// [0xBA, 0x01] disables it. The 0xA0 and 0xAA frames are answered on
// 0x100 + node id with 8 bytes: the code, the status byte, then from bit 16
// of the little-endian word the position (12 bits), the speed and the
// current (12-bit two's complement each).
//
// Speed is in thousandths of the joint's range per second (4.095 counts per
// second per unit); current in the servo's own unit, reported divided by 10.
//
// Threads: on_host_frame() from one thread at a time; replies on that thread.
#ifndef SIMHAND_CAN_SERVO_HAND_H
#define SIMHAND_CAN_SERVO_HAND_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "simhand/device_model.h"

namespace simhand {

class SimCanServoHand {
 public:
  using ReplyFn = std::function<void(uint32_t id, const uint8_t* data, size_t len)>;

  SimCanServoHand(std::shared_ptr<DeviceModel> model, ReplyFn reply);

  DeviceModel& model() { return *model_; }
  void on_host_frame(uint32_t id, const uint8_t* data, size_t len);
  // Node ids of the status requests, in arrival order (the last 4096).
  std::vector<uint32_t> status_requests() const;

 private:
  std::shared_ptr<DeviceModel> model_;
  ReplyFn reply_;
  mutable std::mutex mutex_;
  std::vector<uint32_t> requests_;
};

}  // namespace simhand

#endif  // SIMHAND_CAN_SERVO_HAND_H
