// The C interface: one function per method of morvx::Morvane and
// morvx::RS485SharedBus, over opaque handles.
//
// No exception may reach a C caller: every entry point catches everything.
// Int functions answer an exception with 999 (the library ran out of memory
// or of another resource, such as a thread); creation answers null; functions
// without result swallow it.
#include "morvane/morvane_c.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "c_array_alloc.h"
#include "morvane/morvane.h"

using morvx::Morvane;
using morvx::RS485SharedBus;

// The record behind a morvane_handle.
struct morvane_hand_record {
    Morvane* hand;
};

namespace morvx {
namespace {

constexpr int kBadArgument = 1;
constexpr int kOutOfMemory = 999;

CArrayAllocator g_array_allocator = &std::malloc;

template <typename F>
int call_int(morvane_handle handle, F&& fn) noexcept {
    if (handle == nullptr || handle->hand == nullptr) return kBadArgument;
    try {
        return fn(*handle->hand);
    } catch (...) {
        return kOutOfMemory;
    }
}

template <typename F>
void call_void(morvane_handle handle, F&& fn) noexcept {
    if (handle == nullptr || handle->hand == nullptr) return;
    try {
        fn(*handle->hand);
    } catch (...) {
    }
}

RS485SharedBus* bus_of(morvane_rs485_shared_bus_handle bus) { return reinterpret_cast<RS485SharedBus*>(bus); }

struct FreeDeleter {
    void operator()(float* p) const noexcept { std::free(p); }
};
using CArray = std::unique_ptr<float[], FreeDeleter>;

// Null when n floats cannot be allocated (or their size overflows).
CArray allocate_floats(int n) {
    if (n <= 0 || static_cast<std::size_t>(n) > SIZE_MAX / sizeof(float)) return CArray();
    return CArray(static_cast<float*>(g_array_allocator(static_cast<std::size_t>(n) * sizeof(float))));
}

using ArrayMethod = int (Morvane::*)(int, float*, int*);
using PairMethod = int (Morvane::*)(int, float*, float*, int*);

// Asks for the number of values n, allocates room for one more in each of
// the K arrays and has them filled. A rebuild between the two calls can
// change the list: a fill that stops short of the room is a whole list of
// one reading (the methods copy min(room, length)); a full one means the
// list grew after it was counted and would be cut short, so it starts
// again. On any failure every output ends null and the count 0.
template <std::size_t K, typename Count, typename Fill>
int get_arrays(Count count_values, Fill fill, float** const (&outs)[K], int* count) noexcept {
    for (float** out : outs) *out = nullptr;
    *count = 0;
    try {
        for (;;) {
            int n = 0;
            int result = count_values(&n);
            if (result != 0 || n <= 0) return result;
            const int room = n < INT_MAX ? n + 1 : n;
            CArray arrays[K];
            for (CArray& a : arrays) {
                a = allocate_floats(room);
                if (!a) return kOutOfMemory;
            }
            int filled = room;
            result = fill(arrays, &filled);
            if (result != 0) return result;
            if (filled > n) continue;
            *count = filled < 0 ? 0 : filled;
            for (std::size_t k = 0; k < K; ++k) *outs[k] = arrays[k].release();
            return 0;
        }
    } catch (...) {
        for (float** out : outs) *out = nullptr;
        *count = 0;
        return kOutOfMemory;
    }
}

int get_array(morvane_handle handle, ArrayMethod method, int channel, float** values, int* count) noexcept {
    if (handle == nullptr || handle->hand == nullptr || values == nullptr || count == nullptr) return kBadArgument;
    Morvane& hand = *handle->hand;
    float** const outs[] = {values};
    return get_arrays(
        [&](int* n) { return (hand.*method)(channel, nullptr, n); },
        [&](CArray (&a)[1], int* n) { return (hand.*method)(channel, a[0].get(), n); }, outs, count);
}

int get_array_pair(morvane_handle handle, PairMethod method, int channel, float** x, float** y, int* count) noexcept {
    if (handle == nullptr || handle->hand == nullptr || x == nullptr || y == nullptr || count == nullptr) {
        return kBadArgument;
    }
    Morvane& hand = *handle->hand;
    float** const outs[] = {x, y};
    return get_arrays(
        [&](int* n) { return (hand.*method)(channel, nullptr, nullptr, n); },
        [&](CArray (&a)[2], int* n) { return (hand.*method)(channel, a[0].get(), a[1].get(), n); }, outs, count);
}

}  // namespace

CArrayAllocator set_c_array_allocator(CArrayAllocator fn) {
    CArrayAllocator previous = g_array_allocator;
    g_array_allocator = fn != nullptr ? fn : &std::malloc;
    return previous;
}

}  // namespace morvx

using morvx::call_int;
using morvx::call_void;

extern "C" {

// ---- handles and buffers ------------------------------------------------------

morvane_handle morvane_create(void) {
    try {
        std::unique_ptr<morvane_hand_record> record(new morvane_hand_record{nullptr});
        record->hand = new Morvane();
        return record.release();
    } catch (...) {
        return nullptr;
    }
}

void morvane_destroy(morvane_handle handle) {
    if (handle == nullptr) return;
    try {
        delete handle->hand;
    } catch (...) {
    }
    delete handle;
}

void morvane_free_buffer(float* buffer) { std::free(buffer); }

// ---- functions with more than forwarding ----------------------------------------

int morvane_initial_ex(morvane_handle handle, int comm_type, unsigned node_id) {
    return call_int(handle, [&](Morvane& m) { return m.initial(comm_type, node_id); });
}

bool morvane_get_dry_run_mode(morvane_handle handle) {
    if (handle == nullptr || handle->hand == nullptr) return false;
    try {
        return handle->hand->get_dry_run_mode();
    } catch (...) {
        return false;
    }
}

void morvane_set_rs485_shared_bus(morvane_handle handle, morvane_rs485_shared_bus_handle bus) {
    call_void(handle, [&](Morvane& m) { m.set_rs485_shared_bus(morvx::bus_of(bus)); });
}

int morvane_get_finger_sensor_pos(morvane_handle handle, int channel, float** x, float** y, int* count) {
    return morvx::get_array_pair(handle, &Morvane::get_finger_sensor_pos, channel, x, y, count);
}

int morvane_get_finger_pressure(morvane_handle handle, int channel, float** values, int* count) {
    return morvx::get_array(handle, &Morvane::get_finger_pressure, channel, values, count);
}

int morvane_get_finger_normal_force_ex(morvane_handle handle, int channel, float** values, int* count) {
    return morvx::get_array(handle, &Morvane::get_finger_normal_force_ex, channel, values, count);
}

int morvane_get_finger_tangential_force_ex(morvane_handle handle, int channel, float** values, int* count) {
    return morvx::get_array(handle, &Morvane::get_finger_tangential_force_ex, channel, values, count);
}

int morvane_get_finger_force_direction_ex(morvane_handle handle, int channel, float** values, int* count) {
    return morvx::get_array(handle, &Morvane::get_finger_force_direction_ex, channel, values, count);
}

int morvane_get_finger_proximity_ex(morvane_handle handle, int channel, float** values, int* count) {
    return morvx::get_array(handle, &Morvane::get_finger_proximity_ex, channel, values, count);
}

// ---- shared RS485 bus -----------------------------------------------------------

morvane_rs485_shared_bus_handle morvane_rs485_shared_bus_create(void) {
    try {
        return reinterpret_cast<morvane_rs485_shared_bus_handle>(new RS485SharedBus());
    } catch (...) {
        return nullptr;
    }
}

void morvane_rs485_shared_bus_destroy(morvane_rs485_shared_bus_handle bus) {
    try {
        delete morvx::bus_of(bus);
    } catch (...) {
    }
}

void morvane_rs485_shared_bus_set_send_callback(morvane_rs485_shared_bus_handle bus,
                                                bool (*fn)(const uint8_t*, unsigned)) {
    if (bus == nullptr) return;
    try {
        morvx::bus_of(bus)->set_send_callback(fn);
    } catch (...) {
    }
}

int morvane_rs485_shared_bus_set_receive_data(morvane_rs485_shared_bus_handle bus, const uint8_t* data, int len) {
    if (bus == nullptr) return morvx::kBadArgument;
    try {
        return morvx::bus_of(bus)->set_receive_data(data, len);
    } catch (...) {
        return morvx::kOutOfMemory;
    }
}

void morvane_rs485_shared_bus_close(morvane_rs485_shared_bus_handle bus) {
    if (bus == nullptr) return;
    try {
        morvx::bus_of(bus)->close();
    } catch (...) {
    }
}

// ---- methods forwarded as they are ------------------------------------------------

int morvane_initial(morvane_handle handle, int comm_type) {
    return call_int(handle, [&](Morvane& m) { return m.initial(comm_type); });
}

void morvane_close(morvane_handle handle) {
    call_void(handle, [&](Morvane& m) { m.close(); });
}

void morvane_start_monitor(morvane_handle handle) {
    call_void(handle, [&](Morvane& m) { m.start_monitor(); });
}

void morvane_stop_monitor(morvane_handle handle) {
    call_void(handle, [&](Morvane& m) { m.stop_monitor(); });
}

void morvane_set_dry_run_mode(morvane_handle handle, bool on) {
    call_void(handle, [&](Morvane& m) { m.set_dry_run_mode(on); });
}

void morvane_set_send_rpdo_callback(morvane_handle handle, bool (*fn)(const uint8_t*, unsigned)) {
    call_void(handle, [&](Morvane& m) { m.set_send_rpdo_callback(fn); });
}

int morvane_get_pre_send_rpdo_data(morvane_handle handle, uint8_t* buffer, int* length) {
    return call_int(handle, [&](Morvane& m) { return m.get_pre_send_rpdo_data(buffer, length); });
}

int morvane_set_tpdo_data_decode(morvane_handle handle, const uint8_t* data, int len) {
    return call_int(handle, [&](Morvane& m) { return m.set_tpdo_data_decode(data, len); });
}

void morvane_set_send_canfd_callback(morvane_handle handle, bool (*fn)(unsigned, const uint8_t*, unsigned, int)) {
    call_void(handle, [&](Morvane& m) { m.set_send_canfd_callback(fn); });
}

int morvane_get_pre_send_canfd_data(morvane_handle handle, uint8_t* buffer, int* length) {
    return call_int(handle, [&](Morvane& m) { return m.get_pre_send_canfd_data(buffer, length); });
}

int morvane_set_canfd_data_decode(morvane_handle handle, unsigned id, const uint8_t* data, int len) {
    return call_int(handle, [&](Morvane& m) { return m.set_canfd_data_decode(id, data, len); });
}

void morvane_set_send_rs485_callback(morvane_handle handle, bool (*fn)(const uint8_t*, unsigned)) {
    call_void(handle, [&](Morvane& m) { m.set_send_rs485_callback(fn); });
}

int morvane_get_pre_send_rs485_data(morvane_handle handle, uint8_t* buffer, int* length) {
    return call_int(handle, [&](Morvane& m) { return m.get_pre_send_rs485_data(buffer, length); });
}

int morvane_set_rs485_data_decode(morvane_handle handle, const uint8_t* data, int len) {
    return call_int(handle, [&](Morvane& m) { return m.set_rs485_data_decode(data, len); });
}

void morvane_set_send_can_callback(morvane_handle handle, bool (*fn)(unsigned, const uint8_t*, unsigned)) {
    call_void(handle, [&](Morvane& m) { m.set_send_can_callback(fn); });
}

int morvane_set_can_data_decode(morvane_handle handle, unsigned id, const uint8_t* data, int len) {
    return call_int(handle, [&](Morvane& m) { return m.set_can_data_decode(id, data, len); });
}

int morvane_get_pre_send_can_data(morvane_handle handle, uint8_t* buffer, int* length) {
    return call_int(handle, [&](Morvane& m) { return m.get_pre_send_can_data(buffer, length); });
}

int morvane_get_firmware_version(morvane_handle handle, float* version) {
    return call_int(handle, [&](Morvane& m) { return m.get_firmware_version(version); });
}

int morvane_get_serial_number(morvane_handle handle, char* buffer, int length) {
    return call_int(handle, [&](Morvane& m) { return m.get_serial_number(buffer, length); });
}

int morvane_get_dof(morvane_handle handle, int* total, int* active) {
    return call_int(handle, [&](Morvane& m) { return m.get_dof(total, active); });
}

int morvane_set_hand_type(morvane_handle handle, int hand_type) {
    return call_int(handle, [&](Morvane& m) { return m.set_hand_type(hand_type); });
}

int morvane_get_hand_type(morvane_handle handle, int* hand_type) {
    return call_int(handle, [&](Morvane& m) { return m.get_hand_type(hand_type); });
}

int morvane_set_hand_direction(morvane_handle handle, int direction) {
    return call_int(handle, [&](Morvane& m) { return m.set_hand_direction(direction); });
}

int morvane_get_hand_direction(morvane_handle handle, int* direction) {
    return call_int(handle, [&](Morvane& m) { return m.get_hand_direction(direction); });
}

int morvane_set_safe_current_enable(morvane_handle handle, int on) {
    return call_int(handle, [&](Morvane& m) { return m.set_safe_current_enable(on); });
}

int morvane_get_safe_current_enable(morvane_handle handle, int* on) {
    return call_int(handle, [&](Morvane& m) { return m.get_safe_current_enable(on); });
}

int morvane_set_home_current(morvane_handle handle, int current) {
    return call_int(handle, [&](Morvane& m) { return m.set_home_current(current); });
}

int morvane_get_home_current(morvane_handle handle, int* current) {
    return call_int(handle, [&](Morvane& m) { return m.get_home_current(current); });
}

int morvane_set_can_node_id(morvane_handle handle, int node_id) {
    return call_int(handle, [&](Morvane& m) { return m.set_can_node_id(node_id); });
}

int morvane_get_can_node_id(morvane_handle handle, int* node_id) {
    return call_int(handle, [&](Morvane& m) { return m.get_can_node_id(node_id); });
}

int morvane_set_canfd_arb_baudrate(morvane_handle handle, int baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.set_canfd_arb_baudrate(baudrate); });
}

int morvane_get_canfd_arb_baudrate(morvane_handle handle, int* baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.get_canfd_arb_baudrate(baudrate); });
}

int morvane_set_canfd_data_baudrate(morvane_handle handle, int baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.set_canfd_data_baudrate(baudrate); });
}

int morvane_get_canfd_data_baudrate(morvane_handle handle, int* baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.get_canfd_data_baudrate(baudrate); });
}

int morvane_set_rs485_node_id(morvane_handle handle, int node_id) {
    return call_int(handle, [&](Morvane& m) { return m.set_rs485_node_id(node_id); });
}

int morvane_get_rs485_node_id(morvane_handle handle, int* node_id) {
    return call_int(handle, [&](Morvane& m) { return m.get_rs485_node_id(node_id); });
}

int morvane_set_rs485_baudrate(morvane_handle handle, int baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.set_rs485_baudrate(baudrate); });
}

int morvane_get_rs485_baudrate(morvane_handle handle, int* baudrate) {
    return call_int(handle, [&](Morvane& m) { return m.get_rs485_baudrate(baudrate); });
}

int morvane_set_sdo_drive_param(morvane_handle handle, unsigned index, uint8_t sub_index, unsigned value) {
    return call_int(handle, [&](Morvane& m) { return m.set_sdo_drive_param(index, sub_index, value); });
}

int morvane_get_sdo_drive_param(morvane_handle handle, unsigned index, uint8_t sub_index, unsigned* value) {
    return call_int(handle, [&](Morvane& m) { return m.get_sdo_drive_param(index, sub_index, value); });
}

int morvane_save_sdo_drive_param(morvane_handle handle) {
    return call_int(handle, [&](Morvane& m) { return m.save_sdo_drive_param(); });
}

int morvane_set_control_mode(morvane_handle handle, int joint_id, int mode) {
    return call_int(handle, [&](Morvane& m) { return m.set_control_mode(joint_id, mode); });
}

int morvane_get_control_mode(morvane_handle handle, int joint_id, int* mode) {
    return call_int(handle, [&](Morvane& m) { return m.get_control_mode(joint_id, mode); });
}

int morvane_set_enable(morvane_handle handle, int joint_id, int on) {
    return call_int(handle, [&](Morvane& m) { return m.set_enable(joint_id, on); });
}

int morvane_get_enable(morvane_handle handle, int joint_id, int* on) {
    return call_int(handle, [&](Morvane& m) { return m.get_enable(joint_id, on); });
}

int morvane_get_position_reached(morvane_handle handle, int joint_id, int* reached) {
    return call_int(handle, [&](Morvane& m) { return m.get_position_reached(joint_id, reached); });
}

int morvane_get_torque_reached(morvane_handle handle, int joint_id, int* reached) {
    return call_int(handle, [&](Morvane& m) { return m.get_torque_reached(joint_id, reached); });
}

int morvane_set_clear_alarm(morvane_handle handle, int joint_id) {
    return call_int(handle, [&](Morvane& m) { return m.set_clear_alarm(joint_id); });
}

int morvane_get_now_alarm(morvane_handle handle, int joint_id, int* alarm) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_alarm(joint_id, alarm); });
}

int morvane_set_move_no_home(morvane_handle handle, int on) {
    return call_int(handle, [&](Morvane& m) { return m.set_move_no_home(on); });
}

int morvane_set_angle_conversion_enable(morvane_handle handle, int on) {
    return call_int(handle, [&](Morvane& m) { return m.set_angle_conversion_enable(on); });
}

int morvane_get_angle_conversion_enable(morvane_handle handle, int* on) {
    return call_int(handle, [&](Morvane& m) { return m.get_angle_conversion_enable(on); });
}

int morvane_home_motors(morvane_handle handle, int joint_id) {
    return call_int(handle, [&](Morvane& m) { return m.home_motors(joint_id); });
}

int morvane_get_limit_target_angle(morvane_handle handle, int joint_id, float* min_angle, float* max_angle) {
    return call_int(handle, [&](Morvane& m) { return m.get_limit_target_angle(joint_id, min_angle, max_angle); });
}

int morvane_move_motors(morvane_handle handle, int joint_id) {
    return call_int(handle, [&](Morvane& m) { return m.move_motors(joint_id); });
}

int morvane_stop_motors(morvane_handle handle, int joint_id) {
    return call_int(handle, [&](Morvane& m) { return m.stop_motors(joint_id); });
}

int morvane_play_gesture(morvane_handle handle, int gesture, int arg1, int arg2) {
    return call_int(handle, [&](Morvane& m) { return m.play_gesture(gesture, arg1, arg2); });
}

int morvane_get_now_status(morvane_handle handle, int joint_id, int* status) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_status(joint_id, status); });
}

int morvane_sync_position_to_target(morvane_handle handle, int joint_id) {
    return call_int(handle, [&](Morvane& m) { return m.sync_position_to_target(joint_id); });
}

int morvane_set_target_angle(morvane_handle handle, int joint_id, float angle) {
    return call_int(handle, [&](Morvane& m) { return m.set_target_angle(joint_id, angle); });
}

int morvane_get_target_angle(morvane_handle handle, int joint_id, float* angle) {
    return call_int(handle, [&](Morvane& m) { return m.get_target_angle(joint_id, angle); });
}

int morvane_set_target_position(morvane_handle handle, int joint_id, int position) {
    return call_int(handle, [&](Morvane& m) { return m.set_target_position(joint_id, position); });
}

int morvane_get_target_position(morvane_handle handle, int joint_id, int* position) {
    return call_int(handle, [&](Morvane& m) { return m.get_target_position(joint_id, position); });
}

int morvane_set_velocity(morvane_handle handle, int joint_id, float velocity) {
    return call_int(handle, [&](Morvane& m) { return m.set_velocity(joint_id, velocity); });
}

int morvane_get_velocity(morvane_handle handle, int joint_id, float* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_velocity(joint_id, velocity); });
}

int morvane_set_angular_velocity(morvane_handle handle, int joint_id, float velocity) {
    return call_int(handle, [&](Morvane& m) { return m.set_angular_velocity(joint_id, velocity); });
}

int morvane_get_angular_velocity(morvane_handle handle, int joint_id, float* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_angular_velocity(joint_id, velocity); });
}

int morvane_set_position_velocity(morvane_handle handle, int joint_id, int velocity) {
    return call_int(handle, [&](Morvane& m) { return m.set_position_velocity(joint_id, velocity); });
}

int morvane_get_position_velocity(morvane_handle handle, int joint_id, int* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_position_velocity(joint_id, velocity); });
}

int morvane_set_max_current(morvane_handle handle, int joint_id, int current) {
    return call_int(handle, [&](Morvane& m) { return m.set_max_current(joint_id, current); });
}

int morvane_get_max_current(morvane_handle handle, int joint_id, int* current) {
    return call_int(handle, [&](Morvane& m) { return m.get_max_current(joint_id, current); });
}

int morvane_get_now_angle(morvane_handle handle, int joint_id, float* angle) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_angle(joint_id, angle); });
}

int morvane_get_now_position(morvane_handle handle, int joint_id, int* position) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_position(joint_id, position); });
}

int morvane_get_now_velocity(morvane_handle handle, int joint_id, float* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_velocity(joint_id, velocity); });
}

int morvane_get_now_angular_velocity(morvane_handle handle, int joint_id, float* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_angular_velocity(joint_id, velocity); });
}

int morvane_get_now_position_velocity(morvane_handle handle, int joint_id, int* velocity) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_position_velocity(joint_id, velocity); });
}

int morvane_get_now_current(morvane_handle handle, int joint_id, int* current) {
    return call_int(handle, [&](Morvane& m) { return m.get_now_current(joint_id, current); });
}

int morvane_set_sensor_enable(morvane_handle handle, int on) {
    return call_int(handle, [&](Morvane& m) { return m.set_sensor_enable(on); });
}

int morvane_set_sensor_data_format(morvane_handle handle, int format) {
    return call_int(handle, [&](Morvane& m) { return m.set_sensor_data_format(format); });
}

int morvane_set_sensor_order(morvane_handle handle, const int* order, int count) {
    return call_int(handle, [&](Morvane& m) { return m.set_sensor_order(order, count); });
}

int morvane_set_finger_pressure_reset(morvane_handle handle) {
    return call_int(handle, [&](Morvane& m) { return m.set_finger_pressure_reset(); });
}

int morvane_get_finger_normal_force(morvane_handle handle, int channel, float* value) {
    return call_int(handle, [&](Morvane& m) { return m.get_finger_normal_force(channel, value); });
}

int morvane_get_finger_tangential_force(morvane_handle handle, int channel, float* value) {
    return call_int(handle, [&](Morvane& m) { return m.get_finger_tangential_force(channel, value); });
}

int morvane_get_finger_force_direction(morvane_handle handle, int channel, float* value) {
    return call_int(handle, [&](Morvane& m) { return m.get_finger_force_direction(channel, value); });
}

int morvane_get_finger_proximity(morvane_handle handle, int channel, float* value) {
    return call_int(handle, [&](Morvane& m) { return m.get_finger_proximity(channel, value); });
}

void morvane_log_on(morvane_handle handle, bool on, int save_count) {
    call_void(handle, [&](Morvane& m) { m.log_on(on, save_count); });
}

int morvane_log_send(morvane_handle handle, int* codes, int count) {
    return call_int(handle, [&](Morvane& m) { return m.log_send(codes, count); });
}

int morvane_log_recv(morvane_handle handle, int* codes, int count) {
    return call_int(handle, [&](Morvane& m) { return m.log_recv(codes, count); });
}

void morvane_log_reset(morvane_handle handle, bool send_filter, bool recv_filter) {
    call_void(handle, [&](Morvane& m) { m.log_reset(send_filter, recv_filter); });
}

int morvane_log_save(morvane_handle handle, const char* path) {
    return call_int(handle, [&](Morvane& m) { return m.log_save(path); });
}

void morvane_log_clear(morvane_handle handle) {
    call_void(handle, [&](Morvane& m) { m.log_clear(); });
}

void morvane_set_log_callback(morvane_handle handle, void (*fn)(const char*)) {
    call_void(handle, [&](Morvane& m) { m.set_log_callback(fn); });
}
}  // extern "C"
