/* C interface of the hand-control library.
 *
 * One morvane_handle is one hand object: create it with morvane_create(),
 * register a send function for the bus, call morvane_initial() or
 * morvane_initial_ex(), feed every received frame into the matching
 * morvane_set_*_decode() function, and read the hand through the getters.
 * morvane_destroy() ends the object; a destroyed handle must not be used again.
 *
 * Each function mirrors the method of morvx::Morvane of the same name (without
 * the prefix) and has its thread rules: set-up calls, setters and commands on
 * one handle by one caller at a time (two at once are not supported); the
 * decode functions on one receive thread (one thread feeds a shared bus);
 * getters of published values from any thread, without a lock: joint
 * getters never wait, a tactile getter retries while a block is being
 * written into its channel (it can wait for a preempted receive thread);
 * morvane_destroy() never while another call on the handle is running.
 *
 * Null handle: int functions return 1, functions without result do nothing,
 * morvane_get_dry_run_mode() returns false. No C++ exception ever leaves a
 * function of this interface.
 *
 * RS485: morvane_set_rs485_data_decode() and
 * morvane_rs485_shared_bus_set_receive_data() take any chunk of the received
 * byte stream, and a length of 0 (data non-null) after every read of the line
 * that returned nothing. That tells the library when the line falls silent:
 * after 20 ms of it, a frame that a stray start byte left waiting is ended
 * and the replies it held back are delivered. Without such calls the bus
 * worker does the same 50 ms after the last bytes, running the decoders and
 * the log callback on its own thread (where an RS485 command fails at once
 * rather than wait for that thread).
 *
 * Result codes: 0 success, 1 bad argument, 2 no RS485 bus context,
 * 3 malformed parameter reply, 4 empty tactile list, 5 RS485 bus closed,
 * 7 parameter read timed out, 8 frame rejected, 9 log file already exists,
 * 10 log file not writable, 11 move refused because a joint is not homed,
 * 999 the library could not allocate memory (or another resource it needed,
 * such as a thread).
 *
 * Arrays returned through float** arguments are allocated by the library with
 * malloc; the caller owns them and releases each with morvane_free_buffer().
 * All other results go into caller buffers.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef MORVANE_MORVANE_C_H
#define MORVANE_MORVANE_C_H

#include <stdbool.h>
#include <stdint.h>

#include "morvane/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct morvane_hand_record* morvane_handle;
typedef struct morvane_rs485_shared_bus_record* morvane_rs485_shared_bus_handle;

/* Send functions return true when they handed the frame to the bus.
 * EtherCAT RxPDO images and RS485 frames: (data, len). */
typedef bool (*morvane_send_data_callback)(const uint8_t* data, unsigned len);
/* CAN-FD frames: (id, data, len, extended); extended is 1 only for OTA frames. */
typedef bool (*morvane_send_canfd_callback)(unsigned id, const uint8_t* data, unsigned len, int extended);
/* Classic CAN frames: (id, data, len). */
typedef bool (*morvane_send_can_callback)(unsigned id, const uint8_t* data, unsigned len);
/* One frame log line, valid only during the call. */
typedef void (*morvane_log_callback)(const char* line);

/* ---- handles and buffers ------------------------------------------------ */
/* Null when the hand object cannot be created. */
MORVANE_API morvane_handle morvane_create(void);
/* Closes the hand, detaches it from its RS485 bus and frees it. Null: nothing. */
MORVANE_API void morvane_destroy(morvane_handle handle);
/* Releases an array returned by this interface. Null is allowed. */
MORVANE_API void morvane_free_buffer(float* buffer);

/* ---- lifecycle and mode ------------------------------------------------- */
/* comm_type: 0 EtherCAT, 1 CAN-FD, 2 RS485, 3 classic CAN. */
MORVANE_API int morvane_initial(morvane_handle handle, int comm_type);
/* As morvane_initial with the hand's node id (below 256, else 1). */
MORVANE_API int morvane_initial_ex(morvane_handle handle, int comm_type, unsigned node_id);
MORVANE_API void morvane_close(morvane_handle handle);
MORVANE_API void morvane_start_monitor(morvane_handle handle);
MORVANE_API void morvane_stop_monitor(morvane_handle handle);
MORVANE_API void morvane_set_dry_run_mode(morvane_handle handle, bool on);
MORVANE_API bool morvane_get_dry_run_mode(morvane_handle handle);

/* ---- transport hooks ----------------------------------------------------- */
/* A null function pointer installs none: frames are built but not sent.
 * get_pre_send_*: buffer null stores the kept length in *length; otherwise
 * copies at most *length bytes and stores the number copied. */
MORVANE_API void morvane_set_send_rpdo_callback(morvane_handle handle, bool (*fn)(const uint8_t*, unsigned));
MORVANE_API int morvane_get_pre_send_rpdo_data(morvane_handle handle, uint8_t* buffer, int* length);
MORVANE_API int morvane_set_tpdo_data_decode(morvane_handle handle, const uint8_t* data, int len);
MORVANE_API void morvane_set_send_canfd_callback(morvane_handle handle,
                                                 bool (*fn)(unsigned, const uint8_t*, unsigned, int));
MORVANE_API int morvane_get_pre_send_canfd_data(morvane_handle handle, uint8_t* buffer, int* length);
MORVANE_API int morvane_set_canfd_data_decode(morvane_handle handle, unsigned id, const uint8_t* data, int len);
MORVANE_API void morvane_set_send_rs485_callback(morvane_handle handle, bool (*fn)(const uint8_t*, unsigned));
/* A null bus handle detaches the hand from any shared bus. */
MORVANE_API void morvane_set_rs485_shared_bus(morvane_handle handle, morvane_rs485_shared_bus_handle bus);
MORVANE_API int morvane_get_pre_send_rs485_data(morvane_handle handle, uint8_t* buffer, int* length);
MORVANE_API int morvane_set_rs485_data_decode(morvane_handle handle, const uint8_t* data, int len);
MORVANE_API void morvane_set_send_can_callback(morvane_handle handle, bool (*fn)(unsigned, const uint8_t*, unsigned));
MORVANE_API int morvane_set_can_data_decode(morvane_handle handle, unsigned id, const uint8_t* data, int len);
MORVANE_API int morvane_get_pre_send_can_data(morvane_handle handle, uint8_t* buffer, int* length);

/* ---- identity and hand configuration -------------------------------------- */
MORVANE_API int morvane_get_firmware_version(morvane_handle handle, float* version);
/* Copies at most length - 1 characters and always ends the buffer with 0. */
MORVANE_API int morvane_get_serial_number(morvane_handle handle, char* buffer, int length);
MORVANE_API int morvane_get_dof(morvane_handle handle, int* total, int* active);
MORVANE_API int morvane_set_hand_type(morvane_handle handle, int hand_type);
MORVANE_API int morvane_get_hand_type(morvane_handle handle, int* hand_type);
MORVANE_API int morvane_set_hand_direction(morvane_handle handle, int direction);
MORVANE_API int morvane_get_hand_direction(morvane_handle handle, int* direction);

/* ---- device settings and drive parameters ----------------------------------- */
MORVANE_API int morvane_set_safe_current_enable(morvane_handle handle, int on);
MORVANE_API int morvane_get_safe_current_enable(morvane_handle handle, int* on);
MORVANE_API int morvane_set_home_current(morvane_handle handle, int current);
MORVANE_API int morvane_get_home_current(morvane_handle handle, int* current);
MORVANE_API int morvane_set_can_node_id(morvane_handle handle, int node_id);
MORVANE_API int morvane_get_can_node_id(morvane_handle handle, int* node_id);
MORVANE_API int morvane_set_canfd_arb_baudrate(morvane_handle handle, int baudrate);
MORVANE_API int morvane_get_canfd_arb_baudrate(morvane_handle handle, int* baudrate);
MORVANE_API int morvane_set_canfd_data_baudrate(morvane_handle handle, int baudrate);
MORVANE_API int morvane_get_canfd_data_baudrate(morvane_handle handle, int* baudrate);
MORVANE_API int morvane_set_rs485_node_id(morvane_handle handle, int node_id);
MORVANE_API int morvane_get_rs485_node_id(morvane_handle handle, int* node_id);
MORVANE_API int morvane_set_rs485_baudrate(morvane_handle handle, int baudrate);
MORVANE_API int morvane_get_rs485_baudrate(morvane_handle handle, int* baudrate);
MORVANE_API int morvane_set_sdo_drive_param(morvane_handle handle, unsigned index, uint8_t sub_index, unsigned value);
MORVANE_API int morvane_get_sdo_drive_param(morvane_handle handle, unsigned index, uint8_t sub_index, unsigned* value);
MORVANE_API int morvane_save_sdo_drive_param(morvane_handle handle);

/* ---- joint control and status ---------------------------------------------- */
/* joint_id: 1 to the active joint count; setters and commands also take 0 (all). */
MORVANE_API int morvane_set_control_mode(morvane_handle handle, int joint_id, int mode);
MORVANE_API int morvane_get_control_mode(morvane_handle handle, int joint_id, int* mode);
MORVANE_API int morvane_set_enable(morvane_handle handle, int joint_id, int on);
MORVANE_API int morvane_get_enable(morvane_handle handle, int joint_id, int* on);
MORVANE_API int morvane_get_position_reached(morvane_handle handle, int joint_id, int* reached);
MORVANE_API int morvane_get_torque_reached(morvane_handle handle, int joint_id, int* reached);
MORVANE_API int morvane_set_clear_alarm(morvane_handle handle, int joint_id);
MORVANE_API int morvane_get_now_alarm(morvane_handle handle, int joint_id, int* alarm);
MORVANE_API int morvane_set_move_no_home(morvane_handle handle, int on);
MORVANE_API int morvane_set_angle_conversion_enable(morvane_handle handle, int on);
MORVANE_API int morvane_get_angle_conversion_enable(morvane_handle handle, int* on);
MORVANE_API int morvane_home_motors(morvane_handle handle, int joint_id);
MORVANE_API int morvane_get_limit_target_angle(morvane_handle handle, int joint_id, float* min_angle, float* max_angle);
MORVANE_API int morvane_move_motors(morvane_handle handle, int joint_id);
MORVANE_API int morvane_stop_motors(morvane_handle handle, int joint_id);
MORVANE_API int morvane_play_gesture(morvane_handle handle, int gesture, int arg1, int arg2);
MORVANE_API int morvane_get_now_status(morvane_handle handle, int joint_id, int* status);
MORVANE_API int morvane_sync_position_to_target(morvane_handle handle, int joint_id);

/* ---- targets ----------------------------------------------------------------- */
MORVANE_API int morvane_set_target_angle(morvane_handle handle, int joint_id, float angle);
MORVANE_API int morvane_get_target_angle(morvane_handle handle, int joint_id, float* angle);
MORVANE_API int morvane_set_target_position(morvane_handle handle, int joint_id, int position);
MORVANE_API int morvane_get_target_position(morvane_handle handle, int joint_id, int* position);
MORVANE_API int morvane_set_velocity(morvane_handle handle, int joint_id, float velocity);
MORVANE_API int morvane_get_velocity(morvane_handle handle, int joint_id, float* velocity);
MORVANE_API int morvane_set_angular_velocity(morvane_handle handle, int joint_id, float velocity);
MORVANE_API int morvane_get_angular_velocity(morvane_handle handle, int joint_id, float* velocity);
MORVANE_API int morvane_set_position_velocity(morvane_handle handle, int joint_id, int velocity);
MORVANE_API int morvane_get_position_velocity(morvane_handle handle, int joint_id, int* velocity);
MORVANE_API int morvane_set_max_current(morvane_handle handle, int joint_id, int current);
MORVANE_API int morvane_get_max_current(morvane_handle handle, int joint_id, int* current);

/* ---- measured values ----------------------------------------------------------- */
MORVANE_API int morvane_get_now_angle(morvane_handle handle, int joint_id, float* angle);
MORVANE_API int morvane_get_now_position(morvane_handle handle, int joint_id, int* position);
MORVANE_API int morvane_get_now_velocity(morvane_handle handle, int joint_id, float* velocity);
MORVANE_API int morvane_get_now_angular_velocity(morvane_handle handle, int joint_id, float* velocity);
MORVANE_API int morvane_get_now_position_velocity(morvane_handle handle, int joint_id, int* velocity);
MORVANE_API int morvane_get_now_current(morvane_handle handle, int joint_id, int* current);

/* ---- tactile sensors --------------------------------------------------------------
 * The array getters store a malloc'ed array (release it with
 * morvane_free_buffer) and its count, one whole list of one reading; on any
 * failure, and for a channel without values, they store null and 0.
 * 999: allocation failed. Before the first block the values are zeros
 * (result 0); the single-value getters return 4 only for an empty list. */
MORVANE_API int morvane_set_sensor_enable(morvane_handle handle, int on);
MORVANE_API int morvane_set_sensor_data_format(morvane_handle handle, int format);
MORVANE_API int morvane_set_sensor_order(morvane_handle handle, const int* order, int count);
MORVANE_API int morvane_get_finger_sensor_pos(morvane_handle handle, int channel, float** x, float** y, int* count);
MORVANE_API int morvane_get_finger_pressure(morvane_handle handle, int channel, float** values, int* count);
MORVANE_API int morvane_set_finger_pressure_reset(morvane_handle handle);
MORVANE_API int morvane_get_finger_normal_force(morvane_handle handle, int channel, float* value);
MORVANE_API int morvane_get_finger_normal_force_ex(morvane_handle handle, int channel, float** values, int* count);
MORVANE_API int morvane_get_finger_tangential_force(morvane_handle handle, int channel, float* value);
MORVANE_API int morvane_get_finger_tangential_force_ex(morvane_handle handle, int channel, float** values,
                                                       int* count);
MORVANE_API int morvane_get_finger_force_direction(morvane_handle handle, int channel, float* value);
MORVANE_API int morvane_get_finger_force_direction_ex(morvane_handle handle, int channel, float** values,
                                                      int* count);
MORVANE_API int morvane_get_finger_proximity(morvane_handle handle, int channel, float* value);
MORVANE_API int morvane_get_finger_proximity_ex(morvane_handle handle, int channel, float** values, int* count);

/* ---- frame log ---------------------------------------------------------------------- */
MORVANE_API void morvane_log_on(morvane_handle handle, bool on, int save_count);
MORVANE_API int morvane_log_send(morvane_handle handle, int* codes, int count);
MORVANE_API int morvane_log_recv(morvane_handle handle, int* codes, int count);
MORVANE_API void morvane_log_reset(morvane_handle handle, bool send_filter, bool recv_filter);
/* 0 written, 1 null path, 9 file exists (left untouched), 10 not writable. */
MORVANE_API int morvane_log_save(morvane_handle handle, const char* path);
MORVANE_API void morvane_log_clear(morvane_handle handle);
MORVANE_API void morvane_set_log_callback(morvane_handle handle, void (*fn)(const char*));

/* ---- shared RS485 bus -------------------------------------------------------------
 * Create the bus and give it its send function before the hands that use it;
 * feed every received chunk to morvane_rs485_shared_bus_set_receive_data;
 * destroy the hands, then close and destroy the bus. */
/* Null when the bus or its worker thread cannot be created. */
MORVANE_API morvane_rs485_shared_bus_handle morvane_rs485_shared_bus_create(void);
MORVANE_API void morvane_rs485_shared_bus_destroy(morvane_rs485_shared_bus_handle bus);
MORVANE_API void morvane_rs485_shared_bus_set_send_callback(morvane_rs485_shared_bus_handle bus,
                                                            bool (*fn)(const uint8_t*, unsigned));
/* len 0: a read found nothing. 1: null bus, data null or len negative; 5: bus
 * closed (bytes only). */
MORVANE_API int morvane_rs485_shared_bus_set_receive_data(morvane_rs485_shared_bus_handle bus,
                                                          const uint8_t* data, int len);
MORVANE_API void morvane_rs485_shared_bus_close(morvane_rs485_shared_bus_handle bus);

#ifdef __cplusplus
}
#endif

#endif /* MORVANE_MORVANE_C_H */
