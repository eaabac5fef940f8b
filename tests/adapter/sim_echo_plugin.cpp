// A plugin for the simulator build of libTavrix.so: a node on the simulated
// bus that answers every frame with the same frame on id + 1. It stands in
// for the simulated devices that later attach the same way.
#include "simcan/sim_can_bus.h"

namespace {

class EchoNode : public simcan::CanNode {
 public:
  explicit EchoNode(simcan::CanBus* bus) : bus_(bus) {}
  void on_frame(const simcan::CanFrame& frame) override {
    simcan::CanFrame reply = frame;
    reply.id = frame.id + 1;
    bus_->send(reply, this);
  }

 private:
  simcan::CanBus* bus_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void tavrix_sim_plugin_attach(simcan::CanBus* bus) {
  bus->attach(std::make_shared<EchoNode>(bus));
}
