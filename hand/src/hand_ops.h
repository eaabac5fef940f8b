// Internal operations of the hand object, shared between the units of the
// library. Each group lives in the .cpp named beside it. All int results are
// ResultCode values (hand_core.h).
#ifndef MORVANE_HAND_OPS_H
#define MORVANE_HAND_OPS_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "hand_core.h"
#include "protocol_helpers.h"
#include "rs485_framing.h"

namespace morvx {

// ---- lifecycle (hand_lifecycle.cpp) ------------------------------------------
int initial(HandCore& h, int comm_type);
int initial(HandCore& h, int comm_type, unsigned node_id);
int identify_device(HandCore& h);
int read_identity(HandCore& h);
int get_serial_number(const HandCore& h, char* buffer, int length);  // device_identity.cpp
int attach_rs485(HandCore& h);
void detach_rs485(HandCore& h);
void set_rs485_send_function(HandCore& h);  // installs the active RS485 callable in a private context
void set_rs485_shared_bus(HandCore& h, RS485SharedBus* bus);
// Classic CAN send function: the hand's own copy of fn, or the caller's
// callable; installed with the monitor paused.
void set_can_send_function(HandCore& h, bool (*fn)(unsigned, const uint8_t*, unsigned));
void set_can_send_callable(HandCore& h, send_can_callback* callable);

// ---- joint model (joint_model.cpp) ------------------------------------------
int set_hand_type(HandCore& h, int type);
int set_target_angle(HandCore& h, int joint_id, float degrees);
int set_target_position(HandCore& h, int joint_id, int position);
int set_angular_velocity(HandCore& h, int joint_id, float degrees_per_second);
int set_position_velocity(HandCore& h, int joint_id, int units_per_second);
int set_max_current(HandCore& h, int joint_id, int current);
int sync_position_to_target(HandCore& h, int joint_id);
int set_angle_conversion_enable(HandCore& h, int on);
int get_angle_conversion_enable(HandCore& h, int* out);
int32_t angle_to_position(const HandCore& h, int slot, float angle);
float position_to_angle(const HandCore& h, int slot, int32_t position);
float velocity_unit(const HandCore& h, int slot);
struct AngleLimits {
    float min_angle;
    float max_angle;
};
std::pair<int32_t, int32_t> coupled_to_servo(float first, float second, AngleLimits a, AngleLimits b);
std::pair<float, float> coupled_from_servo(int32_t a, int32_t b, AngleLimits la, AngleLimits lb);
void refresh_measured(HandCore& h);

// ---- joint status and device settings (joint_status.cpp, device_settings.cpp)
void inter_command_delay(const HandCore& h);
int get_now_status(const HandCore& h, int joint_id, int* status);
int get_alarm_code(const HandCore& h, int joint_id, int* alarm);
int get_enable(const HandCore& h, int joint_id, int* value);
int get_position_reached(const HandCore& h, int joint_id, int* value);
int get_torque_reached(const HandCore& h, int joint_id, int* value);
int get_homed(const HandCore& h, int joint_id, int* value);
int set_sensor_enable(HandCore& h, int on);
int set_safe_current_enable(HandCore& h, int on);
int get_safe_current_enable(HandCore& h, int* on);
int set_home_current(HandCore& h, int value);
int get_home_current(HandCore& h, int* value);
int set_can_node_id(HandCore& h, int value);
int get_can_node_id(HandCore& h, int* value);
int set_canfd_arb_baudrate(HandCore& h, int value);
int get_canfd_arb_baudrate(HandCore& h, int* value);
int set_canfd_data_baudrate(HandCore& h, int value);
int get_canfd_data_baudrate(HandCore& h, int* value);
int set_rs485_node_id(HandCore& h, int value);
int get_rs485_node_id(HandCore& h, int* value);
int set_rs485_baudrate(HandCore& h, int value);
int get_rs485_baudrate(HandCore& h, int* value);

// ---- frame encoders and send paths (frame_encoders.cpp, send_paths.cpp) ------
// Requests are dispatched through the bus profile (bus_profile.h); each of
// these runs one bus's encoder on its own and builds nothing unless the hand
// is on that bus.
int build_rpdo_request(HandCore& h, int request_type);
int build_canfd_request(HandCore& h, int request_type);
int build_rs485_request(HandCore& h, int request_type);
int build_can_request(HandCore& h, int request_type);
int send_servo_command(HandCore& h, int node_id, int position, int speed, int current);
void send_rpdo(HandCore& h, const std::vector<uint8_t>& buffer);
void send_canfd(HandCore& h, unsigned id, const std::vector<uint8_t>& buffer, int flag);
void send_can(HandCore& h, unsigned id, const std::vector<uint8_t>& buffer);
void send_can(HandCore& h, unsigned id, const uint8_t* data, std::size_t len);
// Queues one RS485 frame on the hand's bus context (or a one-off context) and
// waits for its transmission; keeps the wire frame for the pre-send getter.
bool submit_rs485_payload(HandCore& h, uint16_t function_code, uint8_t node_id, std::vector<uint8_t>& buffer);
// Poll provider called by the RS485 bus worker with the endpoint's mutex held.
bool provide_rs485_poll(HandCore& h, uint16_t& function_code, std::vector<uint8_t>& payload);
// Pre-send contract over the bytes last built for one bus.
int copy_pre_send(const std::vector<uint8_t>& kept, uint8_t* buffer, int* length);
// The same over the classic CAN buffer, which the monitor thread appends to
// in dry run: takes the buffer's lock.
int copy_pre_send_can(HandCore& h, uint8_t* buffer, int* length);

// ---- reply decoders (reply_decoders.cpp) ------------------------------------
int decode_tpdo(HandCore& h, ByteView image);
int decode_canfd(HandCore& h, unsigned id, ByteView payload);
int decode_rs485(HandCore& h, ByteView bytes);
// One RS485 wire frame from anywhere: rejected (8) unless intact; a frame of
// another node id is logged and not decoded.
int handle_rs485_frame(HandCore& h, ByteView frame);
// One reply the bus context cut (intact) and routed to this hand by its node
// id, called by the context's dispatch with the endpoint's mutex held; ours
// false only logs it.
int handle_rs485_reply(HandCore& h, const RS485Reply& reply, bool ours);
int decode_status_reply(HandCore& h, ByteView payload);
int decode_can(HandCore& h, unsigned id, const uint8_t* data, int len);
void refresh_can_positions(HandCore& h);

// ---- motion commands (motion_commands.cpp) ---------------------------------
int send_report_selection(HandCore& h);
int send_mode_commands(HandCore& h);
int send_motion(HandCore& h);
int send_gesture(HandCore& h);
int send_param_request(HandCore& h, int kind, uint16_t index, uint8_t sub_index, uint16_t value);
int send_ota_request(HandCore& h);
int check_state_and_stop(HandCore& h);
int check_homed(HandCore& h, int joint_id);
int home(HandCore& h, int joint_id);
int move(HandCore& h, int joint_id);
int move_motors(HandCore& h, int joint_id);  // mode 0 first when a joint is in a control mode, then move
int stop_step_1(HandCore& h, int joint_id);
int stop_step_2(HandCore& h, int joint_id);
int stop_motors(HandCore& h, int joint_id);  // step 1, 100 ms, step 2
int set_control_mode(HandCore& h, int joint_id, int mode);
int set_home_mode(HandCore& h, int joint_id, int option_a, int option_b);
int set_enable(HandCore& h, int joint_id, int on);
int clear_alarm(HandCore& h, int joint_id);
int set_finger_pressure_reset(HandCore& h);
int play_gesture(HandCore& h, int gesture, int arg1, int arg2);

// ---- drive parameters and OTA (drive_params.cpp) ----------------------------
int set_sdo_drive_param(HandCore& h, unsigned index, uint8_t sub_index, unsigned value);
int get_sdo_drive_param(HandCore& h, unsigned index, uint8_t sub_index, unsigned* value);
int save_sdo_drive_param(HandCore& h);
// A parameter reply (first 6 bytes used): completes the matching pending read
// and applies identification effects.
int handle_param_reply(HandCore& h, ByteView reply);
int set_ota_send_data(HandCore& h, const uint8_t* data, unsigned len);
int get_ota_recv_data(HandCore& h, uint8_t* buffer, int* length);
// An OTA reply body: queued for get_ota_recv_data (at most 32).
int queue_ota_reply(HandCore& h, ByteView reply);

// ---- tactile channels (tactile_channels.cpp, sensor_geometry.cpp) -----------
using SensorLayout = std::vector<std::pair<float, float>>;
const SensorLayout& select_sensor_layout(int hand_type, int channel, int direction);
SensorLayout mirror_layout(const SensorLayout& layout);
// A block format per channel number (entries other than 1..11 are 0).
using ChannelFormats = std::array<uint8_t, kJointSlots>;
ChannelFormats default_channel_formats(int hand_type);
// Rebuilds every channel with its layout and zero readings. With formats,
// they become the channels' formats inside the same rebuild: no block is
// decoded with a format in a layout it does not go with.
void build_sensor_channels(HandCore& h);
void build_sensor_channels(HandCore& h, const ChannelFormats& formats);
void rebuild_sensor_channel(HandCore& h, int channel);
// Write protocol for one block: item is the block's index in the report,
// first_item the report's first item number; avail the bytes of the received
// frame from block on (decoding never reads past them).
void decode_tactile_block(HandCore& h, int first_item, int item, const uint8_t* block, std::size_t avail);
SensorChannel read_sensor_channel(const HandCore& h, int channel);
int set_hand_direction(HandCore& h, int direction);
int set_sensor_data_format(HandCore& h, int format);
int set_sensor_order(HandCore& h, const int* order, int count);
int get_finger_sensor_pos(const HandCore& h, int channel, float* x, float* y, int* count);
int get_finger_pressure(const HandCore& h, int channel, float* values, int* count);
int get_finger_normal_force(const HandCore& h, int channel, float* value);
int get_finger_normal_force_ex(const HandCore& h, int channel, float* values, int* count);
int get_finger_tangential_force(const HandCore& h, int channel, float* value);
int get_finger_tangential_force_ex(const HandCore& h, int channel, float* values, int* count);
int get_finger_force_direction(const HandCore& h, int channel, float* value);
int get_finger_force_direction_ex(const HandCore& h, int channel, float* values, int* count);
int get_finger_proximity(const HandCore& h, int channel, float* value);
int get_finger_proximity_ex(const HandCore& h, int channel, float* values, int* count);

// ---- monitor thread (monitor.cpp) -------------------------------------------
void start_monitor(HandCore& h);
void stop_monitor(HandCore& h);

}  // namespace morvx

#endif  // MORVANE_HAND_OPS_H
