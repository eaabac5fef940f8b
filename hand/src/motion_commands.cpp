// Motion operations (home, move, stop, gesture), the mode-table commands
// (control mode, home options, enable, clear alarm, pressure reset), the
// state-6 guard, the homed check, and the dispatchers that send one request
// type on the hand's bus. All run on the caller's thread; the waits block it.
#include <algorithm>
#include <chrono>
#include <thread>

#include "frame_bodies.h"
#include "hand_ops.h"
#include "value_rules.h"
#include "wire_map.h"

namespace morvx {

namespace {

constexpr int kGestureCount = 34;
constexpr int kStateStopAll = 6;
constexpr uint8_t kCommandEnable = 1;
constexpr uint8_t kCommandDisable = 2;
constexpr uint8_t kCommandClearAlarm = 3;
constexpr uint8_t kPressureResetCommand = 11;
constexpr auto kStopStepSpacing = std::chrono::milliseconds(100);

// Builds one request type on whichever bus the hand is on; a bus that does
// not carry the type, or no bus, sends nothing.
int dispatch(HandCore& h, int request_type) {
    return build_request(h, bus_profile(h.bus_kind.load()), request_type);
}

// Mode and command bytes for one joint, or all 27 slots for joint 0.
void set_mode_bytes(HandCore& h, int joint_id, uint8_t mode, uint8_t command) {
    for_mode_slots(joint_id, [&](int i) {
        h.joint_mode[i] = mode;
        h.joint_command[i] = command;
    });
}

// A neutral mode command, the pause, then the real command byte.
int send_two_step_command(HandCore& h, int joint_id, uint8_t command) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    set_mode_bytes(h, joint_id, 0, 0);
    const int rc = send_mode_commands(h);
    if (rc != kOk) return rc;
    inter_command_delay(h);
    set_mode_bytes(h, joint_id, 0, command);
    return send_mode_commands(h);
}

}  // namespace

int send_report_selection(HandCore& h) {
    const int result = dispatch(h, kReportSelection);
    inter_command_delay(h);
    return result;
}

int send_mode_commands(HandCore& h) { return dispatch(h, kModeCommand); }

int send_motion(HandCore& h) { return dispatch(h, kMotion); }

int send_gesture(HandCore& h) { return dispatch(h, kGesture); }

int send_param_request(HandCore& h, int kind, uint16_t index, uint8_t sub_index, uint16_t value) {
    const int32_t bus = h.bus_kind.load();
    if (!carries_params(bus)) return kOk;
    if (kind < 0 || kind > 3) return kBadArgument;
    const std::array<uint8_t, 8> request = build_param_request(kind, index, sub_index, value);
    h.frame_log.log_frame(request.data(), request.size(), true);
    if (bus == kBusCanfd) {
        h.last_canfd.assign(request.begin(), request.end());
        send_canfd(h, static_cast<unsigned>(h.canfd_node_id) + kCanfdParamIdOffset, h.last_canfd, 0);
    } else {
        h.last_rs485.assign(request.begin(), request.end());
        submit_rs485_payload(h, kRs485ParamFunction, static_cast<uint8_t>(h.rs485_node_id), h.last_rs485);
    }
    return kOk;
}

int send_ota_request(HandCore& h) {
    const int32_t bus = h.bus_kind.load();
    if (!carries_params(bus)) return kOk;
    // OTA data keeps its own buffer: the command pre-send buffers stay as they were.
    std::vector<uint8_t> data = h.ota_data;
    h.frame_log.log_frame(data.data(), data.size(), true);
    if (bus == kBusCanfd) {
        // The only frames with an extended (29-bit) identifier.
        send_canfd(h, static_cast<unsigned>(h.canfd_node_id) + kCanfdOtaIdOffset, data, 1);
    } else {
        submit_rs485_payload(h, kRs485OtaFunction, static_cast<uint8_t>(h.rs485_node_id), data);
    }
    return kOk;
}

int check_state_and_stop(HandCore& h) {
    const int n = active_joint_count(h);
    for (int joint = 1; joint <= n; ++joint) {
        int state = 0;
        const int r = get_now_status(h, joint, &state);
        if (r != kOk) return r;
        if (state == kStateStopAll) {
            stop_step_2(h, 0);
            inter_command_delay(h);
            break;
        }
    }
    return kOk;
}

int check_homed(HandCore& h, int joint_id) {
    if (h.dry_run.load() || h.move_no_home.load()) return kOk;
    if (joint_id != 0) {
        int homed = 0;
        const int r = get_homed(h, joint_id, &homed);
        if (r != kOk) return r;
        return homed == 1 ? kOk : kNotHomed;
    }
    const int n = active_joint_count(h);
    for (int joint = 1; joint <= n; ++joint) {
        int homed = 0;
        const int r = get_homed(h, joint, &homed);
        if (r != kOk) return r;
        if (homed != 1) return kNotHomed;
    }
    return kOk;
}

int home(HandCore& h, int joint_id) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    set_mode_bytes(h, joint_id, 5, 0);
    int r = send_mode_commands(h);
    if (r != kOk) return r;
    inter_command_delay(h);
    set_target_position(h, joint_id, 0);
    set_mode_bytes(h, joint_id, 5, 4);
    return send_mode_commands(h);
}

int move(HandCore& h, int joint_id) {
    check_state_and_stop(h);
    const int r = check_homed(h, joint_id);
    if (r == kOk) return send_motion(h);
    // A refused move leaves the addressed targets at 0 (within range), so a
    // later move without a new target does not jump to the old one.
    set_target_position(h, joint_id, 0);
    return r;
}

int move_motors(HandCore& h, int joint_id) {
    // A joint left in a control mode would ignore the motion request; put
    // every slot back to mode 0 first, but only when one is not there yet.
    bool any_mode = false;
    for (uint8_t m : h.joint_mode) any_mode = any_mode || m != 0;
    if (any_mode) {
        h.joint_mode.fill(0);
        h.joint_command.fill(0);
        const int rc = send_mode_commands(h);
        if (rc != kOk) return rc;
        inter_command_delay(h);
    }
    return move(h, joint_id);
}

int stop_step_1(HandCore& h, int joint_id) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    set_mode_bytes(h, joint_id, 0, 7);
    return send_mode_commands(h);
}

int stop_step_2(HandCore& h, int joint_id) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    set_mode_bytes(h, joint_id, 0, 8);
    return send_mode_commands(h);
}

int stop_motors(HandCore& h, int joint_id) {
    const int rc = stop_step_1(h, joint_id);
    if (rc != kOk) return rc;
    std::this_thread::sleep_for(kStopStepSpacing);
    return stop_step_2(h, joint_id);
}

int set_control_mode(HandCore& h, int joint_id, int mode) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    for_mode_slots(joint_id, [&](int i) { h.joint_mode[i] = static_cast<uint8_t>(mode); });
    return send_mode_commands(h);
}

int set_home_mode(HandCore& h, int joint_id, int option_a, int option_b) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    // Nothing is sent: the options go out with the next mode command.
    for_mode_slots(joint_id, [&](int i) {
        h.home_option_a[i] = static_cast<uint8_t>(option_a);
        h.home_option_b[i] = static_cast<uint8_t>(option_b);
    });
    return kOk;
}

int set_enable(HandCore& h, int joint_id, int on) {
    return send_two_step_command(h, joint_id, on > 0 ? kCommandEnable : kCommandDisable);
}

int clear_alarm(HandCore& h, int joint_id) { return send_two_step_command(h, joint_id, kCommandClearAlarm); }

// The hand zeroes its pressure baseline on command 11 to all joints, framed by
// two neutral requests. A failed step leaves the per-joint bytes neutral so no
// later mode request repeats the reset.
int set_finger_pressure_reset(HandCore& h) {
    set_mode_bytes(h, 0, 0, 0);
    int result = send_mode_commands(h);
    if (result != kOk) return result;

    inter_command_delay(h);
    set_mode_bytes(h, 0, 0, kPressureResetCommand);
    result = send_mode_commands(h);
    if (result != kOk) {
        set_mode_bytes(h, 0, 0, 0);
        return result;
    }

    inter_command_delay(h);
    set_mode_bytes(h, 0, 0, 0);
    return send_mode_commands(h);
}

int play_gesture(HandCore& h, int gesture, int arg1, int arg2) {
    if (gesture < 0 || gesture >= kGestureCount) return kBadArgument;
    h.gesture_number = static_cast<uint16_t>(gesture);
    h.gesture_arg1 = arg1;
    h.gesture_arg2 = arg2;
    return send_gesture(h);
}

}  // namespace morvx
