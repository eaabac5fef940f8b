// The simulator build's default set-up: one simulated CAN-FD adapter on one
// simulated bus, plugged in when the library loads. Code linked into the same
// program (a simulated hand, say) attaches its nodes to default_bus().
#ifndef SIMADAPTER_SIM_DEFAULT_H
#define SIMADAPTER_SIM_DEFAULT_H

#include <memory>

#include "simadapter/sim_adapter.h"

namespace simadapter {

std::shared_ptr<simcan::CanBus> default_bus();
std::shared_ptr<SimAdapter> default_adapter();

}  // namespace simadapter

#endif  // SIMADAPTER_SIM_DEFAULT_H
