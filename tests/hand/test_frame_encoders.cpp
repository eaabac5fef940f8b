// Command frames on all four buses against hand-written golden bytes.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "frame_bodies.h"
#include "protocol_helpers.h"
#include "rs485_bus_context.h"
#include "test_frame_support.h"

namespace morvx {
namespace test {
namespace {

using EncoderTest = HandFixture;

// Six joints: positions, position velocities and currents chosen so that each
// field's encoding (truncating /10, two's complement) shows.
void load_motion_targets(HandCore& h) {
    const int32_t pos[6] = {1000, 2000, 0, 10000, 500, -3000};
    const int32_t vel[6] = {20000, 19, 20000, 20000, 20000, -25};
    const int32_t cur[6] = {400, 400, 1, 400, 400, 400};
    for (int i = 0; i < 6; ++i) {
        h.target_position.write(i, pos[i]);
        h.position_velocity.write(i, vel[i]);
        h.max_current.write(i, cur[i]);
    }
    h.target_position.publish();
    h.position_velocity.publish();
    h.max_current.publish();
}

const Bytes kMotionFields = {
    0xE8, 0x03, 0xD0, 0x07, 0x90, 0x01,  // 1000, 2000, 400
    0xD0, 0x07, 0x01, 0x00, 0x90, 0x01,  // 2000, 1, 400
    0x00, 0x00, 0xD0, 0x07, 0x01, 0x00,  // 0, 2000, 1
    0x10, 0x27, 0xD0, 0x07, 0x90, 0x01,  // 10000, 2000, 400
    0xF4, 0x01, 0xD0, 0x07, 0x90, 0x01,  // 500, 2000, 400
    0x48, 0xF4, 0x00, 0x00, 0x90, 0x01,  // -3000, 0 (negative velocity saturates), 400
};

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(EncoderTest, CanfdMotionIsUnpaddedOnNodeIdPlus0x500) {
    make_hand(1);
    hand->canfd_node_id = 3;
    load_motion_targets(*hand);
    build_canfd_request(*hand, kMotion);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, 0x503u);
    EXPECT_EQ(f[0].flag, 0);
    EXPECT_EQ(f[0].data, concat({0x0B, 0x06}, kMotionFields));
    EXPECT_EQ(f[0].data.size(), 38u);
    EXPECT_EQ(hand->last_canfd, f[0].data);
}

// A u16 field must not wrap: 700000 units/s would otherwise go out as
// 70000 & 0xFFFF = 4464, a far slower (or, negative, a far faster) joint.
TEST_F(EncoderTest, MotionVelocityAndCurrentSaturateInsteadOfWrapping) {
    make_hand(1);
    hand->position_velocity.write(0, 700000);
    hand->max_current.write(0, 70000);
    hand->max_current.write(1, -1);
    hand->position_velocity.publish();
    hand->max_current.publish();
    const Bytes body = build_motion_body(*hand, 0x0B);
    ASSERT_GE(body.size(), 14u);
    EXPECT_EQ(Bytes(body.begin() + 4, body.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(body.begin() + 12, body.begin() + 14), (Bytes{0x00, 0x00}));
}

TEST_F(EncoderTest, EthercatImagesAreAlways64Bytes) {
    make_hand(0);
    load_motion_targets(*hand);
    build_rpdo_request(*hand, kMotion);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].data, padded(concat({0x0B, 0x06}, kMotionFields), 64));
    EXPECT_EQ(hand->last_rpdo, f[0].data);
}

TEST_F(EncoderTest, SixteenJointMotionIsCutOnEthercatAndWholeOnCanfd) {
    make_hand(1, 2);
    build_canfd_request(*hand, kMotion);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.frames()[0].data.size(), 98u);
    EXPECT_EQ(rec.frames()[0].data[1], 16);

    hand->bus_kind = 0;
    rec.clear();
    build_rpdo_request(*hand, kMotion);
    ASSERT_EQ(rec.count(), 1u);
    Bytes image = rec.frames()[0].data;
    ASSERT_EQ(image.size(), 64u);
    // Joint 10's current field ends at byte 61; joint 11's position is cut.
    EXPECT_EQ(image[0], 0x0B);
    EXPECT_EQ(image[62], 0x00);  // target position 0 of joint 11
    EXPECT_EQ(image[61], 0x01);  // high byte of joint 10's current 400
    EXPECT_EQ(image[60], 0x90);
}

TEST_F(EncoderTest, EthercatReportSelection) {
    make_hand(0);
    build_rpdo_request(*hand, kReportSelection);
    hand->sensor_enable = true;
    build_rpdo_request(*hand, kReportSelection);
    hand->sensor_map[6] = 2;  // the seventh sensor item is wanted too
    build_rpdo_request(*hand, kReportSelection);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].data, padded({0x00, 0x01, 0x00}, 64));
    EXPECT_EQ(f[1].data, padded({0x00, 0x02, 0x00, 0x40}, 64));
    EXPECT_EQ(f[2].data, padded({0x00, 0x03, 0x00, 0x40, 0x41}, 64));
}

TEST_F(EncoderTest, CanfdReportSelectionByHandType) {
    make_hand(1, 1);
    build_canfd_request(*hand, kReportSelection);
    hand->sensor_enable = true;
    build_canfd_request(*hand, kReportSelection);
    hand->hand_type = 0;
    build_canfd_request(*hand, kReportSelection);
    hand->hand_type = 2;
    build_canfd_request(*hand, kReportSelection);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].data, (Bytes{0x00, 0x04, 0x50, 0x01, 0x5A, 0x01}));
    EXPECT_EQ(f[1].data, (Bytes{0x00, 0x08, 0x50, 0x01, 0x5A, 0x01, 0x70, 0x01, 0x71, 0x01}));
    EXPECT_EQ(f[2].data, (Bytes{0x00, 0x0A, 0x50, 0x01, 0x5A, 0x01, 0x72, 0x01, 0x73, 0x01, 0x74, 0x01}));
    EXPECT_EQ(f[3].data, (Bytes{0x00, 0x04, 0x50, 0x01, 0x5A, 0x01}));
    EXPECT_EQ(f[1].id, 0x501u);
}

TEST_F(EncoderTest, ModeCommandPacksModeAndHomeOptions) {
    make_hand(1);
    hand->joint_mode[0] = 5;
    hand->home_option_a[0] = 2;
    hand->joint_command[0] = 4;
    hand->joint_mode[5] = 0xFF;  // only the low bits of each field go out
    hand->home_option_a[5] = 0xFF;
    hand->home_option_b[5] = 0xFF;
    hand->joint_command[5] = 0x99;
    build_canfd_request(*hand, kModeCommand);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.frames()[0].data,
              (Bytes{0x01, 0x06, 0x35, 0x04, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x7F, 0x99}));
}

TEST_F(EncoderTest, GestureBody) {
    make_hand(1);
    ASSERT_EQ(play_gesture(*hand, 33, 0x1234, -1), 0);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.frames()[0].data, (Bytes{0x20, 0x06, 0x21, 0x00, 0x34, 0x12, 0xFF, 0xFF}));
}

TEST_F(EncoderTest, OtherBusKindsBuildNothing) {
    make_hand(1);
    EXPECT_EQ(build_rpdo_request(*hand, kMotion), 0);
    EXPECT_EQ(build_rs485_request(*hand, kMotion), 0);
    EXPECT_EQ(build_can_request(*hand, kMotion), 0);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_TRUE(hand->last_rpdo.empty());
    EXPECT_TRUE(hand->last_rs485.empty());
    EXPECT_TRUE(hand->last_can.empty());
    hand->bus_kind = -1;
    EXPECT_EQ(build_canfd_request(*hand, kMotion), 0);
    EXPECT_EQ(rec.count(), 0u);
}

TEST_F(EncoderTest, DryRunKeepsFramesButSendsNothing) {
    make_hand(1);
    hand->dry_run = true;
    build_canfd_request(*hand, kGesture);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(hand->last_canfd.size(), 8u);
    hand->bus_kind = 0;
    build_rpdo_request(*hand, kModeCommand);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(hand->last_rpdo.size(), 64u);
}

TEST_F(EncoderTest, MissingSendFunctionStillKeepsFrame) {
    make_hand(1);
    hand->active_send_canfd = nullptr;
    EXPECT_EQ(build_canfd_request(*hand, kMotion), 0);
    EXPECT_EQ(hand->last_canfd.size(), 38u);
    send_canfd_callback empty;
    hand->active_send_canfd = &empty;
    EXPECT_EQ(build_canfd_request(*hand, kMotion), 0);
}

// ---- classic CAN ---------------------------------------------------------------

TEST(ServoFrame, ClampsPositionAndScalesCurrent) {
    EXPECT_EQ(build_servo_frame(-5, 1000, 400), (std::array<uint8_t, 7>{0xAA, 0x00, 0x00, 0xE8, 0x03, 0x40, 0x01}));
    EXPECT_EQ(build_servo_frame(5000, -1, 999), (std::array<uint8_t, 7>{0xAA, 0xFF, 0x0F, 0xFF, 0xFF, 0x1F, 0x03}));
    // Huge currents do not overflow: 10^7 * 0.8 = 8000000 = 0x7A1200.
    EXPECT_EQ(build_servo_frame(0, 0, 10000000)[5], 0x00);
    EXPECT_EQ(build_servo_frame(0, 0, 10000000)[6], 0x12);
}

TEST_F(EncoderTest, ClassicCanModeCommandDisablesOnlyCommandTwo) {
    make_hand(3);
    hand->joint_command.fill(1);
    build_can_request(*hand, kModeCommand);
    EXPECT_EQ(rec.count(), 0u);
    hand->joint_command[2] = 2;
    hand->joint_command[4] = 2;
    build_can_request(*hand, kModeCommand);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].id, 3u);
    EXPECT_EQ(f[0].data, (Bytes{0xBA, 0x01}));
    EXPECT_EQ(f[1].id, 5u);
}

TEST_F(EncoderTest, ClassicCanMotionDryRunAccumulatesRecords) {
    make_hand(3, 0);
    hand->dry_run = true;
    set_target_positions({5000, 0, 10000, 2500, 7500, 1});
    build_can_request(*hand, kMotion);
    EXPECT_EQ(rec.count(), 0u);
    // Type 0 ranges 60, 30, 80, 80, 80, 80 degrees at 200 deg/s:
    // speeds 3333, 6666, 2500; currents 400 -> 320 (0x0140).
    const Bytes expected = {
        0x01, 0, 0, 0, 0xAA, 0xFF, 0x07, 0x05, 0x0D, 0x40, 0x01,  // 5000 -> 2047
        0x02, 0, 0, 0, 0xAA, 0x00, 0x00, 0x0A, 0x1A, 0x40, 0x01,  // 0
        0x03, 0, 0, 0, 0xAA, 0xFF, 0x0F, 0xC4, 0x09, 0x40, 0x01,  // 10000 -> 4095
        0x04, 0, 0, 0, 0xAA, 0xFF, 0x03, 0xC4, 0x09, 0x40, 0x01,  // 2500 -> 1023
        0x05, 0, 0, 0, 0xAA, 0xFF, 0x0B, 0xC4, 0x09, 0x40, 0x01,  // 7500 -> 3071
        0x06, 0, 0, 0, 0xAA, 0x00, 0x00, 0xC4, 0x09, 0x40, 0x01,  // 1 -> 0
    };
    int n = 0;
    ASSERT_EQ(copy_pre_send_can(*hand, nullptr, &n), 0);
    EXPECT_EQ(n, 66);
    EXPECT_EQ(hand->last_can, expected);
    // The next request replaces the records.
    build_can_request(*hand, kMotion);
    EXPECT_EQ(hand->last_can.size(), 66u);
}

TEST_F(EncoderTest, ClassicCanCoupledPairsGoTogether) {
    make_hand(3, 2);
    hand->dry_run = true;
    // Joint 2 (node 1) side 10 degrees, joint 3 (node 2) flexion 30 degrees.
    hand->target_angle.write(1, 10.0f);
    hand->target_angle.write(2, 30.0f);
    hand->target_angle.publish();
    build_can_request(*hand, kMotion);
    const Bytes& b = hand->last_can;
    ASSERT_EQ(b.size(), 16u * 11u);
    // Record 0: joint 1 on node 16; record 1: node 1 gets 1820; record 2:
    // node 2 gets 1365 (the pair goes out together, once).
    EXPECT_EQ(b[0], 16);
    EXPECT_EQ(b[11], 1);
    EXPECT_EQ(read_le16(&b[11 + 5]), 1820);
    EXPECT_EQ(b[22], 2);
    EXPECT_EQ(read_le16(&b[22 + 5]), 1365);
    EXPECT_EQ(b[33], 3);

    hand->hand_direction = 1;  // the first pair's servos swap
    build_can_request(*hand, kMotion);
    EXPECT_EQ(read_le16(&hand->last_can[11 + 5]), 1365);
    EXPECT_EQ(read_le16(&hand->last_can[22 + 5]), 1820);
}

// Each servo of a coupled pair carries its own joint's speed and current,
// also when the first pair's positions are exchanged.
TEST_F(EncoderTest, ClassicCanCoupledPairKeepsEachJointsSpeedAndCurrent) {
    make_hand(3, 2);
    hand->dry_run = true;
    hand->min_angle[1] = -20.0f;  // joint 2 (node 1): range 40 degrees
    hand->max_angle[1] = 20.0f;
    hand->min_angle[2] = 0.0f;  // joint 3 (node 2): range 100 degrees
    hand->max_angle[2] = 100.0f;
    hand->angular_velocity.write(1, 10.0f);  // 10 / 40 * 1000 = 250
    hand->angular_velocity.write(2, 50.0f);  // 50 / 100 * 1000 = 500
    hand->angular_velocity.publish();
    hand->max_current.write(1, 500);  // 400 = 0x190
    hand->max_current.write(2, 250);  // 200 = 0xC8
    hand->max_current.publish();
    for (int direction : {0, 1}) {
        hand->hand_direction = direction;
        build_can_request(*hand, kMotion);
        const Bytes& b = hand->last_can;
        ASSERT_EQ(b.size(), 16u * 11u);
        EXPECT_EQ(Bytes(b.begin() + 11, b.begin() + 15), (Bytes{0x01, 0, 0, 0}));
        EXPECT_EQ(Bytes(b.begin() + 18, b.begin() + 22), (Bytes{0xFA, 0x00, 0x90, 0x01})) << direction;
        EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 26), (Bytes{0x02, 0, 0, 0}));
        EXPECT_EQ(Bytes(b.begin() + 29, b.begin() + 33), (Bytes{0xF4, 0x01, 0xC8, 0x00})) << direction;
    }
}

TEST_F(EncoderTest, ClassicCanSendsThroughCallbackWithNodeIds) {
    make_hand(3, 0);
    build_can_request(*hand, kMotion);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 6u);
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(f[i].id, i + 1);
        EXPECT_EQ(f[i].data.size(), 7u);
    }
    EXPECT_TRUE(hand->last_can.empty());  // kept only in dry run
}

// ---- RS485 ---------------------------------------------------------------------

Bytes wire(uint8_t function_byte, uint8_t node, const Bytes& payload) {
    Bytes f{function_byte, node};
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16_modbus(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

TEST_F(EncoderTest, Rs485DryRunKeepsTheWireFrame) {
    make_hand(2);
    hand->rs485_node_id = 0x103;  // only the low byte goes out
    hand->dry_run = true;
    load_motion_targets(*hand);
    build_rs485_request(*hand, kMotion);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(hand->last_rs485, wire(0x50, 0x03, padded(concat({0x8B, 0xD0}, kMotionFields), 64)));
    EXPECT_EQ(hand->last_rs485.size(), 68u);

    build_rs485_request(*hand, kModeCommand);
    EXPECT_EQ(hand->last_rs485[2], 0x81);
    EXPECT_EQ(hand->last_rs485[3], 0xD0);
    play_gesture(*hand, 3, 1, 2);
    EXPECT_EQ(hand->last_rs485, wire(0x50, 0x03, padded({0xA0, 0xD0, 3, 0, 1, 0, 2, 0}, 64)));
}

TEST_F(EncoderTest, Rs485ReportSelectionSendsNothing) {
    make_hand(2);
    hand->dry_run = true;
    build_rs485_request(*hand, kReportSelection);
    EXPECT_TRUE(hand->last_rs485.empty());
}

TEST_F(EncoderTest, Rs485WithoutContextSendsThroughOneOffWorker) {
    make_hand(2);
    build_rs485_request(*hand, kGesture);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].data, wire(0x50, 0x01, padded({0xA0, 0xD0, 0, 0, 0, 0, 0, 0}, 64)));
    EXPECT_EQ(hand->last_rs485, f[0].data);

    // No send function at all: still built and kept, nothing hangs.
    hand->active_send_rs485 = nullptr;
    build_rs485_request(*hand, kGesture);
    EXPECT_EQ(rec.count(), 1u);
    EXPECT_EQ(hand->last_rs485.size(), 68u);
}

TEST_F(EncoderTest, Rs485AttachedSendsThroughItsContext) {
    make_hand(2);
    auto context = std::make_shared<RS485SharedBusContext>();
    context->set_send_function(rec.data);
    auto endpoint = std::make_shared<RS485NodeEndpoint>(hand.get(), 1);
    ASSERT_TRUE(context->register_endpoint(endpoint));
    hand->bus_context = context;
    hand->bus_endpoint = endpoint;

    build_rs485_request(*hand, kModeCommand);
    build_rs485_request(*hand, kModeCommand);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data, wire(0x50, 0x01, padded({0x81, 0xD0, 0x20, 0, 0x20, 0, 0x20, 0, 0x20, 0, 0x20, 0, 0x20, 0}, 64)));
    // The worker keeps 30 ms between transmissions.
    EXPECT_GE(f[1].at - f[0].at, std::chrono::milliseconds(29));

    context->unregister_endpoint(endpoint);
    {
        std::lock_guard<std::mutex> lock(endpoint->mutex);
        endpoint->owner = nullptr;
    }
    hand->bus_endpoint.reset();
    hand->bus_context.reset();
}

TEST_F(EncoderTest, Rs485PollFrameOfNodeOne) {
    make_hand(2);
    auto context = std::make_shared<RS485SharedBusContext>();
    context->set_send_function(rec.data);
    auto endpoint = std::make_shared<RS485NodeEndpoint>(hand.get(), 1);
    ASSERT_TRUE(context->register_endpoint(endpoint));
    context->set_poll_state(endpoint, 1);
    for (int i = 0; i < 500 && rec.count() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    context->unregister_endpoint(endpoint);
    {
        std::lock_guard<std::mutex> lock(endpoint->mutex);
        endpoint->owner = nullptr;
    }
    context->close();
    auto f = rec.frames();
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f[0].data, (Bytes{0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26}));
    EXPECT_EQ(f[1].data[2], 0xDA);
}

TEST_F(EncoderTest, PollCycleFollowsSensorEnable) {
    make_hand(2);
    uint16_t code = 0;
    Bytes payload;
    std::vector<uint8_t> seen;
    hand->sensor_enable = true;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(provide_rs485_poll(*hand, code, payload));
        EXPECT_EQ(code, 0x500);
        ASSERT_EQ(payload.size(), 2u);
        EXPECT_EQ(payload[1], 6);
        seen.push_back(payload[0]);
    }
    EXPECT_EQ(seen, (Bytes{0xD0, 0xDA, 0xF2, 0xF3, 0xF4, 0xD0}));

    // Cursor at 3 lies outside the two-code cycle: back to the start.
    provide_rs485_poll(*hand, code, payload);  // 0xDA
    provide_rs485_poll(*hand, code, payload);  // 0xF2, cursor now 3
    hand->sensor_enable = false;
    ASSERT_TRUE(provide_rs485_poll(*hand, code, payload));
    EXPECT_EQ(payload[0], 0xD0);
    ASSERT_TRUE(provide_rs485_poll(*hand, code, payload));
    EXPECT_EQ(payload[0], 0xDA);
}

TEST_F(EncoderTest, PollRefusedWhileOtaDryRunOrOtherBus) {
    make_hand(2);
    uint16_t code = 0;
    Bytes payload;
    hand->ota_busy = true;
    EXPECT_FALSE(provide_rs485_poll(*hand, code, payload));
    hand->ota_busy = false;
    hand->dry_run = true;
    EXPECT_FALSE(provide_rs485_poll(*hand, code, payload));
    hand->dry_run = false;
    hand->bus_kind = 1;
    EXPECT_FALSE(provide_rs485_poll(*hand, code, payload));
}

// ---- parameter and OTA frames ---------------------------------------------------

TEST_F(EncoderTest, ParameterRequestsOnCanfd) {
    make_hand(1);
    send_param_request(*hand, 0, 0x2022, 21, 0);
    send_param_request(*hand, 1, 0x201D, 18, 1000);
    send_param_request(*hand, 3, 0, 0, 0);
    send_param_request(*hand, 2, 0, 0, 0);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 4u);
    for (const auto& x : f) {
        EXPECT_EQ(x.id, 0x601u);
        EXPECT_EQ(x.flag, 0);
    }
    EXPECT_EQ(f[0].data, (Bytes{0x40, 0x22, 0x20, 0x15, 0, 0, 0, 0}));
    EXPECT_EQ(f[1].data, (Bytes{0x2B, 0x1D, 0x20, 0x12, 0xE8, 0x03, 0, 0}));
    EXPECT_EQ(f[2].data, (Bytes{0x00, 0x10, 0x10, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(f[3].data, (Bytes{0x2F, 0x10, 0x10, 0x01, 0x73, 0x61, 0x76, 0x65}));
    EXPECT_EQ(hand->last_canfd, f[3].data);
}

TEST_F(EncoderTest, ParameterRequestOnRs485AndNowhereElse) {
    make_hand(2);
    hand->dry_run = true;
    send_param_request(*hand, 0, 0x200E, 29, 0);
    EXPECT_EQ(hand->last_rs485, wire(0x60, 0x01, {0x40, 0x0E, 0x20, 0x1D, 0, 0, 0, 0}));
    hand->dry_run = false;
    hand->bus_kind = 0;
    EXPECT_EQ(send_param_request(*hand, 0, 0x200E, 29, 0), 0);
    hand->bus_kind = 3;
    EXPECT_EQ(send_param_request(*hand, 0, 0x200E, 29, 0), 0);
    EXPECT_EQ(rec.count(), 0u);
}

TEST_F(EncoderTest, OtaFramesUseExtendedIdAndKeepCommandBuffers) {
    make_hand(1);
    build_canfd_request(*hand, kGesture);
    const Bytes kept = hand->last_canfd;
    hand->ota_data = {1, 2, 3};
    send_ota_request(*hand);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].id, 0x9001u);
    EXPECT_EQ(f[1].flag, 1);
    EXPECT_EQ(f[1].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(hand->last_canfd, kept);

    make_hand(2);
    hand->ota_data = {9, 8};
    send_ota_request(*hand);
    ASSERT_EQ(rec.count(), 3u);
    EXPECT_EQ(rec.frames()[2].data, wire(0x90, 0x01, {9, 8}));
    EXPECT_TRUE(hand->last_rs485.empty());
}

// ---- frame log and threads ---------------------------------------------------------

std::vector<std::string>& log_lines() {
    static std::vector<std::string> lines;
    return lines;
}
void collect_line(const char* line) { log_lines().push_back(line); }

TEST_F(EncoderTest, SentFramesAreLogged) {
    make_hand(1);
    log_lines().clear();
    hand->frame_log.set_callback(&collect_line);
    hand->frame_log.log_on(true, 10000);
    const int codes[] = {0x20, 0xBA};
    hand->frame_log.set_filter(true, codes, 2);
    hand->dry_run = true;  // logged in dry run as well
    play_gesture(*hand, 1, 2, 3);
    build_canfd_request(*hand, kMotion);  // 0x0B not enabled
    ASSERT_EQ(log_lines().size(), 1u);
    EXPECT_EQ(log_lines()[0], "Send:  20 06 01 00 02 00 03 00 = ok");

    hand->bus_kind = 3;
    hand->joint_command[0] = 2;
    build_can_request(*hand, kModeCommand);
    ASSERT_EQ(log_lines().size(), 2u);
    EXPECT_EQ(log_lines()[1], "Send:  BA 01 = ok");
    hand->frame_log.set_callback(nullptr);
}

// The monitor of a 16-joint classic CAN hand appends status requests to the
// dry-run buffer while the caller builds commands and reads the buffer.
TEST_F(EncoderTest, ClassicCanDryRunBufferSharedWithMonitor) {
    make_hand(3, 2);
    hand->dry_run = true;
    start_monitor(*hand);
    for (int i = 0; i < 40; ++i) {
        build_can_request(*hand, kMotion);
        int n = 0;
        ASSERT_EQ(copy_pre_send_can(*hand, nullptr, &n), 0);
        std::vector<uint8_t> out(static_cast<std::size_t>(n));
        ASSERT_EQ(copy_pre_send_can(*hand, out.data(), &n), 0);
        // Whole records only: 16 servo frames of 4 + 7 bytes, plus any 4 + 1
        // byte status requests the monitor slipped in.
        EXPECT_GE(n, 16 * 11);
        EXPECT_EQ((n - 16 * 11) % 5, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop_monitor(*hand);
    EXPECT_EQ(rec.count(), 0u);
}

// ---- pre-send contract ------------------------------------------------------------

TEST(PreSend, CopyContract) {
    const Bytes kept{1, 2, 3, 4, 5};
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xA5);
    int n = 3;
    EXPECT_EQ(copy_pre_send(kept, nullptr, nullptr), 1);
    EXPECT_EQ(copy_pre_send(kept, buf, nullptr), 1);
    n = -1;
    EXPECT_EQ(copy_pre_send(kept, buf, &n), 1);
    n = -1;
    EXPECT_EQ(copy_pre_send(kept, nullptr, &n), 0);
    EXPECT_EQ(n, 5);
    n = 0;
    EXPECT_EQ(copy_pre_send(kept, buf, &n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(buf[0], 0xA5);
    n = 3;
    EXPECT_EQ(copy_pre_send(kept, buf, &n), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(buf[3], 0xA5);
    n = 8;
    EXPECT_EQ(copy_pre_send(kept, buf, &n), 0);
    EXPECT_EQ(n, 5);
}

}  // namespace
}  // namespace test
}  // namespace morvx
