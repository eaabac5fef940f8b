// The simulator build's default set-up: one simulated CAN-FD adapter on one
// simulated bus, plugged in when the library loads, and the plugin hook that
// brings further simulated devices onto that bus.
#ifndef SIMADAPTER_SIM_DEFAULT_H
#define SIMADAPTER_SIM_DEFAULT_H

#include <memory>

#include "simadapter/sim_adapter.h"

namespace simadapter {

// Environment variable naming the plugin, and the C function it exports:
//   extern "C" void tavrix_sim_plugin_attach(simcan::CanBus* bus);
// called once at load, on the loading thread, before any adapter call.
constexpr const char* kPluginVariable = "TAVRIX_SIM_PLUGIN";
constexpr const char* kPluginAttachSymbol = "tavrix_sim_plugin_attach";

std::shared_ptr<simcan::CanBus> default_bus();
std::shared_ptr<SimAdapter> default_adapter();

}  // namespace simadapter

#endif  // SIMADAPTER_SIM_DEFAULT_H
