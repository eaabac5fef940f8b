// The bus context's link to the hand object: the default context reaches each
// attached hand through its RS485 poll provider and frame handler. Kept apart
// from the context itself so that the context can be built and tested on its
// own with other hooks.
#include "hand_ops.h"
#include "rs485_bus_context.h"

namespace morvx {

namespace {

bool hand_provide_poll(HandCore* owner, uint16_t& function_code, std::vector<uint8_t>& payload) {
    return provide_rs485_poll(*owner, function_code, payload);
}

// The context checked the frame when it cut it and routed it by its node id:
// neither is checked again.
int hand_handle_frame(HandCore* owner, ByteView frame) {
    return handle_rs485_reply(*owner, split_rs485_frame(frame), true);
}

constexpr RS485HandHooks kHandHooks{&hand_provide_poll, &hand_handle_frame};

}  // namespace

RS485SharedBusContext::RS485SharedBusContext() : RS485SharedBusContext(kHandHooks) {}

}  // namespace morvx
