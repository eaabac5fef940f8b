// Class interface of the hand-control library.
//
// One morvx::Morvane object models one hand. The caller owns the bus: it
// registers a send function for its bus, calls initial(), feeds every frame
// that arrives into the matching *_decode method, and reads the hand model
// through the getters.
//
// Threads: setters, commands and lifecycle calls on one object are made one
// at a time by the caller. Getters of published values (targets, measured
// values, status) may run on any thread at any time and never block. Decode
// entry points run on the transport's receive thread.
//
// Result codes (int): 0 success, 1 bad argument, 2 no RS485 bus context,
// 3 malformed parameter reply, 4 no tactile data yet, 5 RS485 bus closed,
// 7 parameter read timed out or OTA reply queue full, 8 frame rejected,
// 9 log file already exists, 10 log file not writable, 11 move refused because
// a joint is not homed. There is no code 6.
//
// This header compiles as C++11.
#ifndef MORVANE_MORVANE_H
#define MORVANE_MORVANE_H

#include <cstdint>
#include <functional>

#include "morvane/export.h"

namespace morvx {

// Callables behind the *_callback_ex setters. Each send function returns true
// when it handed the frame to the bus.
//   EtherCAT RxPDO images and RS485 frames: (data, len)
typedef std::function<bool(const uint8_t*, unsigned)> send_data_callback;
//   CAN-FD frames: (id, data, len, extended); extended is 1 only for OTA frames
typedef std::function<bool(unsigned, const uint8_t*, unsigned, int)> send_canfd_callback;
//   classic CAN frames: (id, data, len)
typedef std::function<bool(unsigned, const uint8_t*, unsigned)> send_can_callback;
// Log callback: one text line, valid only during the call.
typedef void (*log_callback)(const char* line);

// Communication types passed to initial().
enum comm_type_code {
    COMM_NONE = -1,
    COMM_ETHERCAT = 0,
    COMM_CANFD = 1,
    COMM_RS485 = 2,
    COMM_CAN = 3
};

struct HandCore;
struct RS485SharedBusImpl;

// A shared RS485 line. Create it before the hands that use it, give it the
// line's send function, hand it to each hand with set_rs485_shared_bus(), feed
// every received chunk into set_receive_data(), and close it after the hands.
// Its worker thread is the only caller of the send function.
class MORVANE_API RS485SharedBus {
public:
    // Creates the bus context and starts its worker thread. Throws the thread
    // library's exception when the thread cannot start.
    RS485SharedBus();
    // close(), then releases this object's reference to the context; hands
    // still attached keep the context alive (closed).
    ~RS485SharedBus();

    // Installs a copy of the function; null installs an empty one (frames are
    // then dropped by the worker).
    void set_send_callback(bool (*fn)(const uint8_t*, unsigned));
    // fn points to a send_data_callback; a copy is taken, so the caller's
    // callable need not outlive the call. Null installs an empty one.
    void set_send_callback_ex(void* fn);
    // Feeds received bytes to the reply parser, which routes each reply to the
    // hand whose node id it carries. 1: data null or len negative; 5: closed.
    int set_receive_data(const uint8_t* data, int len);
    // Closes the context for good: the worker ends, waiting requests fail.
    void close();

    // Internal: the bus context behind this object.
    RS485SharedBusImpl* impl() const { return impl_; }

private:
    RS485SharedBus(const RS485SharedBus&);
    RS485SharedBus& operator=(const RS485SharedBus&);
    RS485SharedBusImpl* impl_;
};

class MORVANE_API Morvane {
public:
    Morvane();
    ~Morvane();
    // Copies the hand's configuration (targets, modes, limits, node ids, hand
    // type, filters) but never the core itself, its callables, bus context or
    // threads: two objects never share state.
    Morvane& operator=(const Morvane& other);

    // ---- lifecycle and mode -------------------------------------------------
    int initial(int comm_type);
    int initial(int comm_type, unsigned node_id);
    void close();
    void start_monitor();
    void stop_monitor();
    void set_dry_run_mode(bool on);
    bool get_dry_run_mode() const;

    // ---- transport hooks -----------------------------------------------------
    // Plain setters copy the function pointer; the _ex setters keep the
    // pointer to the caller's callable (send_*_callback above), which must
    // outlive the hand object. Null: frames are built but not sent.
    void set_send_rpdo_callback(bool (*fn)(const uint8_t*, unsigned));
    void set_send_rpdo_callback_ex(void* fn);
    int get_pre_send_rpdo_data(uint8_t* buffer, int* length);
    int set_tpdo_data_decode(const uint8_t* data, int len);

    void set_send_canfd_callback(bool (*fn)(unsigned, const uint8_t*, unsigned, int));
    void set_send_canfd_callback_ex(void* fn);
    int get_pre_send_canfd_data(uint8_t* buffer, int* length);
    int set_canfd_data_decode(unsigned id, const uint8_t* data, int len);

    void set_send_rs485_callback(bool (*fn)(const uint8_t*, unsigned));
    void set_send_rs485_callback_ex(void* fn);
    void set_rs485_shared_bus(RS485SharedBus* bus);
    int get_pre_send_rs485_data(uint8_t* buffer, int* length);
    int set_rs485_data_decode(const uint8_t* data, int len);

    void set_send_can_callback(bool (*fn)(unsigned, const uint8_t*, unsigned));
    void set_send_can_callback_ex(void* fn);
    int set_can_data_decode(unsigned id, const uint8_t* data, int len);
    int get_pre_send_can_data(uint8_t* buffer, int* length);

    // ---- identity and hand configuration -------------------------------------
    int get_firmware_version(float* version);
    int get_serial_number(char* buffer, int length);
    int get_dof(int* total, int* active);
    int set_hand_type(int hand_type);
    int get_hand_type(int* hand_type);
    int set_hand_direction(int direction);
    int get_hand_direction(int* direction);

    // ---- device settings (drive parameters) -----------------------------------
    int set_safe_current_enable(int on);
    int get_safe_current_enable(int* on);
    int set_home_current(int current);
    int get_home_current(int* current);
    int set_can_node_id(int node_id);
    int get_can_node_id(int* node_id);
    int set_canfd_arb_baudrate(int baudrate);
    int get_canfd_arb_baudrate(int* baudrate);
    int set_canfd_data_baudrate(int baudrate);
    int get_canfd_data_baudrate(int* baudrate);
    int set_rs485_node_id(int node_id);
    int get_rs485_node_id(int* node_id);
    int set_rs485_baudrate(int baudrate);
    int get_rs485_baudrate(int* baudrate);

    // ---- joint control and status ------------------------------------------
    int set_control_mode(int joint_id, int mode);
    int get_control_mode(int joint_id, int* mode);
    int set_enable(int joint_id, int on);
    int get_enable(int joint_id, int* on);
    int get_position_reached(int joint_id, int* reached);
    int get_torque_reached(int joint_id, int* reached);
    int set_clear_alarm(int joint_id);
    int get_now_alarm(int joint_id, int* alarm);
    int set_home_mode(int joint_id, int option_a, int option_b);
    int set_move_no_home(int on);
    int set_angle_conversion_enable(int on);
    int get_angle_conversion_enable(int* on);
    int home_motors(int joint_id);
    int get_limit_target_angle(int joint_id, float* min_angle, float* max_angle);
    int move_motors(int joint_id);
    int stop_motors(int joint_id);
    int play_gesture(int gesture, int arg1, int arg2);
    int get_now_status(int joint_id, int* status);
    int sync_position_to_target(int joint_id);

    // ---- targets ----------------------------------------------------------------
    int set_target_angle(int joint_id, float angle);
    int get_target_angle(int joint_id, float* angle);
    int set_target_position(int joint_id, int position);
    int get_target_position(int joint_id, int* position);
    int set_velocity(int joint_id, float velocity);
    int get_velocity(int joint_id, float* velocity);
    int set_angular_velocity(int joint_id, float velocity);
    int get_angular_velocity(int joint_id, float* velocity);
    int set_position_velocity(int joint_id, int velocity);
    int get_position_velocity(int joint_id, int* velocity);
    int set_max_current(int joint_id, int current);
    int get_max_current(int joint_id, int* current);

    // ---- measured values ----------------------------------------------------------
    int get_now_angle(int joint_id, float* angle);
    int get_now_position(int joint_id, int* position);
    int get_now_velocity(int joint_id, float* velocity);
    int get_now_angular_velocity(int joint_id, float* velocity);
    int get_now_position_velocity(int joint_id, int* velocity);
    int get_now_current(int joint_id, int* current);

    // ---- tactile sensors ----------------------------------------------------------
    int set_sensor_enable(int on);
    int set_sensor_data_format(int format);
    int set_sensor_order(const int* order, int count);
    int get_finger_sensor_pos(int channel, float* x, float* y, int* count);
    int get_finger_pressure(int channel, float* values, int* count);
    int set_finger_pressure_reset();
    int get_finger_normal_force(int channel, float* value);
    int get_finger_normal_force_ex(int channel, float* values, int* count);
    int get_finger_tangential_force(int channel, float* value);
    int get_finger_tangential_force_ex(int channel, float* values, int* count);
    int get_finger_force_direction(int channel, float* value);
    int get_finger_force_direction_ex(int channel, float* values, int* count);
    int get_finger_proximity(int channel, float* value);
    int get_finger_proximity_ex(int channel, float* values, int* count);

    // ---- drive parameters and OTA data --------------------------------------------
    int set_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned value);
    int get_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned* value);
    int save_sdo_drive_param();
    int set_ota_send_data(const uint8_t* data, unsigned len);
    int get_ota_recv_data(uint8_t* buffer, int* length);

    // ---- frame log -------------------------------------------------------------------
    void log_on(bool on, int save_count);
    int log_send(int* codes, int count);
    int log_recv(int* codes, int count);
    void log_reset(bool send_filter, bool recv_filter);
    int log_save(const char* path);
    void log_clear();
    void set_log_callback(void (*fn)(const char*));

    // Internal: the implementation object.
    HandCore* core() const { return core_; }

private:
    Morvane(const Morvane&);
    HandCore* core_;
};

}  // namespace morvx

#endif  // MORVANE_MORVANE_H
