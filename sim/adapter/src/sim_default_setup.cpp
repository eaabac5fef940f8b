// Only in the simulator build of libTavrix.so: at load, one simulated CAN-FD
// adapter (80 MHz clock, compact packing) is plugged in on the default
// simulated bus, so an unchanged program finds an adapter to open.
#include "simadapter/sim_adapter.h"
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

namespace {
struct PlugAtLoad {
  PlugAtLoad() { default_adapter(); }
} plug_at_load;
}  // namespace

}  // namespace simadapter
