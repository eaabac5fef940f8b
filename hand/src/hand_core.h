// HandCore: every piece of state of one hand. Morvane owns exactly one.
//
// Thread rules (see each group): the caller's thread runs set-up, setters and
// commands one at a time; the transport's receive thread runs the decoders;
// the monitor thread and an RS485 bus worker run beside them. Values that the
// receive thread writes and others read are atomics or DoubleBuffers.
#ifndef MORVANE_HAND_CORE_H
#define MORVANE_HAND_CORE_H

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus_profile.h"
#include "double_buffer.h"
#include "frame_log.h"
#include "morvane/morvane.h"
#include "rs485_framing.h"
#include "sensor_channel.h"

namespace morvx {

class RS485SharedBusContext;
class RS485NodeEndpoint;

// Result codes of the library.
enum ResultCode : int {
    kOk = 0,
    kBadArgument = 1,
    kNoBusContext = 2,
    kBadParamReply = 3,
    kNoSensorData = 4,
    kBusClosed = 5,
    kTimedOut = 7,  // parameter read timed out, or OTA reply queue full
    kFrameRejected = 8,
    kLogFileExists = 9,
    kLogFileUnwritable = 10,
    kNotHomed = 11,
};

// OTA replies kept for get_ota_recv_data: at most this many, each at most
// this long: the longest body of an RS485 'p' frame (a CAN-FD frame carries
// at most 64 data bytes).
constexpr std::size_t kOtaQueueLimit = 32;
constexpr std::size_t kOtaReplyMaxBytes = kRs485MaxReplyBodyBytes;

// Whole-table helpers for the atomic per-joint tables below.
template <typename T, std::size_t N, typename V>
void store_all(std::array<std::atomic<T>, N>& table, V value) {
    for (auto& slot : table) slot.store(static_cast<T>(value), std::memory_order_relaxed);
}
template <typename T, std::size_t N>
void copy_table(std::array<std::atomic<T>, N>& to, const std::array<std::atomic<T>, N>& from) {
    for (std::size_t i = 0; i < N; ++i) to[i].store(from[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
}

struct HandCore {
    explicit HandCore(Morvane* owner);
    ~HandCore();
    HandCore(const HandCore&) = delete;
    HandCore& operator=(const HandCore&) = delete;

    Morvane* owner_object;

    // ---- send functions (set-up calls only) --------------------------------
    send_data_callback send_rpdo_function;
    send_data_callback* active_send_rpdo = nullptr;
    send_canfd_callback send_canfd_function;
    send_canfd_callback* active_send_canfd = nullptr;
    send_data_callback send_rs485_function;
    send_data_callback* active_send_rs485 = nullptr;
    // Written with std::atomic_store (set-up calls), read with std::atomic_load
    // where the receive thread reads it.
    std::shared_ptr<RS485SharedBusContext> bus_context;
    std::shared_ptr<RS485NodeEndpoint> bus_endpoint;
    bool bus_given = false;
    send_can_callback send_can_function;
    send_can_callback* active_send_can = nullptr;
    // Read by the monitor thread and the RS485 send path while the caller may
    // switch it.
    std::atomic<bool> dry_run{false};

    // ---- bus and identity: written by the receive thread during
    // identification, read everywhere; each a whole 32-bit atomic ----------
    std::atomic<int32_t> bus_kind{kBusNone};  // a BusKind, or any value initial() was given
    std::atomic<int32_t> hand_type{0};
    std::atomic<int32_t> total_joints{11};
    std::atomic<int32_t> active_joints{6};
    std::atomic<int32_t> hand_direction{0};
    std::atomic<float> firmware_version{0.0f};
    std::string serial_number;  // caller's thread only
    // Set by initial() and copies, read by the receive thread's decoders.
    std::atomic<int32_t> canfd_node_id{1};
    std::atomic<int32_t> rs485_node_id{1};

    // ---- per-joint tables (27 slots; slot i holds joint i + 1) --------------
    // Caller's thread only: mode and command bytes go out with the next request.
    std::array<uint8_t, kJointSlots> joint_mode{};
    std::array<uint8_t, kJointSlots> home_option_a{};
    std::array<uint8_t, kJointSlots> home_option_b{};
    std::array<uint8_t, kJointSlots> joint_command{};
    // Tables that set_hand_type and set_sensor_order rewrite on the caller's
    // thread while the receive thread's decoders and the monitor read them
    // (initial() itself identifies the device while reports arrive), so each
    // entry is a whole atomic: a reader sees the old or the new value.
    std::array<std::atomic<int32_t>, kJointSlots> sensor_map{};
    std::array<std::atomic<float>, kJointSlots> min_angle{};
    std::array<std::atomic<float>, kJointSlots> max_angle{};
    std::array<std::atomic<int32_t>, kJointSlots> min_position{};
    std::array<std::atomic<int32_t>, kJointSlots> max_position{};
    std::array<std::atomic<int32_t>, kJointSlots> joint_to_node{};
    std::array<std::atomic<int32_t>, kJointSlots + 1> node_to_joint{};

    // ---- published per-joint values -----------------------------------------
    // Targets: written by the caller's thread.
    DoubleBuffer<float> target_angle;
    DoubleBuffer<int32_t> target_position;
    DoubleBuffer<float> angular_velocity;
    DoubleBuffer<int32_t> position_velocity;
    DoubleBuffer<int32_t> max_current;
    // Measured: written by the receive thread.
    DoubleBuffer<uint8_t> status_byte;
    DoubleBuffer<uint8_t> alarm_byte;
    DoubleBuffer<int32_t> raw_position;
    DoubleBuffer<float> now_angle;
    DoubleBuffer<int32_t> now_position;
    DoubleBuffer<float> now_angular_velocity;
    DoubleBuffer<int32_t> now_position_velocity;
    DoubleBuffer<int32_t> now_current;

    // ---- tactile channels ----------------------------------------------------
    // Written only inside a rebuild (build_sensor_channels), which holds the
    // decoder off, so a block is decoded with the format of its layout.
    std::array<std::atomic<uint8_t>, kJointSlots> channel_format{};
    // Fixed storage, never freed or reallocated: a rebuild rewrites the
    // channels in place (initial() rebuilds while the device reports), each
    // under the rebuild half of its sequence word, which readers check with
    // the block half and the decoder checks before each block.
    std::array<LiveChannel, kSensorChannels> sensor_channels{};

    // Coupled servo pairs of the 16-joint hand, by node address. Constant, so
    // the receive thread's decoder reads them while a set-up call copies a
    // configuration without any shared write.
    static constexpr std::array<std::pair<int32_t, int32_t>, 5> coupled_pairs{
        {{1, 2}, {4, 5}, {7, 8}, {10, 11}, {13, 14}}};

    // ---- bytes last built for each bus (pre-send buffers) ---------------------
    std::vector<uint8_t> last_rpdo;
    std::vector<uint8_t> last_canfd;
    std::vector<uint8_t> last_can;  // dry run: accumulates u32 LE id + bytes
    std::vector<uint8_t> last_rs485;

    // ---- OTA -----------------------------------------------------------------------
    std::vector<uint8_t> ota_data;
    std::mutex ota_mutex;
    // Received OTA replies, a ring of fixed slots (the receive thread queues
    // without allocating), oldest at ota_first; guarded by ota_mutex.
    struct OtaReply {
        std::size_t size = 0;
        std::array<uint8_t, kOtaReplyMaxBytes> bytes{};
    };
    std::array<OtaReply, kOtaQueueLimit> ota_replies{};
    std::size_t ota_first = 0;
    std::size_t ota_count = 0;

    // ---- gesture arguments, written by play_gesture before each request -------
    uint16_t gesture_number = 0;
    int32_t gesture_arg1 = 0;
    int32_t gesture_arg2 = 0;

    // ---- monitor and flags ---------------------------------------------------------
    std::thread monitor_thread;
    std::atomic<bool> running{false};
    std::atomic<bool> ota_busy{false};
    int32_t poll_index = 0;  // RS485 bus worker only
    std::atomic<bool> sensor_enable{false};
    std::atomic<bool> move_no_home{false};
    std::atomic<bool> angle_conversion{true};

    // ---- frame log -----------------------------------------------------------------
    FrameLog frame_log;

    // ---- drive parameters ------------------------------------------------------------
    std::atomic<std::promise<unsigned>*> pending_read{nullptr};
    std::mutex param_mutex;
    std::atomic<uint16_t> pending_index{0};
    std::atomic<uint8_t> pending_sub_index{0};

    // frames: guards last_can, which the monitor thread appends status
    // requests to in dry run while the caller's thread builds commands.
    std::mutex last_can_mutex;
};

// Copies one hand's configuration (targets, modes, limits, node ids, hand type,
// tactile set-up, flags, log filters) into another. Never the send callables,
// bus context, endpoint, threads, measured values or pending requests.
// Caller's thread; the destination's monitor may run.
void copy_configuration(HandCore& to, const HandCore& from);

}  // namespace morvx

#endif  // MORVANE_HAND_CORE_H
