// The default set-up of the simulator builds: one simulated CAN-FD adapter
// (80 MHz clock, compact packing) on one simulated bus, plugged into the
// simulated USB bus on first use.
#include "simadapter/sim_default.h"

namespace simadapter {

std::shared_ptr<simcan::CanBus> default_bus() {
  static std::shared_ptr<simcan::CanBus> bus = std::make_shared<simcan::CanBus>();
  return bus;
}

std::shared_ptr<SimAdapter> default_adapter() {
  static std::shared_ptr<SimAdapter> adapter = [] {
    auto a = SimAdapter::create(SimAdapterConfig{}, default_bus());
    SimUsbBackend::instance().plug(a);
    return a;
  }();
  return adapter;
}

}  // namespace simadapter
