// Only in the simulator build of libTavrix.so: at load, the default simulated
// adapter (sim_default.cpp) is plugged in, so an unchanged program finds an
// adapter to open.
//
// Further simulated devices (a simulated hand) come in as a plugin: when
// TAVRIX_SIM_PLUGIN names a shared object, it is loaded and its
// tavrix_sim_plugin_attach(simcan::CanBus*) is called with the default bus.
// The plugin compiles sim/canbus into itself (this library exports only the
// adapter interface) and attaches its nodes there.
#include <dlfcn.h>

#include <cstdlib>

#include "simadapter/sim_default.h"

namespace simadapter {

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
