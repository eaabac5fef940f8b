// End to end on EtherCAT process data through the class interface.
#include <gtest/gtest.h>

#include <vector>

#include "sim_rigs.h"

using namespace simtest;
using simhand::SimHandConfig;

namespace {

TEST(E2eEthercat, ReportSelectionAndJointImages) {
  EthercatRig rig(SimHandConfig::for_model_code(1));
  ASSERT_EQ(0, rig.initial());
  EXPECT_TRUE(wait_until([&] { return rig.sim.selected_codes() == std::vector<uint8_t>{0x00}; }));
  rig.model->set_joint_position(2, 4321);
  int p = 0;
  EXPECT_TRUE(wait_until([&] { return rig.hand->get_now_position(3, &p) == 0 && p == 4321; }));
}

TEST(E2eEthercat, EnableHomeMoveReachesTargets) {
  EthercatRig rig(SimHandConfig::for_model_code(1));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, rig.initial());
  enable_and_home(hand, *rig.model, 6);
  const float targets[6] = {50.0f, 20.0f, 40.0f, 60.0f, 70.0f, 5.0f};
  for (int j = 1; j <= 6; ++j) ASSERT_EQ(0, hand.set_target_angle(j, targets[j - 1]));
  ASSERT_EQ(0, hand.move_motors(0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 6; ++j) {
      int now = -1, target = -2;
      hand.get_now_position(j, &now);
      hand.get_target_position(j, &target);
      if (now != target) return false;
    }
    return true;
  }));
  for (int j = 1; j <= 6; ++j) {
    float a = 0;
    hand.get_now_angle(j, &a);
    EXPECT_NEAR(targets[j - 1], a, 0.02f) << j;
  }
}

TEST(E2eEthercat, TactileImagesFillTheChannels) {
  EthercatRig rig(SimHandConfig::for_model_code(1));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, rig.initial());
  ASSERT_EQ(0, hand.set_sensor_enable(1));
  EXPECT_TRUE(wait_until([&] { return rig.sim.selected_codes() == std::vector<uint8_t>{0x00, 0x40}; }));
  float p[32];
  for (int ch : {1, 3, 5, 7, 9, 11}) {
    ASSERT_TRUE(wait_until([&] {
      int n = 32;
      return hand.get_finger_pressure(ch, p, &n) == 0 && n > 0 && p[n - 1] > 0;
    })) << ch;
  }
  float normal = 0, tangential = 0;
  ASSERT_EQ(0, hand.get_finger_normal_force(3, &normal));
  ASSERT_EQ(0, hand.get_finger_tangential_force(3, &tangential));
  EXPECT_FLOAT_EQ(normal / 2, tangential);
  // Joint images keep coming between the tactile ones.
  rig.model->set_joint_position(0, 777);
  int pos = 0;
  EXPECT_TRUE(wait_until([&] { return hand.get_now_position(1, &pos) == 0 && pos == 777; }));
}

TEST(E2eEthercat, ParametersAreNotCarried) {
  EthercatRig rig(SimHandConfig::for_model_code(1));
  ASSERT_EQ(0, rig.initial());
  int v = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(7, rig.hand->get_home_current(&v));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 190ms);
}

}  // namespace
