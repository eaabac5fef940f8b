// Send paths: where a built frame leaves the library. EtherCAT, CAN-FD and
// classic CAN call the caller's send function on the calling thread; RS485
// frames go through a bus context whose worker is the only caller of the line's
// send function. Callers log each frame before it takes its path.
#include <algorithm>
#include <cstring>
#include <system_error>

#include "frame_bodies.h"
#include "hand_ops.h"
#include "rs485_bus_context.h"
#include "rs485_framing.h"
#include "wire_map.h"

namespace morvx {

void send_rpdo(HandCore& h, const std::vector<uint8_t>& buffer) {
    if (h.dry_run.load()) return;
    send_data_callback* fn = h.active_send_rpdo;
    if (fn && *fn) (*fn)(buffer.data(), static_cast<unsigned>(buffer.size()));
}

void send_canfd(HandCore& h, unsigned id, const std::vector<uint8_t>& buffer, int flag) {
    if (h.dry_run.load()) return;
    send_canfd_callback* fn = h.active_send_canfd;
    if (fn && *fn) (*fn)(id, buffer.data(), static_cast<unsigned>(buffer.size()), flag);
}

void send_can(HandCore& h, unsigned id, const std::vector<uint8_t>& buffer) {
    send_can(h, id, buffer.data(), buffer.size());
}

void send_can(HandCore& h, unsigned id, const uint8_t* data, std::size_t len) {
    if (h.dry_run.load()) {
        // Dry run keeps every frame of a request as [u32 LE id, bytes].
        uint8_t id_bytes[4];
        write_le32(id_bytes, id);
        std::lock_guard<std::mutex> lock(h.last_can_mutex);
        h.last_can.insert(h.last_can.end(), id_bytes, id_bytes + 4);
        h.last_can.insert(h.last_can.end(), data, data + len);
        return;
    }
    send_can_callback* fn = h.active_send_can;
    if (fn && *fn) (*fn)(id, data, static_cast<unsigned>(len));
}

bool submit_rs485_payload(HandCore& h, uint16_t function_code, uint8_t node_id, std::vector<uint8_t>& buffer) {
    const bool dry_run = h.dry_run.load();
    std::shared_ptr<RS485SharedBusContext> context = h.bus_context;
    std::shared_ptr<RS485NodeEndpoint> endpoint = h.bus_endpoint;
    if (context && endpoint) return context->submit_request(endpoint, function_code, node_id, buffer, dry_run);

    if (dry_run) {
        // Nothing would be queued: a temporary worker would only build the frame.
        buffer = build_frame(function_code, node_id, buffer);
        return true;
    }
    // Not attached: a one-off context whose own worker sends this one frame.
    // Its endpoint is never polled (poll_state stays 0).
    std::shared_ptr<RS485SharedBusContext> once;
    try {
        once = std::make_shared<RS485SharedBusContext>();
    } catch (const std::system_error&) {
        // No worker thread could be started: the frame cannot go out.
        buffer = build_frame(function_code, node_id, buffer);
        return false;
    }
    once->set_send_function(h.active_send_rs485 ? *h.active_send_rs485 : send_data_callback());
    auto once_endpoint = std::make_shared<RS485NodeEndpoint>(&h, node_id);
    once->register_endpoint(once_endpoint);
    const bool sent = once->submit_request(once_endpoint, function_code, node_id, buffer, false);
    once->unregister_endpoint(once_endpoint);
    {
        std::lock_guard<std::mutex> lock(once_endpoint->mutex);
        once_endpoint->owner = nullptr;
    }
    once.reset();  // the last reference: closes the context and joins its worker
    return sent;
}

bool provide_rs485_poll(HandCore& h, uint16_t& function_code, std::vector<uint8_t>& payload) {
    if (h.bus_kind.load() != kBusRs485 || h.dry_run.load() || h.ota_busy.load()) return false;
    // Without tactile reports only the joint and status replies are polled.
    const int cycle = h.sensor_enable.load() ? 5 : 2;
    if (h.poll_index >= cycle || h.poll_index < 0) h.poll_index = 0;
    payload.assign({static_cast<uint8_t>(rs485_poll_codes[h.poll_index] | 0x80),
                    static_cast<uint8_t>(active_joint_count(h))});
    function_code = kRs485CommandFunction;
    h.poll_index = (h.poll_index + 1) % cycle;
    return true;
}

int copy_pre_send(const std::vector<uint8_t>& kept, uint8_t* buffer, int* length) {
    if (!length) return kBadArgument;
    if (buffer && *length < 0) return kBadArgument;
    if (!buffer) {
        *length = static_cast<int>(kept.size());
        return kOk;
    }
    const std::size_t n = std::min(static_cast<std::size_t>(*length), kept.size());
    if (n) std::memcpy(buffer, kept.data(), n);
    *length = static_cast<int>(n);
    return kOk;
}

int copy_pre_send_can(HandCore& h, uint8_t* buffer, int* length) {
    std::lock_guard<std::mutex> lock(h.last_can_mutex);
    return copy_pre_send(h.last_can, buffer, length);
}

}  // namespace morvx
