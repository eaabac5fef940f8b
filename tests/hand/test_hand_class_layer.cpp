// The class layer of morvx::Morvane: argument checks, the methods with logic
// of their own, and the command bytes they put on the bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "hand_core.h"
#include "frame_recorder.h"
#include "hand_ops.h"
#include "morvane/morvane.h"

using namespace morvx;
using hand_test::Bytes;
using hand_test::FrameRecorder;

namespace {

// A 6-joint hand on CAN-FD node 1 whose frames are recorded. Initialised in
// dry run (no identification wait), then switched to sending.
struct CanFdHand : ::testing::Test {
    FrameRecorder rec;  // outlives the hand, which points at its callable
    Morvane hand;

    void SetUp() override {
        hand.set_send_canfd_callback_ex(&rec.canfd);
        hand.set_dry_run_mode(true);
        ASSERT_EQ(hand.initial(1), 0);
        hand.close();
        hand.set_dry_run_mode(false);
        rec.clear();
    }

    // Publishes one joint's status and alarm bytes as the receive thread would.
    void report(int joint, uint8_t status, uint8_t alarm) {
        hand.core()->status_byte.write(joint - 1, status);
        hand.core()->alarm_byte.write(joint - 1, alarm);
        hand.core()->status_byte.publish();
        hand.core()->alarm_byte.publish();
    }
};

}  // namespace

// ---- mode commands ------------------------------------------------------------------------

TEST_F(CanFdHand, SetEnableSendsNeutralThenEnableCommand) {
    ASSERT_EQ(hand.set_enable(2, 1), 0);
    const auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 2u);
    // [0x01, N, then per joint: mode byte (home option b = 1 in bits 5-6), command]
    const Bytes neutral = {0x01, 0x06, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00,
                           0x20, 0x00, 0x20, 0x00, 0x20, 0x00};
    const Bytes enable = {0x01, 0x06, 0x20, 0x00, 0x20, 0x01, 0x20, 0x00,
                          0x20, 0x00, 0x20, 0x00, 0x20, 0x00};
    EXPECT_EQ(frames[0].id, 0x501u);
    EXPECT_EQ(frames[0].data, neutral);
    EXPECT_EQ(frames[1].id, 0x501u);
    EXPECT_EQ(frames[1].data, enable);
    EXPECT_EQ(frames[1].flag, 0);
}

TEST_F(CanFdHand, SetEnableCommandByteFollowsTheSignOfOn) {
    const struct {
        int on;
        uint8_t command;
    } cases[] = {{0, 2}, {-5, 2}, {3, 1}, {1, 1}};
    for (const auto& c : cases) {
        rec.clear();
        ASSERT_EQ(hand.set_enable(4, c.on), 0);
        const auto frames = rec.frames();
        ASSERT_EQ(frames.size(), 2u);
        ASSERT_EQ(frames[1].data.size(), 14u);
        EXPECT_EQ(frames[1].data[2 + 2 * 3 + 1], c.command) << "on = " << c.on;
    }
}

TEST_F(CanFdHand, JointZeroAddressesAllTwentySevenSlots) {
    ASSERT_EQ(hand.set_control_mode(0, 2), 0);
    for (int i = 0; i < kJointSlots; ++i) EXPECT_EQ(hand.core()->joint_mode[i], 2) << i;
    const auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[2], 0x22);
    int m = 0;
    EXPECT_EQ(hand.get_control_mode(6, &m), 0);
    EXPECT_EQ(m, 2);
    EXPECT_EQ(hand.get_control_mode(7, &m), 1);
    EXPECT_EQ(hand.get_control_mode(0, &m), 1);
    EXPECT_EQ(hand.get_control_mode(1, nullptr), 1);

    ASSERT_EQ(hand.set_clear_alarm(0), 0);
    for (int i = 0; i < kJointSlots; ++i) {
        EXPECT_EQ(hand.core()->joint_mode[i], 0);
        EXPECT_EQ(hand.core()->joint_command[i], 3);
    }
}

TEST_F(CanFdHand, ControlModeKeepsTheLowByteAndTheCommand) {
    hand.core()->joint_command[1] = 4;
    ASSERT_EQ(hand.set_control_mode(2, 0x103), 0);
    int m = 0;
    ASSERT_EQ(hand.get_control_mode(2, &m), 0);
    EXPECT_EQ(m, 3);
    const auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[4], 0x23);  // mode 3 | home option b 1 << 5
    EXPECT_EQ(frames[0].data[5], 4) << "the command byte is left as it was";
}

TEST_F(CanFdHand, OutOfRangeJointsAreRefusedBeforeAnythingIsSent) {
    EXPECT_EQ(hand.set_control_mode(7, 1), 1);
    EXPECT_EQ(hand.set_control_mode(-1, 1), 1);
    EXPECT_EQ(hand.set_enable(7, 1), 1);
    EXPECT_EQ(hand.set_clear_alarm(-3), 1);
    EXPECT_EQ(hand.set_home_mode(7, 1, 1), 1);
    EXPECT_EQ(hand.home_motors(7), 1);
    EXPECT_EQ(hand.move_motors(7), 1);
    EXPECT_EQ(hand.move_motors(-1), 1);
    EXPECT_EQ(hand.stop_motors(7), 1);
    EXPECT_EQ(rec.count(), 0u);
    for (int i = 0; i < kJointSlots; ++i) EXPECT_EQ(hand.core()->joint_mode[i], 0);
}

TEST_F(CanFdHand, HomeOptionsWaitForTheNextModeCommand) {
    ASSERT_EQ(hand.set_home_mode(0, 2, 3), 0);
    EXPECT_EQ(rec.count(), 0u);
    for (int i = 0; i < kJointSlots; ++i) {
        EXPECT_EQ(hand.core()->home_option_a[i], 2);
        EXPECT_EQ(hand.core()->home_option_b[i], 3);
    }
    ASSERT_EQ(hand.set_control_mode(1, 1), 0);
    const auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data[2], 0x71);  // mode 1 | a 2 << 3 | b 3 << 5
    EXPECT_EQ(frames[0].data[4], 0x70);
}

TEST_F(CanFdHand, MoveResetsModesOnlyWhenOneIsSet) {
    ASSERT_EQ(hand.set_move_no_home(1), 0);
    ASSERT_EQ(hand.move_motors(0), 0);
    auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 1u) << "all modes were 0: no mode command first";
    EXPECT_EQ(frames[0].data[0], 0x0B);

    hand.core()->joint_mode[20] = 4;  // a slot beyond the active joints counts too
    hand.core()->joint_command[3] = 1;
    rec.clear();
    ASSERT_EQ(hand.move_motors(1), 0);
    frames = rec.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data[0], 0x01);
    EXPECT_EQ(frames[1].data[0], 0x0B);
    for (int i = 0; i < kJointSlots; ++i) {
        EXPECT_EQ(hand.core()->joint_mode[i], 0);
        EXPECT_EQ(hand.core()->joint_command[i], 0);
    }
}

TEST_F(CanFdHand, MoveRefusedWhenNotHomed) {
    ASSERT_EQ(hand.set_target_position(0, 4000), 0);
    EXPECT_EQ(hand.move_motors(0), 11);
    EXPECT_EQ(rec.count(), 0u);
    int p = -1;
    hand.get_target_position(3, &p);
    EXPECT_EQ(p, 0);
}

TEST_F(CanFdHand, StopSendsCommandsSevenThenEight) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(hand.stop_motors(0), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    const auto frames = rec.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data[3], 7);
    EXPECT_EQ(frames[1].data[3], 8);
    EXPECT_EQ(frames[1].data[2], 0x20) << "mode 0";
}

// ---- getters and checks -------------------------------------------------------------------

TEST_F(CanFdHand, PublishedGettersCheckJointAndPointer) {
    int p = 0;
    float f = 0;
    EXPECT_EQ(hand.get_now_position(0, &p), 1);
    EXPECT_EQ(hand.get_now_position(7, &p), 1);
    EXPECT_EQ(hand.get_now_position(1, nullptr), 1);
    EXPECT_EQ(hand.get_now_angle(6, &f), 0);
    EXPECT_EQ(hand.get_now_current(-1, &p), 1);
    EXPECT_EQ(hand.get_target_angle(7, &f), 1);
    EXPECT_EQ(hand.get_velocity(1, nullptr), 1);
    EXPECT_EQ(hand.get_enable(0, &p), 1);
    EXPECT_EQ(hand.get_enable(7, &p), 1);
    EXPECT_EQ(hand.get_enable(1, nullptr), 1);
    EXPECT_EQ(hand.get_now_status(1, nullptr), 1);
    EXPECT_EQ(hand.get_position_reached(1, nullptr), 1);
    EXPECT_EQ(hand.get_torque_reached(1, nullptr), 1);
    float lo, hi;
    EXPECT_EQ(hand.get_limit_target_angle(1, nullptr, &hi), 1);
    EXPECT_EQ(hand.get_limit_target_angle(7, &lo, &hi), 1);
    EXPECT_EQ(hand.get_dof(nullptr, &p), 1);
    EXPECT_EQ(hand.get_firmware_version(nullptr), 1);
    EXPECT_EQ(hand.get_hand_type(nullptr), 1);
    EXPECT_EQ(hand.get_hand_direction(nullptr), 1);
    EXPECT_EQ(hand.get_angle_conversion_enable(nullptr), 1);

    // One joint published by the "receive thread" reads back through G1.
    hand.core()->now_position.write(5, 1234);
    hand.core()->now_position.publish();
    ASSERT_EQ(hand.get_now_position(6, &p), 0);
    EXPECT_EQ(p, 1234);
}

TEST_F(CanFdHand, AlarmCodeOnlyForJointsInAlarm) {
    int a = -1, s = -1;
    report(2, 0x5B, 0);  // run status 2, enabled, reached, torque, homed
    ASSERT_EQ(hand.get_now_status(2, &s), 0);
    EXPECT_EQ(s, 2);
    ASSERT_EQ(hand.get_now_alarm(2, &a), 0);
    EXPECT_EQ(a, 9) << "an alarm without code reads as 9";
    report(2, 0x5B, 0x21);
    ASSERT_EQ(hand.get_now_alarm(2, &a), 0);
    EXPECT_EQ(a, 0x21);
    report(3, 0xC1, 0x21);  // run status 6
    a = -1;
    ASSERT_EQ(hand.get_now_alarm(3, &a), 0);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(hand.get_now_alarm(0, &a), 1);
    EXPECT_EQ(hand.get_now_alarm(7, &a), 1);
    EXPECT_EQ(hand.get_now_alarm(1, nullptr), 1);
}

TEST_F(CanFdHand, PreSendContract) {
    ASSERT_EQ(hand.set_control_mode(1, 0), 0);  // keeps a 14-byte body
    int n = -1;
    EXPECT_EQ(hand.get_pre_send_canfd_data(nullptr, nullptr), 1);
    ASSERT_EQ(hand.get_pre_send_canfd_data(nullptr, &n), 0);
    EXPECT_EQ(n, 14);
    uint8_t buf[32];
    std::memset(buf, 0xA5, sizeof buf);
    n = -1;
    EXPECT_EQ(hand.get_pre_send_canfd_data(buf, &n), 1);
    n = 0;
    ASSERT_EQ(hand.get_pre_send_canfd_data(buf, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(buf[0], 0xA5);
    n = 3;
    ASSERT_EQ(hand.get_pre_send_canfd_data(buf, &n), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0x06);
    EXPECT_EQ(buf[3], 0xA5);
    n = 32;
    ASSERT_EQ(hand.get_pre_send_canfd_data(buf, &n), 0);
    EXPECT_EQ(n, 14);
    EXPECT_EQ(buf[14], 0xA5);
    // Nothing was built for the other buses.
    ASSERT_EQ(hand.get_pre_send_rpdo_data(nullptr, &n), 0);
    EXPECT_EQ(n, 0);
    ASSERT_EQ(hand.get_pre_send_can_data(nullptr, &n), 0);
    EXPECT_EQ(n, 0);
    ASSERT_EQ(hand.get_pre_send_rs485_data(nullptr, &n), 0);
    EXPECT_EQ(n, 0);
}

TEST(HandClassLayer, DecodeEntryPointsRefuseNullAndNegativeLengths) {
    Morvane hand;
    const uint8_t byte = 0;
    EXPECT_EQ(hand.set_tpdo_data_decode(nullptr, 0), 1);
    EXPECT_EQ(hand.set_tpdo_data_decode(&byte, -1), 1);
    EXPECT_EQ(hand.set_canfd_data_decode(0x481, nullptr, 4), 1);
    EXPECT_EQ(hand.set_canfd_data_decode(0x481, &byte, -1), 1);
    EXPECT_EQ(hand.set_rs485_data_decode(nullptr, 1), 1);
    EXPECT_EQ(hand.set_rs485_data_decode(&byte, -2), 1);
    EXPECT_EQ(hand.set_can_data_decode(0x101, nullptr, 1), 1);
    EXPECT_EQ(hand.set_can_data_decode(0x101, &byte, -1), 1);
}

TEST(HandClassLayer, SensorOrder) {
    Morvane hand;
    const auto& map = hand.core()->sensor_map;
    const int dup[] = {1, 1};
    EXPECT_EQ(hand.set_sensor_order(dup, 2), 1);
    EXPECT_EQ(map[0], 1);
    EXPECT_EQ(map[1], 3);
    const int thirteen[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 2};
    EXPECT_EQ(hand.set_sensor_order(thirteen, 13), 1);
    const int zero[] = {0};
    const int twelve[] = {12};
    EXPECT_EQ(hand.set_sensor_order(zero, 1), 1);
    EXPECT_EQ(hand.set_sensor_order(twelve, 1), 1);
    EXPECT_EQ(hand.set_sensor_order(nullptr, 1), 1);
    EXPECT_EQ(hand.set_sensor_order(dup, 0), 1);
    const int late_bad[] = {2, 4, 99};
    EXPECT_EQ(hand.set_sensor_order(late_bad, 3), 1);
    EXPECT_EQ(map[0], 1) << "a refused order changes nothing";

    const int order[] = {11, 2};
    ASSERT_EQ(hand.set_sensor_order(order, 2), 0);
    const int32_t expected[6] = {11, 2, 5, 7, 9, 11};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(map[i], expected[i]) << i;
    EXPECT_EQ(map[6], 0);
}

TEST(HandClassLayer, HandTypeRestoresDefaultSensorFormats) {
    Morvane hand;
    ASSERT_EQ(hand.set_sensor_data_format(1), 0);
    ASSERT_EQ(hand.core()->channel_format[3], 2);
    ASSERT_EQ(hand.set_hand_type(0), 0);
    for (int ch = 1; ch <= 10; ++ch) EXPECT_EQ(hand.core()->channel_format[ch], 1) << ch;
    EXPECT_EQ(hand.core()->channel_format[11], 0);
}

TEST(HandClassLayer, SerialNumberCopyRules) {
    Morvane hand;
    hand.core()->serial_number = "1A00020100000000100300";
    char buf[32];
    EXPECT_EQ(hand.get_serial_number(buf, 0), 1);
    EXPECT_EQ(hand.get_serial_number(nullptr, 8), 1);
    std::memset(buf, 0xA5, sizeof buf);
    ASSERT_EQ(hand.get_serial_number(buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(static_cast<uint8_t>(buf[1]), 0xA5);
    std::memset(buf, 0xA5, sizeof buf);
    ASSERT_EQ(hand.get_serial_number(buf, 5), 0);
    EXPECT_STREQ(buf, "1A00");
    EXPECT_EQ(static_cast<uint8_t>(buf[5]), 0xA5);
    std::memset(buf, 0xA5, sizeof buf);
    ASSERT_EQ(hand.get_serial_number(buf, 30), 0);
    EXPECT_STREQ(buf, "1A00020100000000100300");
    for (int i = 22; i < 30; ++i) EXPECT_EQ(buf[i], 0) << i;
    EXPECT_EQ(static_cast<uint8_t>(buf[30]), 0xA5);
}

TEST(HandClassLayer, SmallSettersAndFlags) {
    Morvane hand;
    EXPECT_EQ(hand.set_safe_current_enable(2), 1);
    EXPECT_EQ(hand.set_safe_current_enable(-1), 1);
    ASSERT_EQ(hand.set_move_no_home(2), 0);
    EXPECT_FALSE(hand.core()->move_no_home.load());
    ASSERT_EQ(hand.set_move_no_home(1), 0);
    EXPECT_TRUE(hand.core()->move_no_home.load());
    hand.set_dry_run_mode(true);
    EXPECT_TRUE(hand.get_dry_run_mode());
    ASSERT_EQ(hand.set_hand_direction(1), 0);
    int d = 0;
    ASSERT_EQ(hand.get_hand_direction(&d), 0);
    EXPECT_EQ(d, 1);

    ASSERT_EQ(hand.set_sensor_data_format(1), 0);
    for (int ch = 1; ch <= 11; ++ch) EXPECT_EQ(hand.core()->channel_format[ch], 2) << ch;
    EXPECT_EQ(hand.core()->channel_format[0], 0);
    ASSERT_EQ(hand.set_sensor_data_format(7), 0);
    for (int ch = 1; ch <= 10; ++ch) EXPECT_EQ(hand.core()->channel_format[ch], 1) << ch;
    EXPECT_EQ(hand.core()->channel_format[11], 0);

    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_velocity(1, 60.0f), 0);
    float w = 0;
    int pv = 0;
    ASSERT_EQ(hand.get_angular_velocity(1, &w), 0);
    ASSERT_EQ(hand.get_velocity(1, &w), 0);
    EXPECT_EQ(w, 60.0f);
    ASSERT_EQ(hand.get_position_velocity(1, &pv), 0);
    EXPECT_EQ(pv, 10000);
}
