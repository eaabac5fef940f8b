// Lifecycle of a hand: initial(), and the hand's attachment to an RS485 bus
// context (private, or the context of a shared bus object).
#include "hand_core.h"
#include "hand_ops.h"
#include "rs485_bus_context.h"
#include "rs485_shared_bus_impl.h"

namespace morvx {

namespace {

// A copy for the context: the context's worker calls it on its own thread,
// and an empty callable drops frames, as no send function should.
send_data_callback rs485_send_copy(const HandCore& h) {
    return h.active_send_rs485 ? *h.active_send_rs485 : send_data_callback();
}

// Ends the hand's registration on its context; keeps the context itself.
void release_endpoint(HandCore& h) {
    std::shared_ptr<RS485NodeEndpoint> ep = std::move(h.bus_endpoint);
    if (!ep) return;
    ep->poll_state.store(0, std::memory_order_release);
    if (h.bus_context) h.bus_context->unregister_endpoint(ep);
    // The worker may hold a strong reference to the endpoint for a moment
    // longer; once owner is cleared under the mutex it never reaches this
    // hand again.
    std::lock_guard<std::mutex> lock(ep->mutex);
    ep->owner = nullptr;
}

// The classic CAN monitor thread calls the send function between the
// caller's calls; pause it while the callable is swapped so it never calls a
// half-replaced one.
template <typename F>
void with_monitor_paused(HandCore& h, F&& swap) {
    const bool was_running = h.running.load();
    if (was_running) stop_monitor(h);
    swap();
    if (was_running) start_monitor(h);
}

}  // namespace

void set_can_send_function(HandCore& h, bool (*fn)(unsigned, const uint8_t*, unsigned)) {
    with_monitor_paused(h, [&] {
        h.send_can_function = fn ? send_can_callback(fn) : send_can_callback();
        h.active_send_can = &h.send_can_function;
    });
}

void set_can_send_callable(HandCore& h, send_can_callback* callable) {
    with_monitor_paused(h, [&] { h.active_send_can = callable; });
}

int initial(HandCore& h, int comm_type, unsigned node_id) {
    if (node_id >= 256) return kBadArgument;
    if (comm_type == kBusCanfd) h.canfd_node_id = static_cast<int32_t>(node_id);
    if (comm_type == kBusRs485) h.rs485_node_id = static_cast<int32_t>(node_id);
    return initial(h, comm_type);
}

int initial(HandCore& h, int comm_type) {
    stop_monitor(h);
    // Leaving RS485: give up the registration, and a private context with it.
    // A private context without a registration (an earlier attach refused)
    // goes too, so its worker does not outlive its use.
    if (comm_type != kBusRs485 && (h.bus_endpoint || (h.bus_context && !h.bus_given))) detach_rs485(h);
    h.bus_kind.store(comm_type);
    h.ota_busy.store(false);
    if (comm_type == kBusRs485) {
        int rc = attach_rs485(h);
        if (rc != kOk) return rc;
    }
    int rc = identify_device(h);
    if (rc != kOk) return rc;
    start_monitor(h);
    return kOk;
}

int attach_rs485(HandCore& h) {
    release_endpoint(h);
    if (!h.bus_context) {
        std::atomic_store(&h.bus_context, std::make_shared<RS485SharedBusContext>());
        h.bus_given = false;
    }
    if (!h.bus_context->is_open()) return kBusClosed;
    if (!h.bus_given) h.bus_context->set_send_function(rs485_send_copy(h));
    auto ep = std::make_shared<RS485NodeEndpoint>(&h, static_cast<uint8_t>(h.rs485_node_id & 0xFF));
    if (!h.bus_context->register_endpoint(ep)) {
        // Another live hand answers to this node id on the line.
        std::lock_guard<std::mutex> lock(ep->mutex);
        ep->owner = nullptr;
        return kBadArgument;
    }
    h.bus_endpoint = std::move(ep);
    return kOk;
}

void detach_rs485(HandCore& h) {
    release_endpoint(h);
    // A private context ends with its last reference (its worker is joined
    // there); a shared bus object's context stays for the next initial(2).
    if (!h.bus_given) std::atomic_store(&h.bus_context, std::shared_ptr<RS485SharedBusContext>());
}

void set_rs485_send_function(HandCore& h) {
    // With a shared context the bus object's own send function is used.
    if (h.bus_context && !h.bus_given) h.bus_context->set_send_function(rs485_send_copy(h));
}

void set_rs485_shared_bus(HandCore& h, RS485SharedBus* bus) {
    stop_monitor(h);
    detach_rs485(h);
    RS485SharedBusImpl* impl = bus ? bus->impl() : nullptr;
    h.bus_given = impl != nullptr;
    std::atomic_store(&h.bus_context, impl ? impl->context : std::shared_ptr<RS485SharedBusContext>());
}

}  // namespace morvx
