// morvx::Morvane: the class layer. Checks arguments, then forwards to the
// hand operations (hand_ops.h); getters of a single field read it here.
#include "hand_core.h"
#include "hand_ops.h"
#include "value_rules.h"

namespace morvx {

namespace {

// read_published after a publication overtook its read; a tail call, so
// the straight path needs no stack frame.
template <typename T, typename Out>
__attribute__((noinline, cold)) int read_published_again(const DoubleBuffer<T>& buffer, std::size_t slot, Out* out) {
    *out = static_cast<Out>(buffer.read_again(slot));
    return kOk;
}

// G1 over a published per-joint buffer: one read of the joint's slot.
// Inlined into each getter, whose whole cost it is.
template <typename T, typename Out>
__attribute__((always_inline)) inline int read_published(const HandCore& h, const DoubleBuffer<T>& buffer,
                                                         int joint_id, Out* out) {
    const std::size_t slot = joint_slot(h, joint_id);
    if (out == nullptr || slot == kNoSlot) return kBadArgument;
    T value;
    if (!buffer.try_read(slot, value)) return read_published_again(buffer, slot, out);
    *out = static_cast<Out>(value);
    return kOk;
}

send_data_callback* as_data_callable(void* fn) { return static_cast<send_data_callback*>(fn); }

}  // namespace

// ---- lifecycle and mode ---------------------------------------------------------

Morvane::Morvane() : core_(new HandCore(this)) {}

Morvane::~Morvane() {
    close();
    detach_rs485(*core_);
    delete core_;
}

Morvane& Morvane::operator=(const Morvane& other) {
    if (this != &other) copy_configuration(*core_, *other.core_);
    return *this;
}

int Morvane::initial(int comm_type) { return morvx::initial(*core_, comm_type); }

int Morvane::initial(int comm_type, unsigned node_id) {
    if (node_id >= 256) return kBadArgument;
    return morvx::initial(*core_, comm_type, node_id);
}

void Morvane::close() { morvx::stop_monitor(*core_); }
void Morvane::start_monitor() { morvx::start_monitor(*core_); }
void Morvane::stop_monitor() { morvx::stop_monitor(*core_); }
void Morvane::set_dry_run_mode(bool on) { core_->dry_run.store(on); }
bool Morvane::get_dry_run_mode() const { return core_->dry_run.load(); }

// ---- transport hooks ---------------------------------------------------------------

void Morvane::set_send_rpdo_callback(bool (*fn)(const uint8_t*, unsigned)) {
    core_->send_rpdo_function = fn ? send_data_callback(fn) : send_data_callback();
    core_->active_send_rpdo = &core_->send_rpdo_function;
}

void Morvane::set_send_rpdo_callback_ex(void* fn) { core_->active_send_rpdo = as_data_callable(fn); }

int Morvane::get_pre_send_rpdo_data(uint8_t* buffer, int* length) {
    return copy_pre_send(core_->last_rpdo, buffer, length);
}

int Morvane::set_tpdo_data_decode(const uint8_t* data, int len) {
    if (data == nullptr || len < 0) return kBadArgument;
    return decode_tpdo(*core_, ByteView(data, static_cast<std::size_t>(len)));
}

void Morvane::set_send_canfd_callback(bool (*fn)(unsigned, const uint8_t*, unsigned, int)) {
    core_->send_canfd_function = fn ? send_canfd_callback(fn) : send_canfd_callback();
    core_->active_send_canfd = &core_->send_canfd_function;
}

void Morvane::set_send_canfd_callback_ex(void* fn) {
    core_->active_send_canfd = static_cast<send_canfd_callback*>(fn);
}

int Morvane::get_pre_send_canfd_data(uint8_t* buffer, int* length) {
    return copy_pre_send(core_->last_canfd, buffer, length);
}

int Morvane::set_canfd_data_decode(unsigned id, const uint8_t* data, int len) {
    if (data == nullptr || len < 0) return kBadArgument;
    return decode_canfd(*core_, id, ByteView(data, static_cast<std::size_t>(len)));
}

void Morvane::set_send_rs485_callback(bool (*fn)(const uint8_t*, unsigned)) {
    core_->send_rs485_function = fn ? send_data_callback(fn) : send_data_callback();
    core_->active_send_rs485 = &core_->send_rs485_function;
    set_rs485_send_function(*core_);
}

void Morvane::set_send_rs485_callback_ex(void* fn) {
    core_->active_send_rs485 = as_data_callable(fn);
    set_rs485_send_function(*core_);
}

void Morvane::set_rs485_shared_bus(RS485SharedBus* bus) { morvx::set_rs485_shared_bus(*core_, bus); }

int Morvane::get_pre_send_rs485_data(uint8_t* buffer, int* length) {
    return copy_pre_send(core_->last_rs485, buffer, length);
}

int Morvane::set_rs485_data_decode(const uint8_t* data, int len) {
    if (data == nullptr || len < 0) return kBadArgument;
    return decode_rs485(*core_, ByteView(data, static_cast<std::size_t>(len)));
}

void Morvane::set_send_can_callback(bool (*fn)(unsigned, const uint8_t*, unsigned)) {
    set_can_send_function(*core_, fn);
}

void Morvane::set_send_can_callback_ex(void* fn) {
    set_can_send_callable(*core_, static_cast<send_can_callback*>(fn));
}

int Morvane::set_can_data_decode(unsigned id, const uint8_t* data, int len) {
    if (data == nullptr || len < 0) return kBadArgument;
    return decode_can(*core_, id, data, len);
}

int Morvane::get_pre_send_can_data(uint8_t* buffer, int* length) {
    // The monitor thread appends status requests to this buffer in dry run.
    return copy_pre_send_can(*core_, buffer, length);
}

// ---- identity and hand configuration ---------------------------------------------

int Morvane::get_firmware_version(float* version) {
    if (version == nullptr) return kBadArgument;
    *version = core_->firmware_version.load();
    return kOk;
}

int Morvane::get_serial_number(char* buffer, int length) {
    if (buffer == nullptr || length < 1) return kBadArgument;
    return morvx::get_serial_number(*core_, buffer, length);
}

int Morvane::get_dof(int* total, int* active) {
    if (total == nullptr || active == nullptr) return kBadArgument;
    *total = core_->total_joints.load();
    *active = core_->active_joints.load();
    return kOk;
}

int Morvane::set_hand_type(int hand_type) { return morvx::set_hand_type(*core_, hand_type); }

int Morvane::get_hand_type(int* hand_type) {
    if (hand_type == nullptr) return kBadArgument;
    *hand_type = core_->hand_type.load();
    return kOk;
}

int Morvane::set_hand_direction(int direction) { return morvx::set_hand_direction(*core_, direction); }

int Morvane::get_hand_direction(int* direction) {
    if (direction == nullptr) return kBadArgument;
    *direction = core_->hand_direction.load();
    return kOk;
}

// ---- device settings -----------------------------------------------------------------

int Morvane::set_safe_current_enable(int on) {
    if (on != 0 && on != 1) return kBadArgument;
    return morvx::set_safe_current_enable(*core_, on);
}
int Morvane::get_safe_current_enable(int* on) { return morvx::get_safe_current_enable(*core_, on); }
int Morvane::set_home_current(int current) { return morvx::set_home_current(*core_, current); }
int Morvane::get_home_current(int* current) { return morvx::get_home_current(*core_, current); }
int Morvane::set_can_node_id(int node_id) { return morvx::set_can_node_id(*core_, node_id); }
int Morvane::get_can_node_id(int* node_id) { return morvx::get_can_node_id(*core_, node_id); }
int Morvane::set_canfd_arb_baudrate(int baudrate) { return morvx::set_canfd_arb_baudrate(*core_, baudrate); }
int Morvane::get_canfd_arb_baudrate(int* baudrate) { return morvx::get_canfd_arb_baudrate(*core_, baudrate); }
int Morvane::set_canfd_data_baudrate(int baudrate) { return morvx::set_canfd_data_baudrate(*core_, baudrate); }
int Morvane::get_canfd_data_baudrate(int* baudrate) { return morvx::get_canfd_data_baudrate(*core_, baudrate); }
int Morvane::set_rs485_node_id(int node_id) { return morvx::set_rs485_node_id(*core_, node_id); }
int Morvane::get_rs485_node_id(int* node_id) { return morvx::get_rs485_node_id(*core_, node_id); }
int Morvane::set_rs485_baudrate(int baudrate) { return morvx::set_rs485_baudrate(*core_, baudrate); }
int Morvane::get_rs485_baudrate(int* baudrate) { return morvx::get_rs485_baudrate(*core_, baudrate); }

// ---- joint control and status -------------------------------------------------------

int Morvane::set_control_mode(int joint_id, int mode) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return morvx::set_control_mode(*core_, joint_id, mode);
}

int Morvane::get_control_mode(int joint_id, int* mode) {
    if (mode == nullptr || !single_joint_ok(*core_, joint_id)) return kBadArgument;
    *mode = core_->joint_mode[joint_id - 1];
    return kOk;
}

int Morvane::set_enable(int joint_id, int on) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return morvx::set_enable(*core_, joint_id, on);
}

int Morvane::get_enable(int joint_id, int* on) {
    if (on == nullptr) return kBadArgument;
    return morvx::get_enable(*core_, joint_id, on);
}

int Morvane::get_position_reached(int joint_id, int* reached) {
    if (reached == nullptr) return kBadArgument;
    return morvx::get_position_reached(*core_, joint_id, reached);
}

int Morvane::get_torque_reached(int joint_id, int* reached) {
    return morvx::get_torque_reached(*core_, joint_id, reached);
}

int Morvane::set_clear_alarm(int joint_id) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return clear_alarm(*core_, joint_id);
}

int Morvane::get_now_alarm(int joint_id, int* alarm) {
    if (alarm == nullptr || !single_joint_ok(*core_, joint_id)) return kBadArgument;
    // The alarm-code operation reads the run status and the alarm byte of the
    // same joint; it stores 0 unless the joint is in alarm (run status 2).
    return get_alarm_code(*core_, joint_id, alarm);
}

int Morvane::set_home_mode(int joint_id, int option_a, int option_b) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    // Nothing is sent: the options go out with the next mode command.
    return morvx::set_home_mode(*core_, joint_id, option_a, option_b);
}

int Morvane::set_move_no_home(int on) {
    core_->move_no_home.store(on == 1);
    return kOk;
}

int Morvane::set_angle_conversion_enable(int on) { return morvx::set_angle_conversion_enable(*core_, on); }
int Morvane::get_angle_conversion_enable(int* on) { return morvx::get_angle_conversion_enable(*core_, on); }

int Morvane::home_motors(int joint_id) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return home(*core_, joint_id);
}

int Morvane::get_limit_target_angle(int joint_id, float* min_angle, float* max_angle) {
    if (min_angle == nullptr || max_angle == nullptr || !single_joint_ok(*core_, joint_id)) return kBadArgument;
    *min_angle = core_->min_angle[joint_id - 1];
    *max_angle = core_->max_angle[joint_id - 1];
    return kOk;
}

int Morvane::move_motors(int joint_id) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return morvx::move_motors(*core_, joint_id);
}

int Morvane::stop_motors(int joint_id) {
    if (!joint_or_all_ok(*core_, joint_id)) return kBadArgument;
    return morvx::stop_motors(*core_, joint_id);
}

int Morvane::play_gesture(int gesture, int arg1, int arg2) { return morvx::play_gesture(*core_, gesture, arg1, arg2); }

int Morvane::get_now_status(int joint_id, int* status) {
    if (status == nullptr) return kBadArgument;
    return morvx::get_now_status(*core_, joint_id, status);
}

int Morvane::sync_position_to_target(int joint_id) { return morvx::sync_position_to_target(*core_, joint_id); }

// ---- targets -----------------------------------------------------------------------------

int Morvane::set_target_angle(int joint_id, float angle) { return morvx::set_target_angle(*core_, joint_id, angle); }
int Morvane::get_target_angle(int joint_id, float* angle) {
    return read_published(*core_, core_->target_angle, joint_id, angle);
}
int Morvane::set_target_position(int joint_id, int position) {
    return morvx::set_target_position(*core_, joint_id, position);
}
int Morvane::get_target_position(int joint_id, int* position) {
    return read_published(*core_, core_->target_position, joint_id, position);
}
int Morvane::set_velocity(int joint_id, float velocity) { return set_angular_velocity(joint_id, velocity); }
int Morvane::get_velocity(int joint_id, float* velocity) { return get_angular_velocity(joint_id, velocity); }
int Morvane::set_angular_velocity(int joint_id, float velocity) {
    return morvx::set_angular_velocity(*core_, joint_id, velocity);
}
int Morvane::get_angular_velocity(int joint_id, float* velocity) {
    return read_published(*core_, core_->angular_velocity, joint_id, velocity);
}
int Morvane::set_position_velocity(int joint_id, int velocity) {
    return morvx::set_position_velocity(*core_, joint_id, velocity);
}
int Morvane::get_position_velocity(int joint_id, int* velocity) {
    return read_published(*core_, core_->position_velocity, joint_id, velocity);
}
int Morvane::set_max_current(int joint_id, int current) { return morvx::set_max_current(*core_, joint_id, current); }
int Morvane::get_max_current(int joint_id, int* current) {
    return read_published(*core_, core_->max_current, joint_id, current);
}

// ---- measured values -------------------------------------------------------------------------

int Morvane::get_now_angle(int joint_id, float* angle) {
    return read_published(*core_, core_->now_angle, joint_id, angle);
}
int Morvane::get_now_position(int joint_id, int* position) {
    return read_published(*core_, core_->now_position, joint_id, position);
}
int Morvane::get_now_velocity(int joint_id, float* velocity) { return get_now_angular_velocity(joint_id, velocity); }
int Morvane::get_now_angular_velocity(int joint_id, float* velocity) {
    return read_published(*core_, core_->now_angular_velocity, joint_id, velocity);
}
int Morvane::get_now_position_velocity(int joint_id, int* velocity) {
    return read_published(*core_, core_->now_position_velocity, joint_id, velocity);
}
int Morvane::get_now_current(int joint_id, int* current) {
    return read_published(*core_, core_->now_current, joint_id, current);
}

// ---- tactile sensors -----------------------------------------------------------------------------

int Morvane::set_sensor_enable(int on) { return morvx::set_sensor_enable(*core_, on); }

// Format 1 puts every sensor channel on the 5-point layout; any other value
// restores the hand type's defaults. The channels are rebuilt either way.
int Morvane::set_sensor_data_format(int format) { return morvx::set_sensor_data_format(*core_, format); }

// Entries must be distinct channels 1..11; a refused order changes nothing,
// and the channels are not rebuilt.
int Morvane::set_sensor_order(const int* order, int count) { return morvx::set_sensor_order(*core_, order, count); }

int Morvane::get_finger_sensor_pos(int channel, float* x, float* y, int* count) {
    return morvx::get_finger_sensor_pos(*core_, channel, x, y, count);
}
int Morvane::get_finger_pressure(int channel, float* values, int* count) {
    return morvx::get_finger_pressure(*core_, channel, values, count);
}
int Morvane::set_finger_pressure_reset() { return morvx::set_finger_pressure_reset(*core_); }
int Morvane::get_finger_normal_force(int channel, float* value) {
    return morvx::get_finger_normal_force(*core_, channel, value);
}
int Morvane::get_finger_normal_force_ex(int channel, float* values, int* count) {
    return morvx::get_finger_normal_force_ex(*core_, channel, values, count);
}
int Morvane::get_finger_tangential_force(int channel, float* value) {
    return morvx::get_finger_tangential_force(*core_, channel, value);
}
int Morvane::get_finger_tangential_force_ex(int channel, float* values, int* count) {
    return morvx::get_finger_tangential_force_ex(*core_, channel, values, count);
}
int Morvane::get_finger_force_direction(int channel, float* value) {
    return morvx::get_finger_force_direction(*core_, channel, value);
}
int Morvane::get_finger_force_direction_ex(int channel, float* values, int* count) {
    return morvx::get_finger_force_direction_ex(*core_, channel, values, count);
}
int Morvane::get_finger_proximity(int channel, float* value) {
    return morvx::get_finger_proximity(*core_, channel, value);
}
int Morvane::get_finger_proximity_ex(int channel, float* values, int* count) {
    return morvx::get_finger_proximity_ex(*core_, channel, values, count);
}

// ---- drive parameters and OTA data ------------------------------------------------------------------

int Morvane::set_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned value) {
    return morvx::set_sdo_drive_param(*core_, index, sub_index, value);
}
int Morvane::get_sdo_drive_param(unsigned index, uint8_t sub_index, unsigned* value) {
    return morvx::get_sdo_drive_param(*core_, index, sub_index, value);
}
int Morvane::save_sdo_drive_param() { return morvx::save_sdo_drive_param(*core_); }
int Morvane::set_ota_send_data(const uint8_t* data, unsigned len) {
    return morvx::set_ota_send_data(*core_, data, len);
}
int Morvane::get_ota_recv_data(uint8_t* buffer, int* length) {
    return morvx::get_ota_recv_data(*core_, buffer, length);
}

// ---- frame log -----------------------------------------------------------------------------------------

void Morvane::log_on(bool on, int save_count) { core_->frame_log.log_on(on, save_count); }
int Morvane::log_send(int* codes, int count) { return core_->frame_log.set_filter(true, codes, count); }
int Morvane::log_recv(int* codes, int count) { return core_->frame_log.set_filter(false, codes, count); }
void Morvane::log_reset(bool send_filter, bool recv_filter) { core_->frame_log.reset(send_filter, recv_filter); }
int Morvane::log_save(const char* path) { return core_->frame_log.save(path); }
void Morvane::log_clear() { core_->frame_log.clear(); }
void Morvane::set_log_callback(void (*fn)(const char*)) { core_->frame_log.set_callback(fn); }

}  // namespace morvx
