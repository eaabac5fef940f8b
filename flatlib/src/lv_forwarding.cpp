// The flat functions that forward to the open hand: each takes the instance
// lock, calls the hand library's function of the same name with the hand
// first and its own arguments unchanged, and returns that result; 2 when no
// hand is open.
#include <mutex>

#include "lv_instance.h"
#include "morvane/morvane_c.h"
#include "morvane_lv/morvane_lv.h"

using lv::LvInstance;

namespace {

// The open hand, or null; the caller holds instance_lock.
morvane_handle open_hand() {
  LvInstance* inst = lv::current_instance();
  return inst ? inst->hand : nullptr;
}

}  // namespace

#define LV_FORWARD(name, params, ...)                                        \
  extern "C" LV_API int lv_##name params {                                    \
    std::lock_guard<std::recursive_mutex> lock(lv::instance_lock());          \
    morvane_handle h = open_hand();                                           \
    if (!h) return lv::kLvNoInstance;                                         \
    return morvane_##name(h, ##__VA_ARGS__);                                  \
  }

#define LV_FORWARD_VOID(name, params, ...)                                   \
  extern "C" LV_API void lv_##name params {                                   \
    std::lock_guard<std::recursive_mutex> lock(lv::instance_lock());          \
    morvane_handle h = open_hand();                                           \
    if (!h) return;                                                           \
    morvane_##name(h, ##__VA_ARGS__);                                         \
  }

// (int joint, float* value)
LV_FORWARD(get_angular_velocity, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_now_angle, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_now_angular_velocity, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_now_velocity, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_target_angle, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_velocity, (int joint_id, float* value), joint_id, value)
LV_FORWARD(get_finger_force_direction, (int channel, float* value), channel, value)
LV_FORWARD(get_finger_normal_force, (int channel, float* value), channel, value)
LV_FORWARD(get_finger_proximity, (int channel, float* value), channel, value)
LV_FORWARD(get_finger_tangential_force, (int channel, float* value), channel, value)

// (int joint, int* value)
LV_FORWARD(get_control_mode, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_enable, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_max_current, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_now_alarm, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_now_current, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_now_position, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_now_position_velocity, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_now_status, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_position_reached, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_position_velocity, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_target_position, (int joint_id, int* value), joint_id, value)
LV_FORWARD(get_torque_reached, (int joint_id, int* value), joint_id, value)

// Hand-wide values
LV_FORWARD(get_hand_direction, (int* value), value)
LV_FORWARD(get_hand_type, (int* value), value)
LV_FORWARD(get_home_current, (int* value), value)
LV_FORWARD(get_safe_current_enable, (int* value), value)
LV_FORWARD(get_firmware_version, (float* version), version)
LV_FORWARD(get_dof, (int* total, int* active), total, active)
LV_FORWARD(get_limit_target_angle, (int joint_id, float* min_deg, float* max_deg), joint_id, min_deg, max_deg)

// Tactile arrays, allocated by the hand library
LV_FORWARD(get_finger_force_direction_ex, (int channel, float** values, int* count), channel, values, count)
LV_FORWARD(get_finger_normal_force_ex, (int channel, float** values, int* count), channel, values, count)
LV_FORWARD(get_finger_pressure, (int channel, float** values, int* count), channel, values, count)
LV_FORWARD(get_finger_proximity_ex, (int channel, float** values, int* count), channel, values, count)
LV_FORWARD(get_finger_tangential_force_ex, (int channel, float** values, int* count), channel, values, count)
LV_FORWARD(get_finger_sensor_pos, (int channel, float** x, float** y, int* count), channel, x, y, count)

// (int joint) or (int value)
LV_FORWARD(home_motors, (int joint_id), joint_id)
LV_FORWARD(move_motors, (int joint_id), joint_id)
LV_FORWARD(stop_motors, (int joint_id), joint_id)
LV_FORWARD(sync_position_to_target, (int joint_id), joint_id)
LV_FORWARD(set_clear_alarm, (int joint_id), joint_id)
LV_FORWARD(set_hand_direction, (int value), value)
LV_FORWARD(set_hand_type, (int value), value)
LV_FORWARD(set_home_current, (int value), value)
LV_FORWARD(set_move_no_home, (int value), value)
LV_FORWARD(set_safe_current_enable, (int value), value)
LV_FORWARD(set_sensor_data_format, (int value), value)
LV_FORWARD(set_sensor_enable, (int value), value)

// (int joint, int value) and (int joint, float value)
LV_FORWARD(set_control_mode, (int joint_id, int value), joint_id, value)
LV_FORWARD(set_enable, (int joint_id, int value), joint_id, value)
LV_FORWARD(set_max_current, (int joint_id, int value), joint_id, value)
LV_FORWARD(set_position_velocity, (int joint_id, int value), joint_id, value)
LV_FORWARD(set_target_position, (int joint_id, int value), joint_id, value)
LV_FORWARD(set_angular_velocity, (int joint_id, float value), joint_id, value)
LV_FORWARD(set_target_angle, (int joint_id, float value), joint_id, value)
LV_FORWARD(set_velocity, (int joint_id, float value), joint_id, value)

// Others
LV_FORWARD(set_finger_pressure_reset, (void))
LV_FORWARD(play_gesture, (int gesture, int a, int b), gesture, a, b)
LV_FORWARD(set_sensor_order, (const int* order, int count), order, count)
LV_FORWARD(log_send, (int* codes, int count), codes, count)
LV_FORWARD(log_recv, (int* codes, int count), codes, count)
LV_FORWARD(log_save, (const char* path), path)

// Without a result
LV_FORWARD_VOID(log_clear, (void))
LV_FORWARD_VOID(start_monitor, (void))
LV_FORWARD_VOID(stop_monitor, (void))
LV_FORWARD_VOID(log_on, (int on, int count), on != 0, count)
LV_FORWARD_VOID(log_reset, (int send, int recv), send != 0, recv != 0)
