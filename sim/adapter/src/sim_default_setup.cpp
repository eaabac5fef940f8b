// Only in the simulator build of libTavrix.so: at load, one simulated CAN-FD
// adapter (80 MHz clock, compact packing) is plugged in on the default
// simulated bus, so an unchanged program finds an adapter to open.
//
// Further simulated devices (a simulated hand) come in as a plugin: when
// TAVRIX_SIM_PLUGIN names a shared object, it is loaded and its
// tavrix_sim_plugin_attach(simcan::CanBus*) is called with the default bus.
// The plugin compiles sim/canbus into itself (this library exports only the
// adapter interface) and attaches its nodes there.
#include <dlfcn.h>

#include <cstdlib>

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

using AttachFn = void (*)(simcan::CanBus*);

void load_plugin(simcan::CanBus* bus) {
  const char* path = std::getenv(kPluginVariable);
  if (path == nullptr || *path == '\0') return;
  // Kept loaded for the life of the process: its nodes sit on the bus.
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return;
  auto attach = reinterpret_cast<AttachFn>(dlsym(handle, kPluginAttachSymbol));
  if (attach) attach(bus);
}

struct PlugAtLoad {
  PlugAtLoad() {
    default_adapter();
    load_plugin(default_bus().get());
  }
} plug_at_load;

}  // namespace
}  // namespace simadapter
