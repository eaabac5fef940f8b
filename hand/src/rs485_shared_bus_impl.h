// Implementation record behind morvx::RS485SharedBus: the bus object's
// reference to its context. Hands attached to the bus take their own copy of
// the reference, so the context outlives the bus object while they hold it.
#ifndef MORVANE_RS485_SHARED_BUS_IMPL_H
#define MORVANE_RS485_SHARED_BUS_IMPL_H

#include <memory>

#include "morvane/morvane.h"
#include "rs485_bus_context.h"

namespace morvx {

struct RS485SharedBusImpl {
    RS485SharedBus* owner;
    std::shared_ptr<RS485SharedBusContext> context;
};

}  // namespace morvx

#endif  // MORVANE_RS485_SHARED_BUS_IMPL_H
