// Per-joint status and alarm getters, the pause between requests to the
// hand, and the tactile report switch.
#include <chrono>
#include <thread>

#include "hand_core.h"
#include "hand_ops.h"
#include "value_rules.h"

namespace morvx {

namespace {

// Status byte: bit 0 enabled, 1 position reached, 3 torque reached, 4 homed,
// bits 5..7 the run status.
constexpr unsigned kBitEnabled = 0;
constexpr unsigned kBitPositionReached = 1;
constexpr unsigned kBitTorqueReached = 3;
constexpr unsigned kBitHomed = 4;
constexpr int kRunStatusAlarm = 2;
// A joint in alarm whose alarm byte is still 0 reports this code, so that an
// alarm never reads as "no alarm".
constexpr int kUnknownAlarmCode = 9;

int run_status(uint8_t status) { return (status >> 5) & 7; }

// One read of the joint's published status byte, so the bits of one call
// belong to one report.
int read_status_bit(const HandCore& h, int joint_id, int* value, unsigned bit) {
    if (value == nullptr || !single_joint_ok(h, joint_id)) return kBadArgument;
    *value = bit_test(h.status_byte.read(static_cast<std::size_t>(joint_id - 1)), bit);
    return kOk;
}

}  // namespace

void inter_command_delay(const HandCore& h) {
    // The hand's controller needs time between requests (see BusProfile).
    const BusProfile* bus = bus_profile(h.bus_kind.load(std::memory_order_relaxed));
    const int delay_ms = bus ? bus->pause_ms : kDefaultPauseMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
}

int get_now_status(const HandCore& h, int joint_id, int* status) {
    if (status == nullptr || !single_joint_ok(h, joint_id)) return kBadArgument;
    *status = run_status(h.status_byte.read(static_cast<std::size_t>(joint_id - 1)));
    return kOk;
}

int get_alarm_code(const HandCore& h, int joint_id, int* alarm) {
    if (alarm == nullptr || !single_joint_ok(h, joint_id)) return kBadArgument;
    const std::size_t slot = static_cast<std::size_t>(joint_id - 1);
    if (run_status(h.status_byte.read(slot)) != kRunStatusAlarm) {
        *alarm = 0;
        return kOk;
    }
    const int code = h.alarm_byte.read(slot);
    *alarm = code == 0 ? kUnknownAlarmCode : code;
    return kOk;
}

int get_enable(const HandCore& h, int joint_id, int* value) {
    return read_status_bit(h, joint_id, value, kBitEnabled);
}

int get_position_reached(const HandCore& h, int joint_id, int* value) {
    return read_status_bit(h, joint_id, value, kBitPositionReached);
}

int get_torque_reached(const HandCore& h, int joint_id, int* value) {
    return read_status_bit(h, joint_id, value, kBitTorqueReached);
}

int get_homed(const HandCore& h, int joint_id, int* value) {
    return read_status_bit(h, joint_id, value, kBitHomed);
}

int set_sensor_enable(HandCore& h, int on) {
    // The 16-joint hand reports no tactile blocks.
    if (h.hand_type.load(std::memory_order_relaxed) == 2) return kBadArgument;
    h.sensor_enable.store(on == 1);
    const int rc = send_report_selection(h);
    inter_command_delay(h);
    return rc;
}

}  // namespace morvx
