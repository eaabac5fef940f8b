// Joint model: hand types, limits, node addresses, angle/position
// conversion with the quadratic correction, velocities, coupled servo pairs,
// measured-position refresh, and the joint status getters.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "hand_core.h"
#include "hand_ops.h"
#include "morvane/morvane.h"

using namespace morvx;

namespace {

struct JointModel : ::testing::Test {
    Morvane hand;
    HandCore& h = *hand.core();

    int target_position(int joint) {
        int p = -99999;
        EXPECT_EQ(hand.get_target_position(joint, &p), 0);
        return p;
    }
    float target_angle(int joint) {
        float a = -999.0f;
        EXPECT_EQ(hand.get_target_angle(joint, &a), 0);
        return a;
    }
    void set_raw(int slot, int32_t v) {
        h.raw_position.write(slot, v);
        h.raw_position.publish();
    }
};

constexpr AngleLimits kSide{-20.0f, 20.0f};
constexpr AngleLimits kFlex{0.0f, 90.0f};

}  // namespace

// ---- hand types ------------------------------------------------------------------------

TEST_F(JointModel, HandTypeOutOfRangeChangesNothing) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    EXPECT_EQ(hand.set_hand_type(3), 1);
    EXPECT_EQ(hand.set_hand_type(-1), 1);
    int type = -1, total = 0, active = 0;
    hand.get_hand_type(&type);
    hand.get_dof(&total, &active);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(total, 11);
    EXPECT_EQ(active, 6);
    EXPECT_EQ(h.max_angle[0], 91.0f);
}

TEST_F(JointModel, HandType2TablesAndNodes) {
    ASSERT_EQ(hand.set_hand_type(2), 0);
    int total = 0, active = 0;
    hand.get_dof(&total, &active);
    EXPECT_EQ(total, 21);
    EXPECT_EQ(active, 16);
    EXPECT_EQ(h.joint_to_node[0].load(), 16);
    for (int k = 2; k <= 16; ++k) EXPECT_EQ(h.joint_to_node[k - 1].load(), k - 1) << "joint " << k;
    EXPECT_EQ(h.node_to_joint[16].load(), 0);
    for (int n = 1; n <= 15; ++n) EXPECT_EQ(h.node_to_joint[n].load(), n);
    for (int n = 17; n <= 27; ++n) EXPECT_EQ(h.node_to_joint[n].load(), n - 1);

    float lo = 0, hi = 0;
    const struct {
        int joint;
        float lo, hi;
        int pmin, pmax;
    } rows[] = {{1, 0, 110, 0, 10000},  {2, -20, 20, -5000, 5000}, {3, 0, 90, 0, 10000},
                {4, 0, 70, 0, 10000},   {14, -20, 20, -5000, 5000}, {15, 0, 90, 0, 10000},
                {16, 0, 70, 0, 10000}};
    for (const auto& r : rows) {
        ASSERT_EQ(hand.get_limit_target_angle(r.joint, &lo, &hi), 0);
        EXPECT_EQ(lo, r.lo) << r.joint;
        EXPECT_EQ(hi, r.hi) << r.joint;
        EXPECT_EQ(h.min_position[r.joint - 1], r.pmin) << r.joint;
        EXPECT_EQ(h.max_position[r.joint - 1], r.pmax) << r.joint;
    }
    for (int s = 16; s < kJointSlots; ++s) {
        EXPECT_EQ(h.max_angle[s], 0.0f);
        EXPECT_EQ(h.max_position[s], 0);
    }
    // The 16-joint hand starts with full tactile blocks on channels 1..10.
    EXPECT_EQ(h.channel_format[1], 1);
    EXPECT_EQ(h.channel_format[11], 0);
}

TEST_F(JointModel, BackFromHandType2RestoresPositionRanges) {
    ASSERT_EQ(hand.set_hand_type(2), 0);
    ASSERT_EQ(hand.set_hand_type(0), 0);
    for (int s = 0; s < kJointSlots; ++s) {
        EXPECT_EQ(h.min_position[s], 0) << s;
        EXPECT_EQ(h.max_position[s], 10000) << s;
    }
    EXPECT_EQ(h.joint_to_node[0].load(), 1);
    EXPECT_EQ(h.node_to_joint[16].load(), 15);
    ASSERT_EQ(hand.set_target_angle(2, 15.0f), 0);
    EXPECT_EQ(target_position(2), 5000) << "joint 2 spans 0..30 degrees over 0..10000 again";
}

TEST_F(JointModel, SixJointHandAngleLimits) {
    const float type0[6] = {60.0f, 30.0f, 80.0f, 80.0f, 80.0f, 80.0f};
    const float type1[6] = {91.0f, 59.0f, 72.0f, 72.0f, 72.0f, 74.0f};
    for (int type : {0, 1}) {
        ASSERT_EQ(hand.set_hand_type(2), 0);  // leave non-zero limits in every slot first
        ASSERT_EQ(hand.set_hand_type(type), 0);
        const float* max = type == 0 ? type0 : type1;
        for (int s = 0; s < kJointSlots; ++s) {
            EXPECT_EQ(h.min_angle[s], 0.0f) << "type " << type << " slot " << s;
            EXPECT_EQ(h.max_angle[s], s < 6 ? max[s] : 0.0f) << "type " << type << " slot " << s;
            EXPECT_EQ(h.joint_to_node[s].load(), s + 1) << "type " << type << " slot " << s;
        }
    }
}

TEST_F(JointModel, HandType1ChannelFormatsArePacked) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    for (int ch = 0; ch < kJointSlots; ++ch) EXPECT_EQ(h.channel_format[ch], 0) << ch;
}

// ---- targets ---------------------------------------------------------------------------------

TEST_F(JointModel, TargetAngleForAllJointsStopsAtTheFirstRefusal) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_target_angle(0, 10.0f), 0);
    EXPECT_EQ(hand.set_target_angle(0, 50.0f), 1);
    EXPECT_EQ(target_angle(1), 50.0f);
    for (int j = 2; j <= 6; ++j) EXPECT_EQ(target_angle(j), 10.0f) << j;
    EXPECT_EQ(hand.set_target_angle(7, 1.0f), 1);
    EXPECT_EQ(hand.set_target_angle(-1, 1.0f), 1);
    EXPECT_EQ(hand.set_target_angle(1, 60.5f), 1);
    EXPECT_EQ(hand.set_target_angle(1, -0.5f), 1);
    EXPECT_EQ(hand.set_target_angle(1, std::numeric_limits<float>::quiet_NaN()), 1);
    EXPECT_EQ(target_angle(1), 50.0f);
}

TEST_F(JointModel, TargetAngleToPositionOnHandType0) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_target_angle(1, 60.0f), 0);
    EXPECT_EQ(target_position(1), 10000);
    ASSERT_EQ(hand.set_target_angle(1, 30.0f), 0);
    EXPECT_EQ(target_position(1), 5000);
    ASSERT_EQ(hand.set_target_angle(1, 0.0f), 0);
    EXPECT_EQ(target_position(1), 0);
}

TEST_F(JointModel, TargetPositionIsClampedNotRefused) {
    ASSERT_EQ(hand.set_hand_type(2), 0);
    ASSERT_EQ(hand.set_target_position(2, -3000), 0);
    EXPECT_EQ(target_position(2), -3000);
    EXPECT_FLOAT_EQ(target_angle(2), -12.0f);
    ASSERT_EQ(hand.set_target_position(3, 20000), 0);
    EXPECT_EQ(target_position(3), 10000);
    EXPECT_FLOAT_EQ(target_angle(3), 90.0f);
    ASSERT_EQ(hand.set_target_position(3, std::numeric_limits<int>::min()), 0);
    EXPECT_EQ(target_position(3), 0);

    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_target_position(2, -3000), 0);
    EXPECT_EQ(target_position(2), 0);
    EXPECT_EQ(target_angle(2), 0.0f);
    EXPECT_EQ(hand.set_target_position(7, 1), 1);
}

TEST_F(JointModel, QuadraticCorrectionOfHandType1) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    EXPECT_EQ(angle_to_position(h, 2, 36.0f), 4200);
    EXPECT_EQ(angle_to_position(h, 2, 0.0f), 0);
    EXPECT_EQ(angle_to_position(h, 2, 72.0f), 10000);
    EXPECT_NEAR(position_to_angle(h, 2, 5000), 41.9046f, 1e-3f);
    EXPECT_EQ(position_to_angle(h, 2, 0), 0.0f);
    EXPECT_FLOAT_EQ(position_to_angle(h, 2, 10000), 72.0f);
    // Joints 1 and 2 have no coefficients: linear.
    EXPECT_EQ(angle_to_position(h, 0, 45.5f), 5000);

    ASSERT_EQ(hand.set_angle_conversion_enable(0), 0);
    int on = -1;
    ASSERT_EQ(hand.get_angle_conversion_enable(&on), 0);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(angle_to_position(h, 2, 36.0f), 5000);
    EXPECT_EQ(angle_to_position(h, 2, 0.0f), 0);
    EXPECT_EQ(angle_to_position(h, 2, 72.0f), 10000);
    EXPECT_EQ(hand.set_angle_conversion_enable(2), 1);
    EXPECT_EQ(hand.set_angle_conversion_enable(-1), 1);
    ASSERT_EQ(hand.get_angle_conversion_enable(&on), 0);
    EXPECT_EQ(on, 0);
}

// Each finger joint has its own bend: angles 20, 36 and 50 degrees and the
// middle position, worked out by hand from the joint's a, b, c.
TEST_F(JointModel, CorrectionOfEachFingerJoint) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    const struct {
        int slot;
        int32_t at20, at36, at50;
        float mid_angle;
    } rows[] = {
        {2, 2212, 4200, 6169, 41.9046f},
        {3, 2260, 4276, 6251, 41.3220f},
        {4, 2212, 4200, 6169, 41.9038f},
        {5, 2096, 3987, 5869, 43.7727f},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(angle_to_position(h, r.slot, 20.0f), r.at20) << "slot " << r.slot;
        EXPECT_EQ(angle_to_position(h, r.slot, 36.0f), r.at36) << "slot " << r.slot;
        EXPECT_EQ(angle_to_position(h, r.slot, 50.0f), r.at50) << "slot " << r.slot;
        EXPECT_NEAR(position_to_angle(h, r.slot, 5000), r.mid_angle, 1e-3f) << "slot " << r.slot;
        EXPECT_EQ(angle_to_position(h, r.slot, h.max_angle[r.slot]), 10000) << "slot " << r.slot;
    }
}

TEST_F(JointModel, CorrectionOnlyForHandType1) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    EXPECT_EQ(angle_to_position(h, 2, 40.0f), 5000);  // 0..80, linear
}

TEST_F(JointModel, ConversionsRoundTripOverEveryCorrectedJoint) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    for (int slot = 2; slot <= 5; ++slot) {
        for (int p = 0; p <= 10000; p += 250) {
            const float a = position_to_angle(h, slot, p);
            EXPECT_NEAR(angle_to_position(h, slot, a), p, 2) << "slot " << slot << " position " << p;
        }
    }
}

TEST_F(JointModel, ZeroAngleRangeYieldsTheLowerLimits) {
    // Before any hand type is applied every angle range is 0.
    EXPECT_EQ(angle_to_position(h, 0, 0.0f), 0);
    EXPECT_EQ(angle_to_position(h, 0, 1e30f), 0);
    EXPECT_EQ(position_to_angle(h, 0, 7000), 0.0f);
    EXPECT_EQ(hand.set_target_angle(1, 0.0f), 0);
    EXPECT_EQ(hand.set_target_angle(1, 1.0f), 1);
    ASSERT_EQ(hand.set_angular_velocity(1, 200.0f), 0);
    int pv = -1;
    ASSERT_EQ(hand.get_position_velocity(1, &pv), 0);
    EXPECT_EQ(pv, 0) << "no position velocity without an angle range";
}

TEST_F(JointModel, OutOfRangeAndNonFiniteInputsStayInRange) {
    ASSERT_EQ(hand.set_hand_type(1), 0);
    for (int slot = 0; slot < 6; ++slot) {
        for (float x : {-1e30f, 1e30f, std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
            const int32_t p = angle_to_position(h, slot, x);
            EXPECT_GE(p, 0);
            EXPECT_LE(p, 10000);
        }
        for (int32_t p : {std::numeric_limits<int32_t>::min(), -1, 10001, std::numeric_limits<int32_t>::max()}) {
            const float a = position_to_angle(h, slot, p);
            EXPECT_GE(a, h.min_angle[slot]);
            EXPECT_LE(a, h.max_angle[slot]);
        }
    }
    EXPECT_EQ(angle_to_position(h, -1, 1.0f), 0);
    EXPECT_EQ(angle_to_position(h, kJointSlots, 1.0f), 0);
    EXPECT_EQ(position_to_angle(h, 99, 1), 0.0f);
}

// ---- velocities and current -------------------------------------------------------------

TEST_F(JointModel, VelocityUnits) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    EXPECT_FLOAT_EQ(velocity_unit(h, 0), 0.006f);
    ASSERT_EQ(hand.set_angular_velocity(1, 200.0f), 0);
    int pv = 0;
    float w = 0;
    ASSERT_EQ(hand.get_position_velocity(1, &pv), 0);
    EXPECT_EQ(pv, 33333);
    ASSERT_EQ(hand.set_position_velocity(2, 10000), 0);  // joint 2: 0..30
    ASSERT_EQ(hand.get_angular_velocity(2, &w), 0);
    EXPECT_FLOAT_EQ(w, 30.0f);
    ASSERT_EQ(hand.set_angular_velocity(0, -60.0f), 0);
    for (int j = 1; j <= 6; ++j) {
        ASSERT_EQ(hand.get_angular_velocity(j, &w), 0);
        EXPECT_EQ(w, -60.0f);
    }
    ASSERT_EQ(hand.get_position_velocity(1, &pv), 0);
    EXPECT_EQ(pv, -10000);
    // A quotient beyond int32 saturates instead of wrapping.
    ASSERT_EQ(hand.set_angular_velocity(1, 1e30f), 0);
    ASSERT_EQ(hand.get_position_velocity(1, &pv), 0);
    EXPECT_EQ(pv, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(hand.set_angular_velocity(7, 1.0f), 1);
    EXPECT_EQ(hand.set_position_velocity(-1, 1), 1);
}

TEST_F(JointModel, MaxCurrentForActiveJointsOnly) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_max_current(0, 250), 0);
    int c = 0;
    for (int j = 1; j <= 6; ++j) {
        ASSERT_EQ(hand.get_max_current(j, &c), 0);
        EXPECT_EQ(c, 250);
    }
    EXPECT_EQ(h.max_current.read(6), 400) << "slots beyond the active joints keep their value";
    EXPECT_EQ(hand.set_max_current(7, 1), 1);
}

// ---- measured values -----------------------------------------------------------------------

TEST_F(JointModel, RefreshMeasuredClampsRawPositions) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    const struct {
        int32_t raw, pos;
    } cases[] = {{20001, 0}, {10001, 10000}, {20000, 10000}, {9999, 9999}, {5000, 5000}};
    for (const auto& c : cases) {
        set_raw(0, c.raw);
        refresh_measured(h);
        int p = -1;
        ASSERT_EQ(hand.get_now_position(1, &p), 0);
        EXPECT_EQ(p, c.pos) << "raw " << c.raw;
    }
    float a = 0;
    ASSERT_EQ(hand.get_now_angle(1, &a), 0);
    EXPECT_FLOAT_EQ(a, 30.0f);
}

TEST_F(JointModel, SyncPositionToTarget) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    for (int s = 0; s < 6; ++s) h.raw_position.write(s, 1000 * (s + 1));
    h.raw_position.publish();
    refresh_measured(h);
    ASSERT_EQ(hand.sync_position_to_target(3), 0);
    EXPECT_EQ(target_position(3), 3000);
    EXPECT_EQ(target_position(4), 0);
    ASSERT_EQ(hand.sync_position_to_target(0), 0);
    for (int j = 1; j <= 6; ++j) EXPECT_EQ(target_position(j), 1000 * j);
    EXPECT_FLOAT_EQ(target_angle(1), 6.0f);
    EXPECT_EQ(hand.sync_position_to_target(7), 1);
}

// ---- coupled joints of hand type 2 ------------------------------------------------------------

TEST(CoupledJoints, ServoCountsFromAngles) {
    EXPECT_EQ(coupled_to_servo(10.0f, 30.0f, kSide, kFlex), std::make_pair(1820, 1365));
    EXPECT_EQ(coupled_to_servo(-10.0f, 30.0f, kSide, kFlex), std::make_pair(1365, 1820));
    EXPECT_EQ(coupled_to_servo(20.0f, 90.0f, kSide, kFlex), std::make_pair(4095, 4095));
    EXPECT_EQ(coupled_to_servo(0.0f, 0.0f, kSide, kFlex), std::make_pair(0, 0));
    // Out-of-range angles are clamped to the joints' limits first.
    EXPECT_EQ(coupled_to_servo(50.0f, -5.0f, kSide, kFlex), std::make_pair(910, 0));
    // Halves round away from zero: 45.5 * 1.0 = 45.5 -> 46.
    EXPECT_EQ(coupled_to_servo(0.0f, 1.0f, kSide, kFlex), std::make_pair(46, 46));
    const auto nan = coupled_to_servo(std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::quiet_NaN(), kSide, kFlex);
    EXPECT_GE(nan.first, 0);
    EXPECT_LE(nan.first, 4095);
    EXPECT_GE(nan.second, 0);
    EXPECT_LE(nan.second, 4095);
}

TEST(CoupledJoints, AnglesFromServoCounts) {
    auto r = coupled_from_servo(1820, 1365, kSide, kFlex);
    EXPECT_FLOAT_EQ(r.first, 10.0f);
    EXPECT_FLOAT_EQ(r.second, 30.0f);
    r = coupled_from_servo(1365, 1820, kSide, kFlex);
    EXPECT_FLOAT_EQ(r.first, -10.0f);
    EXPECT_FLOAT_EQ(r.second, 30.0f);
    r = coupled_from_servo(4095, 0, kSide, kFlex);
    EXPECT_FLOAT_EQ(r.first, 20.0f) << "clamped to the side joint's range";
    EXPECT_FLOAT_EQ(r.second, 0.0f);
    r = coupled_from_servo(-100, -50, kSide, kFlex);
    EXPECT_GE(r.second, 0.0f);
}

TEST(CoupledJoints, RoundTripOverTheWorkingRange) {
    for (float d = -20.0f; d <= 20.0f; d += 2.5f) {
        for (float e = 0.0f; e <= 60.0f; e += 5.0f) {
            const auto s = coupled_to_servo(d, e, kSide, kFlex);
            if (s.first >= 4095 || s.second >= 4095) continue;  // saturated
            const auto back = coupled_from_servo(s.first, s.second, kSide, kFlex);
            EXPECT_NEAR(back.first, d, 0.05f) << d << " " << e;
            EXPECT_NEAR(back.second, e, 0.05f) << d << " " << e;
        }
    }
}

// ---- status bits and delays ---------------------------------------------------------------------

TEST_F(JointModel, StatusBits) {
    auto report = [&](uint8_t status) {
        h.status_byte.write(0, status);
        h.status_byte.publish();
    };
    int v = -1;
    report(0x5B);
    ASSERT_EQ(get_now_status(h, 1, &v), 0);
    EXPECT_EQ(v, 2);
    ASSERT_EQ(get_enable(h, 1, &v), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(get_position_reached(h, 1, &v), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(get_torque_reached(h, 1, &v), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(get_homed(h, 1, &v), 0);
    EXPECT_EQ(v, 1);
    // Run status 2 is an alarm: the alarm byte is the code, and a zero byte
    // still reads as an alarm (9).
    ASSERT_EQ(get_alarm_code(h, 1, &v), 0);
    EXPECT_EQ(v, 9);
    h.alarm_byte.write(0, 3);
    h.alarm_byte.publish();
    ASSERT_EQ(get_alarm_code(h, 1, &v), 0);
    EXPECT_EQ(v, 3);
    report(0xC1);
    ASSERT_EQ(get_now_status(h, 1, &v), 0);
    EXPECT_EQ(v, 6);
    ASSERT_EQ(get_enable(h, 1, &v), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(get_homed(h, 1, &v), 0);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(get_alarm_code(h, 1, &v), 0);
    EXPECT_EQ(v, 0);
    report(0x04);  // bit 2 means nothing to the library
    for (auto getter : {&get_enable, &get_position_reached, &get_torque_reached, &get_homed}) {
        ASSERT_EQ(getter(h, 1, &v), 0);
        EXPECT_EQ(v, 0);
    }
    EXPECT_EQ(get_homed(h, 0, &v), 1);
    EXPECT_EQ(get_homed(h, 7, &v), 1);
    EXPECT_EQ(get_homed(h, 1, nullptr), 1);
    EXPECT_EQ(get_alarm_code(h, 1, nullptr), 1);
}

TEST_F(JointModel, SensorEnable) {
    ASSERT_EQ(hand.set_hand_type(0), 0);
    ASSERT_EQ(hand.set_sensor_enable(1), 0);
    EXPECT_TRUE(h.sensor_enable.load());
    ASSERT_EQ(hand.set_sensor_enable(2), 0);
    EXPECT_FALSE(h.sensor_enable.load()) << "only 1 turns reports on";
    ASSERT_EQ(hand.set_hand_type(2), 0);
    EXPECT_EQ(hand.set_sensor_enable(1), 1);
    EXPECT_FALSE(h.sensor_enable.load());
}

TEST(InterCommandDelay, DependsOnTheBus) {
    Morvane hand;
    HandCore& h = *hand.core();
    using clock = std::chrono::steady_clock;
    const struct {
        int bus;
        int ms;
    } cases[] = {{-1, 5}, {1, 5}, {2, 30}, {3, 20}};
    for (const auto& c : cases) {
        h.bus_kind.store(c.bus);
        const auto start = clock::now();
        inter_command_delay(h);
        EXPECT_GE(clock::now() - start, std::chrono::milliseconds(c.ms)) << "bus " << c.bus;
    }
}
