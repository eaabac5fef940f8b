// End to end on classic CAN: the 16-joint servo hand, polled by the
// library's monitor thread.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim_rigs.h"

using namespace simtest;

namespace {

TEST(E2eCan, MonitorPollsEveryServoInNodeOrder) {
  CanRig rig;
  ASSERT_EQ(0, rig.hand->initial(3));
  ASSERT_EQ(0, rig.hand->set_hand_type(2));
  ASSERT_TRUE(wait_until([&] { return rig.sim.status_requests().size() >= 40; }, 5000ms));
  const std::vector<uint32_t> r = rig.sim.status_requests();
  // Joint 1 is node 16, joints 2..16 are nodes 1..15: 16, 1, 2, ..., 15.
  size_t start = 0;
  while (start < r.size() && r[start] != 16) ++start;
  ASSERT_LT(start + 32, r.size());
  for (size_t i = 0; i < 32; ++i) {
    const uint32_t expected = i % 16 == 0 ? 16 : static_cast<uint32_t>(i % 16);
    EXPECT_EQ(expected, r[start + i]) << i;
  }
}

TEST(E2eCan, AnglesReachTheirTargetsThroughCoupledServos) {
  CanRig rig;
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(3));
  ASSERT_EQ(0, hand.set_hand_type(2));
  int total = 0, active = 0;
  hand.get_dof(&total, &active);
  ASSERT_EQ(16, active);
  // Joint 2 (side, -20..20) and joint 3 (flexion, 0..90) share two servos.
  std::vector<float> targets(16);
  for (int j = 1; j <= 16; ++j) {
    float lo = 0, hi = 0;
    ASSERT_EQ(0, hand.get_limit_target_angle(j, &lo, &hi));
    targets[j - 1] = lo + (hi - lo) * (0.2f + 0.04f * j);
    ASSERT_EQ(0, hand.set_target_angle(j, targets[j - 1]));
  }
  ASSERT_EQ(0, hand.set_angular_velocity(0, 400.0f));
  ASSERT_EQ(0, hand.move_motors(0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 16; ++j) {
      float a = 0;
      hand.get_now_angle(j, &a);
      if (std::fabs(a - targets[j - 1]) > 0.1f) return false;
    }
    return true;
  }, 8000ms));
}

TEST(E2eCan, DisableReachesEveryServo) {
  CanRig rig;
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(3));
  ASSERT_EQ(0, hand.set_hand_type(2));
  ASSERT_EQ(0, hand.set_enable(0, 0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 16; ++j) {
      int on = 1;
      if (hand.get_enable(j, &on) != 0 || on != 0) return false;
    }
    return true;
  }, 5000ms));
}

}  // namespace
