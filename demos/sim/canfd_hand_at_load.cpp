// Only in the simulator build of libTavrix with a hand (sim-hand-lib): at
// load, a simulated 6-joint CAN-FD hand (node id 1, model code 2, hand type
// 0) joins the simulated adapter's default bus and reports every 10 ms, so
// an unchanged canfd_demo finds an adapter and a hand behind it.
#include <chrono>
#include <cstring>
#include <memory>

#include "simadapter/sim_default.h"
#include "simcan/sim_can_bus.h"
#include "simhand/canfd_hand.h"
#include "simhand/device_model.h"

namespace {

class HandNode : public simcan::CanNode {
 public:
  explicit HandNode(std::shared_ptr<simcan::CanBus> bus) : bus_(std::move(bus)) {
    auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(2, 1));
    hand_.reset(new simhand::SimCanfdHand(model, [this](uint32_t id, const uint8_t* data, size_t len, bool ext) {
      simcan::CanFrame f;
      f.id = id;
      f.extended = ext;
      f.fd = true;
      if (len > sizeof f.data) len = sizeof f.data;
      f.dlc = simcan::length_to_dlc(len);
      std::memcpy(f.data, data, len);
      bus_->send(f, this);
    }));
  }
  void on_frame(const simcan::CanFrame& f) override {
    hand_->on_host_frame(f.id, f.data, f.length(), f.extended);
  }
  simhand::SimCanfdHand& hand() { return *hand_; }

 private:
  std::shared_ptr<simcan::CanBus> bus_;
  std::unique_ptr<simhand::SimCanfdHand> hand_;
};

struct AttachAtLoad {
  AttachAtLoad() {
    simadapter::default_adapter();  // the adapter is plugged in first
    bus = simadapter::default_bus();
    node = std::make_shared<HandNode>(bus);
    bus->attach(node);
    node->hand().start(std::chrono::milliseconds(10));
  }
  ~AttachAtLoad() {
    node->hand().stop();
    bus->detach(node.get());
  }
  std::shared_ptr<simcan::CanBus> bus;
  std::shared_ptr<HandNode> node;
};

#ifdef SIM_HAND_KEPT_TO_PROCESS_END
// In a Windows DLL the static objects are destroyed after the process has
// ended its other threads: the hand's thread could no longer be stopped there.
AttachAtLoad* const attach_at_load = new AttachAtLoad;
#else
AttachAtLoad attach_at_load;
#endif

}  // namespace
