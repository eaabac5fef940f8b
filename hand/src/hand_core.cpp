// Construction and destruction of the hand's state object.
#include "hand_core.h"

#include "hand_ops.h"

namespace morvx {

HandCore::HandCore(Morvane* owner) : owner_object(owner) {
    // Tactile block index -> channel number: the six fingertip channels of the
    // 6-joint hands; later entries map to channel 0 until set_sensor_order.
    static const int32_t kDefaultSensorMap[] = {1, 3, 5, 7, 9, 11};
    for (int i = 0; i < 6; ++i) sensor_map[i] = kDefaultSensorMap[i];

    home_option_b.fill(1);
    store_all(max_position, 10000);

    // Node addresses before any hand type is applied: joint slot i is node
    // i + 1; node 0 maps to slot 0.
    node_to_joint[0] = 0;
    for (int i = 0; i < kJointSlots; ++i) {
        joint_to_node[i] = i + 1;
        node_to_joint[i + 1] = i;
    }

    // Targets start independent of each other: 200 deg/s is not 20000 units/s.
    target_angle.reset_fill(0.0f);
    target_position.reset_fill(0);
    angular_velocity.reset_fill(200.0f);
    position_velocity.reset_fill(20000);
    max_current.reset_fill(400);
    status_byte.reset_fill(0);
    alarm_byte.reset_fill(0);
    raw_position.reset_fill(0);
    now_angle.reset_fill(0.0f);
    now_position.reset_fill(0);
    now_angular_velocity.reset_fill(0.0f);
    now_position_velocity.reset_fill(0);
    now_current.reset_fill(0);

    build_sensor_channels(*this, default_channel_formats(hand_type.load()));
}

HandCore::~HandCore() {
    // Morvane stops the monitor and detaches before it destroys the core;
    // repeating both here (each is idempotent) keeps a core destroyed any
    // other way from leaving a joinable thread or an endpoint that a bus
    // worker could still route to this object.
    stop_monitor(*this);
    if (monitor_thread.joinable()) monitor_thread.join();
    detach_rs485(*this);
    // A reply that raced a timed-out read can leave its promise parked in the
    // slot for the next read; nobody else will free it now.
    delete pending_read.exchange(nullptr);
}

namespace {

template <typename T>
void copy_published(DoubleBuffer<T>& to, const DoubleBuffer<T>& from) {
    for (int i = 0; i < kJointSlots; ++i) to.write(static_cast<std::size_t>(i), from.read(static_cast<std::size_t>(i)));
    to.publish();
}

}  // namespace

void copy_configuration(HandCore& to, const HandCore& from) {
    if (&to == &from) return;
    to.dry_run.store(from.dry_run.load());
    to.hand_type.store(from.hand_type.load());
    to.total_joints.store(from.total_joints.load());
    to.active_joints.store(from.active_joints.load());
    to.hand_direction.store(from.hand_direction.load());
    to.firmware_version.store(from.firmware_version.load());
    to.serial_number = from.serial_number;
    to.canfd_node_id.store(from.canfd_node_id.load());
    to.rs485_node_id.store(from.rs485_node_id.load());

    copy_table(to.sensor_map, from.sensor_map);
    to.joint_mode = from.joint_mode;
    to.home_option_a = from.home_option_a;
    to.home_option_b = from.home_option_b;
    to.joint_command = from.joint_command;
    copy_table(to.min_angle, from.min_angle);
    copy_table(to.max_angle, from.max_angle);
    copy_table(to.min_position, from.min_position);
    copy_table(to.max_position, from.max_position);
    copy_table(to.joint_to_node, from.joint_to_node);
    copy_table(to.node_to_joint, from.node_to_joint);

    // Targets are configuration; measured values belong to the other hand's
    // device and are not copied.
    copy_published(to.target_angle, from.target_angle);
    copy_published(to.target_position, from.target_position);
    copy_published(to.angular_velocity, from.angular_velocity);
    copy_published(to.position_velocity, from.position_velocity);
    copy_published(to.max_current, from.max_current);

    to.sensor_enable.store(from.sensor_enable.load());
    to.move_no_home.store(from.move_no_home.load());
    to.angle_conversion.store(from.angle_conversion.load());

    // Channel formats decide the taxel layouts; rebuild the channels (their
    // readings start empty) rather than copy another hand's readings.
    ChannelFormats formats{};
    for (int ch = 0; ch < kJointSlots; ++ch) formats[ch] = from.channel_format[ch].load(std::memory_order_relaxed);
    build_sensor_channels(to, formats);

    // 256 filter bits per direction, as four 64-bit words.
    for (int w = 0; w < 4; ++w) {
        to.frame_log.set_filter_word(true, w, from.frame_log.filter_word(true, w));
        to.frame_log.set_filter_word(false, w, from.frame_log.filter_word(false, w));
    }
    to.frame_log.log_on(from.frame_log.enabled(), from.frame_log.save_count());
}

}  // namespace morvx
