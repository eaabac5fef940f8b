// morvx::RS485SharedBus: the exported face of a shared RS485 line. Every call
// forwards to the bus context, which owns the worker and the reply parser.
#include <memory>

#include "hand_core.h"
#include "morvane/morvane.h"
#include "rs485_bus_context.h"
#include "rs485_shared_bus_impl.h"

namespace morvx {

RS485SharedBus::RS485SharedBus() : impl_(nullptr) {
    std::unique_ptr<RS485SharedBusImpl> impl(new RS485SharedBusImpl{this, nullptr});
    impl->context = std::make_shared<RS485SharedBusContext>();
    impl_ = impl.release();
}

RS485SharedBus::~RS485SharedBus() {
    close();
    delete impl_;  // drops this object's reference; attached hands keep theirs
}

void RS485SharedBus::set_send_callback(bool (*fn)(const uint8_t*, unsigned)) {
    send_data_callback f;
    if (fn) f = fn;
    impl_->context->set_send_function(std::move(f));
}

void RS485SharedBus::set_send_callback_ex(void* fn) {
    // A copy of the caller's callable: it need not outlive this call.
    send_data_callback f;
    if (fn) f = *static_cast<const send_data_callback*>(fn);
    impl_->context->set_send_function(std::move(f));
}

int RS485SharedBus::set_receive_data(const uint8_t* data, int len) {
    if (!data || len < 0) return kBadArgument;
    return impl_->context->receive_bytes(data, static_cast<std::size_t>(len));
}

void RS485SharedBus::close() {
    impl_->context->close();
}

}  // namespace morvx
