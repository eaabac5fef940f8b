// Monitor: periodic status acquisition. Only the 16-joint hand on classic CAN
// is polled by this thread (one 0xA0 request per joint, 20 ms apart); on
// RS485 the bus context's worker polls, switched through the endpoint's
// poll_state; on CAN-FD and EtherCAT the hand reports by itself and the
// thread idles.
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "hand_ops.h"
#include "rs485_bus_context.h"

namespace morvx {

namespace {

constexpr uint8_t kStatusRequest = 0xA0;
constexpr auto kStatusRequestSpacing = std::chrono::milliseconds(20);
constexpr int32_t kSixteenJointHand = 2;

// joint_to_node entries are atomics: set_hand_type may rewrite them on the
// caller's thread while this loop reads them.
int32_t node_of_joint(const HandCore& h, int slot) {
    return h.joint_to_node[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed);
}

void monitor_loop(HandCore* hand) {
    HandCore& h = *hand;
    const std::vector<uint8_t> request{kStatusRequest};
    while (h.running.load()) {
        if (h.bus_kind.load(std::memory_order_acquire) != kBusCan ||
            h.hand_type.load(std::memory_order_acquire) != kSixteenJointHand) {
            inter_command_delay(h);
            continue;
        }
        // active_joints is read afresh at each step: identification may change it.
        int sent = 0;
        for (int i = 0; i < h.active_joints.load(std::memory_order_acquire) && i < kJointSlots; ++i, ++sent) {
            h.frame_log.log_frame(request.data(), request.size(), true);
            try {
                send_can(h, static_cast<unsigned>(node_of_joint(h, i)), request);
            } catch (...) {
                // A throwing send function must not end the process through
                // this thread; like a false result, it is not looked at.
            }
            std::this_thread::sleep_for(kStatusRequestSpacing);
            if (!h.running.load()) return;
        }
        if (sent == 0) inter_command_delay(h);  // no joints: pause rather than spin
    }
}

}  // namespace

void start_monitor(HandCore& h) {
    if (h.running.exchange(true)) return;
    if (h.bus_kind.load(std::memory_order_acquire) == kBusRs485) {
        // The bus worker polls this hand; no thread of our own.
        if (h.bus_context && h.bus_endpoint) h.bus_context->set_poll_state(h.bus_endpoint, 1);
        return;
    }
    // A thread left from an earlier run has ended its loop (running was
    // false); join it so the handle can take the new one.
    if (h.monitor_thread.joinable()) h.monitor_thread.join();
    try {
        h.monitor_thread = std::thread(monitor_loop, &h);
    } catch (const std::system_error&) {
        // No thread could be started: the monitor stays off.
        h.running.store(false);
    }
}

void stop_monitor(HandCore& h) {
    if (!h.running.exchange(false)) return;
    if (h.bus_context && h.bus_endpoint) h.bus_context->set_poll_state(h.bus_endpoint, 0);
    // Returns only once the loop has ended: at most one pause of the loop.
    if (h.monitor_thread.joinable()) h.monitor_thread.join();
}

}  // namespace morvx
