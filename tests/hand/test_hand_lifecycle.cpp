// Construction values and initial(): node ids, bus kinds, identification
// without a device, and attachment to RS485 bus contexts.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "hand_core.h"
#include "frame_recorder.h"
#include "hand_ops.h"
#include "morvane/morvane.h"
#include "rs485_bus_context.h"

using namespace morvx;
using hand_test::FrameRecorder;

TEST(HandConstruction, PublicValuesOfANewHand) {
    Morvane hand;
    const HandCore& h = *hand.core();
    EXPECT_EQ(h.bus_kind.load(), -1);
    int total = 0, active = 0, type = -7, dir = -7;
    ASSERT_EQ(hand.get_dof(&total, &active), 0);
    EXPECT_EQ(total, 11);
    EXPECT_EQ(active, 6);
    ASSERT_EQ(hand.get_hand_type(&type), 0);
    EXPECT_EQ(type, 0);
    ASSERT_EQ(hand.get_hand_direction(&dir), 0);
    EXPECT_EQ(dir, 0);
    float fw = -1.0f;
    ASSERT_EQ(hand.get_firmware_version(&fw), 0);
    EXPECT_EQ(fw, 0.0f);
    char serial[8];
    std::memset(serial, 0xA5, sizeof serial);
    ASSERT_EQ(hand.get_serial_number(serial, sizeof serial), 0);
    for (char c : serial) EXPECT_EQ(c, 0);
    EXPECT_FALSE(hand.get_dry_run_mode());
    for (int j = 1; j <= 6; ++j) {
        float w = 0;
        int pv = 0, cur = 0, pos = -1;
        ASSERT_EQ(hand.get_angular_velocity(j, &w), 0);
        ASSERT_EQ(hand.get_position_velocity(j, &pv), 0);
        ASSERT_EQ(hand.get_max_current(j, &cur), 0);
        ASSERT_EQ(hand.get_target_position(j, &pos), 0);
        EXPECT_EQ(w, 200.0f) << "joint " << j;
        EXPECT_EQ(pv, 20000) << "joint " << j;
        EXPECT_EQ(cur, 400) << "joint " << j;
        EXPECT_EQ(pos, 0) << "joint " << j;
    }
}

TEST(HandConstruction, InternalTables) {
    Morvane hand;
    const HandCore& h = *hand.core();
    const int32_t map[6] = {1, 3, 5, 7, 9, 11};
    for (int i = 0; i < kJointSlots; ++i) {
        EXPECT_EQ(h.sensor_map[i], i < 6 ? map[i] : 0) << i;
        EXPECT_EQ(h.home_option_a[i], 0);
        EXPECT_EQ(h.home_option_b[i], 1);
        EXPECT_EQ(h.joint_mode[i], 0);
        EXPECT_EQ(h.joint_command[i], 0);
        EXPECT_EQ(h.min_position[i], 0);
        EXPECT_EQ(h.max_position[i], 10000);
        EXPECT_EQ(h.min_angle[i], 0.0f);
        EXPECT_EQ(h.max_angle[i], 0.0f);
        EXPECT_EQ(h.joint_to_node[i].load(), i + 1);
        EXPECT_EQ(h.node_to_joint[i + 1].load(), i);
        // Full blocks on channels 1..10, a packed block on 11, nothing else.
        EXPECT_EQ(h.channel_format[i], (i >= 1 && i <= 10) ? 1 : 0) << i;
    }
    EXPECT_EQ(h.node_to_joint[0].load(), 0);
    const std::array<std::pair<int32_t, int32_t>, 5> pairs{{{1, 2}, {4, 5}, {7, 8}, {10, 11}, {13, 14}}};
    EXPECT_EQ(h.coupled_pairs, pairs);
    EXPECT_EQ(h.sensor_channels.size(), 12u);
    for (const auto& c : h.sensor_channels) EXPECT_EQ(c.sequence.load(), 0u) << "no block yet";
    EXPECT_TRUE(h.angle_conversion.load());
    EXPECT_FALSE(h.move_no_home.load());
    EXPECT_FALSE(h.sensor_enable.load());
    EXPECT_FALSE(h.running.load());
    EXPECT_EQ(h.canfd_node_id.load(), 1);
    EXPECT_EQ(h.rs485_node_id.load(), 1);
}

TEST(HandInitial, NodeIdOf256OrMoreChangesNothing) {
    Morvane hand;
    EXPECT_EQ(hand.initial(1, 256), 1);
    EXPECT_EQ(hand.initial(3, 300), 1);
    EXPECT_EQ(hand.initial(2, 0xFFFFFFFFu), 1);
    EXPECT_EQ(hand.core()->canfd_node_id.load(), 1);
    EXPECT_EQ(hand.core()->rs485_node_id.load(), 1);
    EXPECT_EQ(hand.core()->bus_kind.load(), -1);
    EXPECT_FALSE(hand.core()->running.load());
}

TEST(HandInitial, NodeIdGoesOnlyToItsOwnBus) {
    Morvane hand;
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(0, 5), 0);
    EXPECT_EQ(hand.core()->canfd_node_id.load(), 1);
    EXPECT_EQ(hand.core()->rs485_node_id.load(), 1);
    EXPECT_EQ(hand.core()->bus_kind.load(), 0);
    ASSERT_EQ(hand.initial(1, 7), 0);
    EXPECT_EQ(hand.core()->canfd_node_id.load(), 7);
    EXPECT_EQ(hand.core()->rs485_node_id.load(), 1);
    hand.close();
}

TEST(HandInitial, DryRunSendsNothingAndStartsTheMonitor) {
    FrameRecorder rec;
    Morvane hand;
    hand.set_send_canfd_callback_ex(&rec.canfd);
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(1, 3), 0);
    EXPECT_TRUE(hand.core()->running.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rec.count(), 0u);
    // The report selection was still built: kept for the pre-send getter.
    int n = -1;
    ASSERT_EQ(hand.get_pre_send_canfd_data(nullptr, &n), 0);
    EXPECT_GT(n, 0);
    hand.close();
    EXPECT_FALSE(hand.core()->running.load());
    hand.close();  // a second close does nothing
}

TEST(HandInitial, ClassicCanAllowsMovesWithoutHomingAndAsksNothing) {
    FrameRecorder rec;
    Morvane hand;
    hand.set_send_can_callback_ex(&rec.can);
    hand.set_send_canfd_callback_ex(&rec.canfd);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(hand.initial(3), 0);
    // No identification on classic CAN: no 200 ms parameter wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_TRUE(hand.core()->move_no_home.load());
    EXPECT_TRUE(hand.core()->running.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The 6-joint hand is never polled on classic CAN.
    EXPECT_EQ(rec.count(), 0u);
    hand.close();
}

TEST(HandInitial, SilentCanFdDeviceStillInitialises) {
    Morvane hand;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(hand.initial(1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    char serial[4] = {'x', 'x', 'x', 'x'};
    ASSERT_EQ(hand.get_serial_number(serial, 4), 0);
    EXPECT_EQ(serial[0], 0);
    float fw = -1;
    hand.get_firmware_version(&fw);
    EXPECT_EQ(fw, 0.0f);
    EXPECT_EQ(hand.core()->hand_type.load(), 0);
    EXPECT_TRUE(hand.core()->running.load());
    hand.close();
}

TEST(HandInitial, InitialAppliesTheHandTypeAndRestoresChannelFormats) {
    Morvane hand;
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.set_sensor_data_format(1), 0);
    EXPECT_EQ(hand.core()->channel_format[11], 2);
    ASSERT_EQ(hand.initial(0), 0);
    EXPECT_EQ(hand.core()->channel_format[11], 0) << "the format chosen before initial is lost";
    EXPECT_EQ(hand.core()->channel_format[1], 1);
    float lo = -1, hi = -1;
    ASSERT_EQ(hand.get_limit_target_angle(1, &lo, &hi), 0);
    EXPECT_EQ(hi, 60.0f);
    hand.close();
}

// ---- RS485 contexts --------------------------------------------------------------------

TEST(HandRs485, PrivateContextIsDroppedWhenLeavingRs485) {
    Morvane hand;
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(2, 9), 0);
    HandCore& h = *hand.core();
    ASSERT_TRUE(h.bus_context);
    ASSERT_TRUE(h.bus_endpoint);
    EXPECT_FALSE(h.bus_given);
    EXPECT_EQ(h.bus_endpoint->node_id, 9);
    EXPECT_EQ(h.rs485_node_id.load(), 9);
    ASSERT_EQ(hand.initial(1), 0);
    EXPECT_FALSE(h.bus_context);
    EXPECT_FALSE(h.bus_endpoint);
    hand.close();
}

TEST(HandRs485, ReinitialOnRs485KeepsOneRegistration) {
    Morvane hand;
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(2, 4), 0);
    auto ctx = hand.core()->bus_context;
    ASSERT_EQ(hand.initial(2, 4), 0) << "the hand's own earlier endpoint must not refuse it";
    EXPECT_EQ(hand.core()->bus_context, ctx);
    hand.close();
}

TEST(HandRs485, SameNodeIdTwiceOnOneSharedBusIsRefused) {
    RS485SharedBus bus;
    Morvane a, b;
    a.set_dry_run_mode(true);
    b.set_dry_run_mode(true);
    a.set_rs485_shared_bus(&bus);
    b.set_rs485_shared_bus(&bus);
    ASSERT_EQ(a.initial(2, 3), 0);
    EXPECT_EQ(b.initial(2, 3), 1);
    EXPECT_FALSE(b.core()->running.load()) << "a refused initial leaves the monitor stopped";
    EXPECT_FALSE(b.core()->bus_endpoint);
    EXPECT_EQ(b.initial(2, 4), 0);
    EXPECT_TRUE(a.core()->bus_given);
    EXPECT_EQ(a.core()->bus_context, b.core()->bus_context);
    a.close();
    b.close();
}

TEST(HandRs485, ClosedSharedBusGivesFive) {
    RS485SharedBus bus;
    Morvane hand;
    hand.set_dry_run_mode(true);
    hand.set_rs485_shared_bus(&bus);
    bus.close();
    EXPECT_EQ(hand.initial(2, 1), 5);
    EXPECT_FALSE(hand.core()->running.load());
}

TEST(HandRs485, NullSharedBusReturnsToAPrivateContext) {
    RS485SharedBus bus;
    Morvane hand;
    hand.set_dry_run_mode(true);
    hand.set_rs485_shared_bus(&bus);
    ASSERT_EQ(hand.initial(2, 1), 0);
    auto shared = hand.core()->bus_context;
    hand.set_rs485_shared_bus(nullptr);
    EXPECT_FALSE(hand.core()->running.load());
    EXPECT_FALSE(hand.core()->bus_context);
    EXPECT_FALSE(hand.core()->bus_given);
    ASSERT_EQ(hand.initial(2, 1), 0);
    ASSERT_TRUE(hand.core()->bus_context);
    EXPECT_NE(hand.core()->bus_context, shared);
    EXPECT_FALSE(hand.core()->bus_given);
    hand.close();
}

TEST(HandRs485, HandOutlivingItsSharedBusObject) {
    Morvane hand;
    hand.set_dry_run_mode(true);
    {
        RS485SharedBus bus;
        hand.set_rs485_shared_bus(&bus);
        ASSERT_EQ(hand.initial(2, 2), 0);
    }
    // The context lives on (closed) while the hand holds it; destruction
    // detaches cleanly.
    EXPECT_TRUE(hand.core()->bus_context);
    EXPECT_EQ(hand.initial(2, 2), 5);
}

TEST(HandRs485, PrivateContextSendsThroughTheHandsFunction) {
    FrameRecorder rec;
    Morvane hand;
    hand.set_send_rs485_callback_ex(&rec.data);
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(2, 1), 0);
    hand.close();  // stop polling so only our command goes out
    hand.set_dry_run_mode(false);
    ASSERT_EQ(hand.set_control_mode(1, 2), 0);
    // The caller waits for the transmission, so the frame is out already.
    ASSERT_GE(rec.count(), 1u);
    const auto frames = rec.frames();
    ASSERT_GE(frames.back().data.size(), 4u);
    EXPECT_EQ(frames.back().data[0], 0x50) << "commands use function code 0x500";
    EXPECT_EQ(frames.back().data[1], 0x01) << "node id";
    EXPECT_EQ(frames.back().data[2], 0x81) << "mode command";
}

TEST(HandRs485, DestroyedHandFreesItsNodeId) {
    RS485SharedBus bus;
    {
        Morvane first;
        first.set_dry_run_mode(true);
        first.set_rs485_shared_bus(&bus);
        ASSERT_EQ(first.initial(2, 3), 0);
    }
    Morvane second;
    second.set_dry_run_mode(true);
    second.set_rs485_shared_bus(&bus);
    EXPECT_EQ(second.initial(2, 3), 0);
    second.close();
}

TEST(HandRs485, NewSendFunctionReachesThePrivateContext) {
    FrameRecorder before, after;
    Morvane hand;
    hand.set_send_rs485_callback_ex(&before.data);
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(2, 1), 0);
    hand.close();
    hand.set_dry_run_mode(false);
    hand.set_send_rs485_callback_ex(&after.data);
    ASSERT_EQ(hand.set_control_mode(1, 2), 0);
    EXPECT_EQ(before.count(), 0u);
    EXPECT_GE(after.count(), 1u);
    // Null: frames are still built but go nowhere.
    hand.set_send_rs485_callback(nullptr);
    after.clear();
    ASSERT_EQ(hand.set_control_mode(1, 0), 0);
    EXPECT_EQ(after.count(), 0u);
    int n = 0;
    ASSERT_EQ(hand.get_pre_send_rs485_data(nullptr, &n), 0);
    EXPECT_GT(n, 0);
}

TEST(HandRs485, SharedBusUsesTheBusFunctionNotTheHands) {
    FrameRecorder line, own;
    RS485SharedBus bus;
    bus.set_send_callback_ex(&line.data);
    Morvane hand;
    hand.set_send_rs485_callback_ex(&own.data);
    hand.set_rs485_shared_bus(&bus);
    hand.set_dry_run_mode(true);
    ASSERT_EQ(hand.initial(2, 5), 0);
    hand.close();
    hand.set_dry_run_mode(false);
    hand.set_send_rs485_callback_ex(&own.data);  // ignored with a shared bus
    ASSERT_EQ(hand.set_control_mode(2, 1), 0);
    EXPECT_EQ(own.count(), 0u);
    ASSERT_GE(line.count(), 1u);
    EXPECT_EQ(line.frames().back().data[1], 5) << "node id of the hand";
}

// ---- copy assignment -----------------------------------------------------------------------

TEST(HandCopy, AssignmentCopiesConfigurationNotConnections) {
    FrameRecorder rec;
    Morvane a;
    a.set_send_canfd_callback_ex(&rec.canfd);
    a.set_dry_run_mode(true);
    ASSERT_EQ(a.initial(2, 6), 0);
    ASSERT_EQ(a.set_hand_type(2), 0);
    ASSERT_EQ(a.set_target_position(2, -3000), 0);
    ASSERT_EQ(a.set_max_current(0, 321), 0);
    ASSERT_EQ(a.set_home_mode(3, 2, 3), 0);
    a.log_on(true, 123);

    Morvane b;
    b = a;
    EXPECT_TRUE(b.core()->frame_log.enabled());
    EXPECT_EQ(b.core()->frame_log.save_count(), 123);
    int total = 0, active = 0, pos = 0, cur = 0;
    b.get_dof(&total, &active);
    EXPECT_EQ(active, 16);
    ASSERT_EQ(b.get_target_position(2, &pos), 0);
    EXPECT_EQ(pos, -3000);
    ASSERT_EQ(b.get_max_current(16, &cur), 0);
    EXPECT_EQ(cur, 321);
    EXPECT_EQ(b.core()->home_option_a[2], 2);
    EXPECT_EQ(b.core()->rs485_node_id.load(), 6);
    EXPECT_TRUE(b.get_dry_run_mode());
    // Never the connection: no callable, no context, no endpoint, no monitor.
    EXPECT_EQ(b.core()->active_send_canfd, nullptr);
    EXPECT_FALSE(b.core()->bus_context);
    EXPECT_FALSE(b.core()->bus_endpoint);
    EXPECT_FALSE(b.core()->running.load());
    EXPECT_NE(a.core(), b.core());
    Morvane& same = b;
    b = same;  // self-assignment keeps everything
    b.get_dof(&total, &active);
    EXPECT_EQ(active, 16);
    a.close();
}
