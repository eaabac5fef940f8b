// Class interface of the hand-control library.
//
// One morvx::Morvane object models one hand. The caller owns the bus: it
// registers a send function for its bus, calls initial(), feeds every frame
// that arrives into the matching *_decode method, and reads the hand model
// through the getters.
//
// Threads: setters, commands and lifecycle calls (set-up calls) on one
// object are made by one caller at a time; two at once on one hand are not
// supported. Decode entry points run on one receive thread (for RS485, one
// thread feeds a bus context; two feeding one context are not supported).
// Getters of published values may run on any thread at any time, take no
// lock and return values that one publication held: joint getters
// (targets, measured values, status) never wait; a tactile getter retries
// while a block is being written into its channel or a set-up call rebuilds
// the channels, so it can wait for a receive thread preempted in a block.
//
// RS485 framing: replies are cut from the received byte stream in step, one
// after another, so a frame inside a reply's body is never taken for a reply.
// A frame never spans a silence of the line, which ends a frame that a stray
// start byte (line noise at the turn of the line) left waiting and delivers
// the replies it held back. A receive thread tells the library about silence
// by feeding a length of 0 after every read that returned nothing (data
// non-null): once such calls show the line silent for 20 ms, the exchange
// ends, on that thread. A program that never feeds a length of 0 keeps
// working: the bus worker then ends an exchange 50 ms after the last bytes,
// running the hands' decoders (and log callbacks) on its own thread, which
// must therefore never wait for an RS485 command (one issued there fails).
//
// Result codes (int): 0 success, 1 bad argument, 2 no RS485 bus context,
// 3 malformed parameter reply, 4 empty tactile list, 5 RS485 bus closed,
// 7 parameter read timed out or OTA reply queue full, 8 frame rejected,
// 9 log file already exists, 10 log file not writable, 11 move refused because
// a joint is not homed. There is no code 6.
//
// On Windows this class interface is for programs built with mingw-w64 g++,
// the compiler Morvane.dll is built with: the classes are exported under
// g++'s C++ names and the _ex setters take libstdc++ std::function objects,
// neither of which Visual C++ (or clang-cl) can link or pass. Programs built
// with those compilers use the C interface, morvane/morvane_c.h.
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
    // hand whose node id it carries; one thread at a time. len 0: a read found
    // nothing (see RS485 framing above). 1: data null or len negative; 5:
    // closed (bytes only).
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

// One hand. Joint numbers (joint_id) run from 1 to the active joint count
// (6, or 16 for hand type 2); setters and commands also take 0 for all
// joints, getters do not. Unless a comment says otherwise, a method returns
// 0 or 1 (bad argument: null pointer, joint or value out of range), and
// output pointers are written only on success.
class MORVANE_API Morvane {
public:
    // A hand with no bus (comm type -1), hand type 0, no monitor.
    Morvane();
    // Stops the monitor, leaves the RS485 bus context, frees everything.
    // Callables given through the *_ex setters must outlive this.
    ~Morvane();
    // Copies the hand's configuration (targets, modes, limits, node ids, hand
    // type, filters) but never the core itself, its callables, bus context or
    // threads: two objects never share state. The copy needs its own
    // initial() before it talks to a device.
    Morvane& operator=(const Morvane& other);

    // ---- lifecycle and mode -------------------------------------------------
    // comm_type: 0 EtherCAT, 1 CAN-FD, 2 RS485, 3 classic CAN. Stops the
    // monitor, attaches to an RS485 bus context (comm type 2), asks the
    // device for its identity on CAN-FD and RS485 (waits up to 200 ms per
    // unanswered read; a silent device does not fail the call; skipped in
    // dry run), applies the hand type's joint tables and starts the monitor.
    // 0 ok; 1 node id refused on the RS485 bus (another hand holds it);
    // 5 RS485 bus closed. A failed call leaves the monitor stopped.
    int initial(int comm_type);
    // As above, first storing node_id as the CAN-FD (type 1) or RS485
    // (type 2) node id. 1 when node_id is 256 or more (nothing changed).
    int initial(int comm_type, unsigned node_id);
    // Stops the monitor; the same as stop_monitor(). Settings are kept.
    void close();
    void start_monitor();
    // Returns once the monitor thread has ended.
    void stop_monitor();
    // Dry run: frames are built, logged and kept for the get_pre_send_*
    // getters but never sent; initial() skips identification.
    void set_dry_run_mode(bool on);
    bool get_dry_run_mode() const;

    // ---- transport hooks -----------------------------------------------------
    // Plain setters copy the function pointer; the _ex setters keep the
    // pointer to the caller's callable (send_*_callback above), which must
    // outlive the hand object. Null: frames are built but not sent. Set them
    // before initial(); the classic CAN setters may also be called while the
    // monitor runs (it is paused for the swap). The monitor thread calls the
    // classic CAN function, an RS485 bus worker the RS485 function; CAN-FD
    // and EtherCAT functions run on the thread that issued the command.
    //
    // get_pre_send_*_data(buffer, length): the bytes last built for that bus
    // (in dry run on classic CAN: every frame since the last request, each as
    // a u32 little-endian id and its bytes). buffer null: *length := bytes
    // kept. Else copies min(*length, kept) bytes into the caller's buffer and
    // stores that count in *length. 1: length null, or buffer given with
    // *length below 0.
    //
    // *_decode(data, len): one received frame, on the transport's receive
    // thread; the bytes are read during the call only. 1: data null or len
    // below 0; 8: frame rejected; set_rs485_data_decode also 2 (no RS485 bus
    // context) and 5 (bus closed). set_rs485_data_decode takes any chunk of
    // the byte stream, and len 0 after a read that found nothing (see RS485
    // framing above).
    void set_send_rpdo_callback(bool (*fn)(const uint8_t*, unsigned));
    void set_send_rpdo_callback_ex(void* fn);
    int get_pre_send_rpdo_data(uint8_t* buffer, int* length);
    int set_tpdo_data_decode(const uint8_t* data, int len);

    void set_send_canfd_callback(bool (*fn)(unsigned, const uint8_t*, unsigned, int));
    void set_send_canfd_callback_ex(void* fn);
    int get_pre_send_canfd_data(uint8_t* buffer, int* length);
    int set_canfd_data_decode(unsigned id, const uint8_t* data, int len);

    // With a private RS485 bus context (no shared bus given) a copy of the
    // function is installed in it at once.
    void set_send_rs485_callback(bool (*fn)(const uint8_t*, unsigned));
    void set_send_rs485_callback_ex(void* fn);
    // Stops the monitor, leaves the current RS485 context and takes the bus
    // object's (null: back to a private one). Takes effect at the next
    // initial(2, ...), which also restarts the monitor.
    void set_rs485_shared_bus(RS485SharedBus* bus);
    int get_pre_send_rs485_data(uint8_t* buffer, int* length);
    int set_rs485_data_decode(const uint8_t* data, int len);

    void set_send_can_callback(bool (*fn)(unsigned, const uint8_t*, unsigned));
    void set_send_can_callback_ex(void* fn);
    int set_can_data_decode(unsigned id, const uint8_t* data, int len);
    int get_pre_send_can_data(uint8_t* buffer, int* length);

    // ---- identity and hand configuration -------------------------------------
    int get_firmware_version(float* version);
    // Copies at most length - 1 characters of the serial number (hex text),
    // zero-fills the rest of the buffer, and always ends it with 0.
    // 1: buffer null or length below 1.
    int get_serial_number(char* buffer, int length);
    // total: 11 or 21; active: 6 or 16.
    int get_dof(int* total, int* active);
    // 0, 1 (6 joints) or 2 (16 joints): applies limits and node addresses,
    // restores the default tactile formats and sends the report selection.
    // Targets are kept. 1 for other values, nothing changed.
    int set_hand_type(int hand_type);
    int get_hand_type(int* hand_type);
    // Stored unchecked; rebuilds the tactile layouts.
    int set_hand_direction(int direction);
    int get_hand_direction(int* direction);

    // ---- device settings (drive parameters) -----------------------------------
    // These change the hand's own settings, not the library's node ids. They
    // reach the hand on CAN-FD and RS485 only. Setters write all six drives
    // and return the first failure; getters read the first drive and return
    // 7 when no reply came within 200 ms (output untouched). Bit rates are in
    // bit/s (CAN-FD in steps of 1000, RS485 in steps of 100).
    int set_safe_current_enable(int on);  // 0 or 1, else 1
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
    // Commands send on the caller's thread (RS485: wait for the bus worker's
    // transmission) and report argument errors only, never a failed send.
    // joint_id 0 sets the mode and command bytes of all 27 slots.
    //
    // Low 8 bits of mode; sends the mode command at once.
    int set_control_mode(int joint_id, int mode);
    int get_control_mode(int joint_id, int* mode);
    // A neutral mode command, a pause (5 ms; 30 ms RS485; 20 ms classic
    // CAN), then enable (on > 0) or disable.
    int set_enable(int joint_id, int on);
    // Status bits of the last report; 0 before any report.
    int get_enable(int joint_id, int* on);
    int get_position_reached(int joint_id, int* reached);
    int get_torque_reached(int joint_id, int* reached);
    // As set_enable, with the clear-alarm command.
    int set_clear_alarm(int joint_id);
    // The alarm code while the joint's run status is 2 (9 when the device
    // gave none), else 0.
    int get_now_alarm(int joint_id, int* alarm);
    // Stored only; sent with the next mode command.
    int set_home_mode(int joint_id, int option_a, int option_b);
    // 1: moves no longer wait for the homed bit; any other value: they do.
    int set_move_no_home(int on);
    // Quadratic correction of joints 3 to 6 of hand type 1; 0 or 1, else 1.
    int set_angle_conversion_enable(int on);
    int get_angle_conversion_enable(int* on);
    int home_motors(int joint_id);
    int get_limit_target_angle(int joint_id, float* min_angle, float* max_angle);
    // Puts every joint back to mode 0 first when one is not, then sends the
    // targets. 11: a joint is not homed (its target position is reset to 0
    // and nothing is sent).
    int move_motors(int joint_id);
    // Two stop commands 100 ms apart; blocks for that time.
    int stop_motors(int joint_id);
    // gesture 0..33, else 1. Classic CAN: stored, nothing sent.
    int play_gesture(int gesture, int arg1, int arg2);
    // Run status 0..7 (bits 5-7 of the joint's status byte).
    int get_now_status(int joint_id, int* status);
    // Measured position becomes the target position.
    int sync_position_to_target(int joint_id);

    // ---- targets ----------------------------------------------------------------
    // Stored for the next move; nothing is sent. joint_id 0 applies the value
    // to each active joint in turn. Angles in degrees, positions in device
    // units (0..10000; -5000..5000 for the side joints of hand type 2).
    //
    // An angle outside the joint's limits (or NaN) is refused with 1; for
    // joint 0 the joints before the first refusing one keep the new target.
    int set_target_angle(int joint_id, float angle);
    int get_target_angle(int joint_id, float* angle);
    // Clamped to the joint's position range, never refused.
    int set_target_position(int joint_id, int position);
    int get_target_position(int joint_id, int* position);
    // The same as set_angular_velocity / get_angular_velocity.
    int set_velocity(int joint_id, float velocity);
    int get_velocity(int joint_id, float* velocity);
    // Degrees per second; also sets the position velocity that matches it.
    int set_angular_velocity(int joint_id, float velocity);
    int get_angular_velocity(int joint_id, float* velocity);
    // Position units per second; also sets the matching angular velocity.
    int set_position_velocity(int joint_id, int velocity);
    int get_position_velocity(int joint_id, int* velocity);
    int set_max_current(int joint_id, int current);
    int get_max_current(int joint_id, int* current);

    // ---- measured values ----------------------------------------------------------
    // The last values the hand reported; 0 before any report.
    int get_now_angle(int joint_id, float* angle);
    int get_now_position(int joint_id, int* position);
    int get_now_velocity(int joint_id, float* velocity);
    int get_now_angular_velocity(int joint_id, float* velocity);
    int get_now_position_velocity(int joint_id, int* velocity);
    int get_now_current(int joint_id, int* current);

    // ---- tactile sensors ----------------------------------------------------------
    // Channels 1..11. Getters copy one consistent reading (the values of one
    // block, with the layout they were decoded for) into the caller's arrays.
    // Before the first block the values are zeros (result 0); a single-value
    // getter returns 4 only when its list is empty.
    //
    // 1 turns tactile reports on, any other value off; sends the report
    // selection. 1 on hand type 2, which has no tactile reports.
    int set_sensor_enable(int on);
    // 1: every channel on full blocks with the 5-point layout; other values:
    // the hand type's defaults. initial() and set_hand_type() restore the
    // defaults.
    int set_sensor_data_format(int format);
    // Report block i goes to channel order[i]; count 1..12 distinct channels
    // 1..11, else 1 and nothing changed.
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
    // Reach the hand on CAN-FD and RS485 only. Writes and saves report no
    // send failure; a read waits at most 200 ms for its reply (7 on time-out,
    // 3 on a malformed reply). get_ota_recv_data copies the oldest queued OTA
    // reply into the caller's buffer.
    int set_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned value);
    int get_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned* value);
    int save_sdo_drive_param();
    int set_ota_send_data(const uint8_t* data, unsigned len);
    int get_ota_recv_data(uint8_t* buffer, int* length);

    // ---- frame log -------------------------------------------------------------------
    // A ring of the newest 16384 lines ("Send: " / "Recv: ", hex bytes,
    // " = ok") for frames whose first byte is enabled in that direction's
    // filter; both filters start empty.
    void log_on(bool on, int save_count);
    // Add codes 0..255 to the send or receive filter.
    int log_send(int* codes, int count);
    int log_recv(int* codes, int count);
    void log_reset(bool send_filter, bool recv_filter);
    // Writes the newest save_count lines to a new file: 9 when it exists,
    // 10 when it cannot be written.
    int log_save(const char* path);
    void log_clear();
    // Called with each new line (valid during the call only), on whichever
    // thread logged the frame (on RS485 also the bus worker). Null: none.
    void set_log_callback(void (*fn)(const char*));

    // Internal: the implementation object.
    HandCore* core() const { return core_; }

private:
    Morvane(const Morvane&);
    HandCore* core_;
};

}  // namespace morvx

#endif  // MORVANE_MORVANE_H
