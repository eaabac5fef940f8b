// Motion sequences through a recording send function: homing, the homed
// check, the state-6 guard, stop steps, gestures, and the public class path.
#include <gtest/gtest.h>

#include <thread>

#include "morvane/morvane.h"
#include "test_frame_support.h"

namespace morvx {
namespace test {
namespace {

using MotionTest = HandFixture;

constexpr uint8_t kHomed = 0x10;

// Mode-command frame of a 6-joint hand with the given (mode byte, command)
// per joint.
Bytes mode_frame(const std::vector<std::pair<uint8_t, uint8_t>>& joints) {
    Bytes b{0x01, static_cast<uint8_t>(joints.size())};
    for (const auto& j : joints) {
        b.push_back(j.first);
        b.push_back(j.second);
    }
    return b;
}

std::vector<std::pair<uint8_t, uint8_t>> all(uint8_t mode_byte, uint8_t command) {
    return std::vector<std::pair<uint8_t, uint8_t>>(6, {mode_byte, command});
}

TEST_F(MotionTest, MoveRefusedWhenAJointIsNotHomed) {
    make_hand(1);
    set_all_status(kHomed);
    hand->status_byte.write(2, 0x00);  // joint 3
    hand->status_byte.publish();
    set_target_positions({5000, 5000, 5000, 5000, 5000, 5000});
    EXPECT_EQ(move(*hand, 0), 11);
    EXPECT_EQ(rec.count(), 0u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(hand->target_position.read(i), 0) << i;
    // A single homed joint may move.
    EXPECT_EQ(move(*hand, 1), 0);
    ASSERT_EQ(rec.count(), 1u);
    EXPECT_EQ(rec.frames()[0].data[0], 0x0B);
    EXPECT_EQ(move(*hand, 3), 11);
}

TEST_F(MotionTest, DryRunAndNoHomeSkipTheCheck) {
    make_hand(1);
    hand->move_no_home = true;
    EXPECT_EQ(move(*hand, 0), 0);
    EXPECT_EQ(rec.count(), 1u);
    hand->move_no_home = false;
    hand->dry_run = true;
    EXPECT_EQ(move(*hand, 0), 0);
    EXPECT_EQ(rec.count(), 1u);  // built, not sent
    EXPECT_EQ(hand->last_canfd[0], 0x0B);
}

TEST_F(MotionTest, StateSixStopsAllJointsBeforeTheMove) {
    make_hand(1);
    set_all_status(kHomed);
    hand->status_byte.write(1, 0xC0 | kHomed);  // joint 2 in state 6
    hand->status_byte.publish();
    EXPECT_EQ(move(*hand, 0), 0);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data, mode_frame(all(0x20, 8)));
    EXPECT_EQ(f[1].data[0], 0x0B);
    EXPECT_EQ(hand->joint_command[26], 8);  // every slot, not only the active ones
}

TEST_F(MotionTest, HomeOneJointKeepsTheOthers) {
    make_hand(1);
    hand->joint_mode[0] = 3;
    hand->target_position.write(1, 7000);
    hand->target_position.publish();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(home(*hand, 2), 0);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    auto first = all(0x20, 0);
    first[0] = {0x23, 0};
    first[1] = {0x25, 0};
    auto second = first;
    second[1] = {0x25, 4};
    EXPECT_EQ(f[0].data, mode_frame(first));
    EXPECT_EQ(f[1].data, mode_frame(second));
    EXPECT_GE(f[1].at - start, std::chrono::milliseconds(5));
    EXPECT_EQ(hand->target_position.read(1), 0);
    EXPECT_EQ(home(*hand, 7), 1);
    EXPECT_EQ(home(*hand, -1), 1);
}

TEST_F(MotionTest, StopStepsSendCommandsSevenAndEight) {
    make_hand(1);
    hand->joint_mode.fill(2);
    EXPECT_EQ(stop_step_1(*hand, 0), 0);
    EXPECT_EQ(stop_step_2(*hand, 0), 0);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data, mode_frame(all(0x20, 7)));
    EXPECT_EQ(f[1].data, mode_frame(all(0x20, 8)));
    EXPECT_EQ(stop_step_1(*hand, 7), 1);
    EXPECT_EQ(stop_step_2(*hand, -1), 1);
    EXPECT_EQ(rec.count(), 2u);
}

TEST_F(MotionTest, GestureRangeAndClassicCan) {
    make_hand(1);
    EXPECT_EQ(play_gesture(*hand, 34, 0, 0), 1);
    EXPECT_EQ(play_gesture(*hand, -1, 0, 0), 1);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(play_gesture(*hand, 0, 0, 0), 0);
    EXPECT_EQ(rec.count(), 1u);

    make_hand(3);
    EXPECT_EQ(play_gesture(*hand, 12, 5, 6), 0);
    EXPECT_EQ(hand->gesture_number, 12);
    EXPECT_EQ(hand->gesture_arg2, 6);
    EXPECT_EQ(rec.count(), 1u);
}

TEST_F(MotionTest, ReportSelectionWaitsAndSkipsClassicCan) {
    make_hand(3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send_report_selection(*hand), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(send_gesture(*hand), 0);
    EXPECT_EQ(rec.count(), 0u);

    make_hand(0);
    EXPECT_EQ(send_report_selection(*hand), 0);
    EXPECT_EQ(rec.count(), 1u);
}

TEST_F(MotionTest, ClassicCanMoveSendsOneServoFramePerJoint) {
    make_hand(3);
    set_all_status(kHomed);
    EXPECT_EQ(move(*hand, 0), 0);
    EXPECT_EQ(rec.count(), 6u);
}

// The whole chain through the public class: _ex setter, initial, setters,
// move_motors and stop_motors.
TEST(MotionThroughClass, CanfdMoveAndStop) {
    Recorder rec;
    Morvane hand;
    hand.set_send_canfd_callback_ex(&rec.canfd);
    ASSERT_EQ(hand.initial(1, 2), 0);  // identity requests go unanswered
    rec.clear();
    ASSERT_EQ(hand.set_move_no_home(1), 0);
    ASSERT_EQ(hand.set_target_position(1, 5000), 0);
    ASSERT_EQ(hand.move_motors(1), 0);
    auto f = rec.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, 0x502u);
    EXPECT_EQ(f[0].data[0], 0x0B);
    EXPECT_EQ(f[0].data[2], 0x88);  // 5000 = 0x1388
    EXPECT_EQ(f[0].data[3], 0x13);

    rec.clear();
    ASSERT_EQ(hand.stop_motors(0), 0);
    f = rec.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data[3], 7);
    EXPECT_EQ(f[1].data[3], 8);
    EXPECT_GE(f[1].at - f[0].at, std::chrono::milliseconds(95));
    hand.close();
}

}  // namespace
}  // namespace test
}  // namespace morvx
