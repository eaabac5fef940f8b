// Only in the simulator build of libKitPcan (sim-hand-lib): at load, the
// simulated 16-joint servo hand (node ids 1..16) is attached to channel
// 0x51 of the simulated CAN bus, so an unchanged pcan_demo finds a channel
// with a hand on it.
#include <memory>

#include "kitpcan/pcan_sim.h"
#include "simhand/can_servo_hand.h"
#include "simhand/device_model.h"

namespace {

constexpr uint16_t kChannel = 0x51;

struct AttachAtLoad {
  AttachAtLoad() {
    auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::servo_hand());
    hand = std::make_shared<simhand::SimCanServoHand>(model, [](uint32_t id, const uint8_t* data, size_t len) {
      kitpcan::SimMessage m;
      m.id = id;
      m.len = static_cast<uint8_t>(len > 8 ? 8 : len);
      for (size_t i = 0; i < m.len; ++i) m.data[i] = data[i];
      kitpcan::sim_send_to_host(kChannel, m);
    });
    std::weak_ptr<simhand::SimCanServoHand> weak = hand;
    kitpcan::sim_attach(kChannel, "Simulated CAN channel (16-joint hand)", [weak](const kitpcan::SimMessage& m) {
      if (auto h = weak.lock()) h->on_host_frame(m.id, m.data, m.len);
    });
  }
  ~AttachAtLoad() { kitpcan::sim_detach(kChannel); }
  std::shared_ptr<simhand::SimCanServoHand> hand;
} attach_at_load;

}  // namespace
