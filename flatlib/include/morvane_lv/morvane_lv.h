/* Morvane_LV: the flat interface to one hand, without handles.
 *
 * The library holds at most one open hand at a time. List the devices of a
 * transport, open the hand on one of them with lv_init(), command and read
 * it through the lv_* functions, end with lv_close().
 *
 * Transports (first argument of lv_init):
 *   0 EtherCAT: device index = position in the list of
 *     lv_ethercat_get_device_string; value = the hand's slave position on
 *     the bus (first slave 1).
 *   1 CAN-FD:   device index = adapter index of the last
 *     lv_canfd_scan_device_count (as lv_canfd_get_device_string numbers it);
 *     value = the hand's node id.
 *   2 RS485:    device index = position in the list of
 *     lv_rs485_get_device_string; value = the hand's node id.
 *
 * Results of lv_init and the discovery string functions:
 *    0  success
 *   -1  bad argument or device index, or the device could not be opened
 *   -2  device opened but not brought up (CAN-FD init refused, EtherCAT
 *       slaves not in OP, serial port not opened); discovery: index out of
 *       range or device information unreadable
 *   -3  the hand object could not be created
 *   -4  the hand did not initialise
 *  -10  transport outside 0 to 2
 *
 * Forwarding functions (every other int function) return the hand
 * library's result code (see morvane_c.h: 0 success, 1 bad argument, ...),
 * or 2 when no hand is open; those without a result do nothing then.
 *
 * Threads: every function may be called from any thread at any time. All
 * but the six discovery functions are serialised by one library-wide lock;
 * lv_init holds it while the hand identifies itself (up to about a second),
 * and other calls wait meanwhile. A tactile getter also retries while the
 * transport thread writes a block into its channel, so it can wait for that
 * thread when it is preempted mid-block. No function calls back into the
 * host.
 *
 * Tactile getters return 0 with zeros before the first block; the
 * single-value ones return 4 only for an empty list.
 *
 * Arrays returned through float** arguments are allocated by the hand
 * library (libMorvane, Morvane.dll on Windows) in its own C runtime; the
 * caller owns them and releases each with morvane_free_buffer of that
 * library (morvane/morvane_c.h), which frees it in the same runtime. Not
 * with the host's free(): a host on another C runtime (any program built
 * with Visual C++ on Windows) would free it into the wrong heap. Every other
 * result goes into caller buffers.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef MORVANE_LV_MORVANE_LV_H
#define MORVANE_LV_MORVANE_LV_H

#if defined(_WIN32) && defined(MORVANE_LV_BUILDING_LIBRARY)
#define LV_API __declspec(dllexport)
#elif defined(_WIN32)
#define LV_API __declspec(dllimport)
#elif defined(MORVANE_LV_BUILDING_LIBRARY) && defined(__GNUC__)
#define LV_API __attribute__((visibility("default")))
#else
#define LV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- lifecycle and status ---------------------------------------------- */
/* Closes any open hand, then opens a new one; 0 or a negative code above. */
LV_API int lv_init(int transport, int device_index, int value);
/* Closes the open hand and its transport; nothing when none is open. Every
 * thread of the library has ended when it returns. */
LV_API void lv_close(void);
/* 1 while a hand is open on an opened transport, else 0. */
LV_API int lv_is_connected(void);
/* CAN-FD: frames the adapter refused or reported with an error; EtherCAT:
 * bad or skipped cycles since the last recovery; RS485: 0. Low 32 bits.
 * 0 when no hand is open. */
LV_API int lv_get_lost_frames(void);

/* ---- discovery (no hand needed; never changes the open hand) ------------ */
/* Scans for USB CAN-FD adapters; the count (0 none). */
LV_API int lv_canfd_scan_device_count(void);
/* "<index> <model name>" of the adapter at index of the last scan. dst gets
 * at most dst_len - 1 characters and a terminating NUL. 0, -1 (bad
 * arguments), -2 (information unreadable). */
LV_API int lv_canfd_get_device_string(int index, char* dst, int dst_len);
/* Number of Ethernet ports usable for EtherCAT (wireless, loopback, virtual
 * and tunnel interfaces are left out). */
LV_API int lv_ethercat_scan_device_count(void);
/* Description of the usable Ethernet port at index; as above. */
LV_API int lv_ethercat_get_device_string(int index, char* dst, int dst_len);
/* Number of serial ports that can be opened now. */
LV_API int lv_rs485_scan_device_count(void);
/* Device path of the serial port at index (for example "/dev/ttyUSB0"). */
LV_API int lv_rs485_get_device_string(int index, char* dst, int dst_len);

/* ---- forwarding: measured values, targets, status ---------------------- */
LV_API int lv_get_angular_velocity(int joint_id, float* value);
LV_API int lv_get_now_angle(int joint_id, float* value);
LV_API int lv_get_now_angular_velocity(int joint_id, float* value);
LV_API int lv_get_now_velocity(int joint_id, float* value);
LV_API int lv_get_target_angle(int joint_id, float* value);
LV_API int lv_get_velocity(int joint_id, float* value);
LV_API int lv_get_finger_force_direction(int channel, float* value);
LV_API int lv_get_finger_normal_force(int channel, float* value);
LV_API int lv_get_finger_proximity(int channel, float* value);
LV_API int lv_get_finger_tangential_force(int channel, float* value);

LV_API int lv_get_control_mode(int joint_id, int* value);
LV_API int lv_get_enable(int joint_id, int* value);
LV_API int lv_get_max_current(int joint_id, int* value);
LV_API int lv_get_now_alarm(int joint_id, int* value);
LV_API int lv_get_now_current(int joint_id, int* value);
LV_API int lv_get_now_position(int joint_id, int* value);
LV_API int lv_get_now_position_velocity(int joint_id, int* value);
LV_API int lv_get_now_status(int joint_id, int* value);
LV_API int lv_get_position_reached(int joint_id, int* value);
LV_API int lv_get_position_velocity(int joint_id, int* value);
LV_API int lv_get_target_position(int joint_id, int* value);
LV_API int lv_get_torque_reached(int joint_id, int* value);

LV_API int lv_get_hand_direction(int* value);
LV_API int lv_get_hand_type(int* value);
LV_API int lv_get_home_current(int* value);
LV_API int lv_get_safe_current_enable(int* value);
LV_API int lv_get_firmware_version(float* version);
LV_API int lv_get_dof(int* total, int* active);
LV_API int lv_get_limit_target_angle(int joint_id, float* min_deg, float* max_deg);

/* ---- forwarding: tactile arrays (release each with morvane_free_buffer) - */
LV_API int lv_get_finger_force_direction_ex(int channel, float** values, int* count);
LV_API int lv_get_finger_normal_force_ex(int channel, float** values, int* count);
LV_API int lv_get_finger_pressure(int channel, float** values, int* count);
LV_API int lv_get_finger_proximity_ex(int channel, float** values, int* count);
LV_API int lv_get_finger_tangential_force_ex(int channel, float** values, int* count);
LV_API int lv_get_finger_sensor_pos(int channel, float** x, float** y, int* count);

/* ---- forwarding: commands and settings ---------------------------------- */
LV_API int lv_home_motors(int joint_id);
LV_API int lv_move_motors(int joint_id);
LV_API int lv_stop_motors(int joint_id);
LV_API int lv_sync_position_to_target(int joint_id);
LV_API int lv_set_clear_alarm(int joint_id);
LV_API int lv_set_hand_direction(int value);
LV_API int lv_set_hand_type(int value);
LV_API int lv_set_home_current(int value);
LV_API int lv_set_move_no_home(int value);
LV_API int lv_set_safe_current_enable(int value);
LV_API int lv_set_sensor_data_format(int value);
LV_API int lv_set_sensor_enable(int value);

LV_API int lv_set_control_mode(int joint_id, int value);
LV_API int lv_set_enable(int joint_id, int value);
LV_API int lv_set_max_current(int joint_id, int value);
LV_API int lv_set_position_velocity(int joint_id, int value);
LV_API int lv_set_target_position(int joint_id, int value);
LV_API int lv_set_angular_velocity(int joint_id, float value);
LV_API int lv_set_target_angle(int joint_id, float value);
LV_API int lv_set_velocity(int joint_id, float value);

LV_API int lv_set_finger_pressure_reset(void);
LV_API int lv_play_gesture(int gesture, int a, int b);
LV_API int lv_set_sensor_order(const int* order, int count);

/* ---- forwarding: frame log ---------------------------------------------- */
LV_API int lv_log_send(int* codes, int count);
LV_API int lv_log_recv(int* codes, int count);
LV_API int lv_log_save(const char* path);
LV_API void lv_log_clear(void);
/* on: any non-zero value switches logging on; count: lines lv_log_save writes. */
LV_API void lv_log_on(int on, int count);
/* Non-zero clears the send or receive filter. */
LV_API void lv_log_reset(int send, int recv);
LV_API void lv_start_monitor(void);
LV_API void lv_stop_monitor(void);

#ifdef __cplusplus
}
#endif

#endif /* MORVANE_LV_MORVANE_LV_H */
