// End to end on CAN-FD through the class interface: the library's own send
// function and decoder against the simulated controller.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_rigs.h"

using namespace simtest;
using simhand::SimHandConfig;

namespace {

TEST(E2eCanfd, InitialIdentifiesDevice) {
  SimHandConfig c = SimHandConfig::for_model_code(3);
  c.firmware_x100 = 207;
  c.direction_code = 2;
  CanfdRig rig(c);
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  int type = -1, dir = -1, total = 0, active = 0;
  float fw = 0;
  char serial[32];
  EXPECT_EQ(0, rig.hand->get_hand_type(&type));
  EXPECT_EQ(1, type);
  EXPECT_EQ(0, rig.hand->get_hand_direction(&dir));
  EXPECT_EQ(1, dir);
  EXPECT_EQ(0, rig.hand->get_firmware_version(&fw));
  EXPECT_FLOAT_EQ(2.07f, fw);
  EXPECT_EQ(0, rig.hand->get_serial_number(serial, sizeof serial));
  EXPECT_STREQ("1A00020100000000100300", serial);
  EXPECT_EQ(0, rig.hand->get_dof(&total, &active));
  EXPECT_EQ(6, active);
  // The report selection of hand type 1 reached the controller.
  EXPECT_TRUE(wait_until([&] { return !rig.sim->selected_codes().empty(); }));
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0x5A}), rig.sim->selected_codes());
}

TEST(E2eCanfd, ModelCodeFiveSwitchesToRs485AndHandTypeOne) {
  SimHandConfig c = SimHandConfig::for_model_code(5);
  CanfdRig rig(c);
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  int type = -1;
  rig.hand->get_hand_type(&type);
  EXPECT_EQ(1, type);
  // Commands now take the RS485 path: nothing more reaches the CAN-FD wire.
  const int seen = rig.model->mode_commands_seen();
  EXPECT_EQ(0, rig.hand->set_enable(1, 1));
  int len = 0;
  EXPECT_EQ(0, rig.hand->get_pre_send_rs485_data(nullptr, &len));
  EXPECT_GT(len, 0);
  rig.link.wait_idle(500ms);
  EXPECT_EQ(seen, rig.model->mode_commands_seen());
}

TEST(E2eCanfd, EnableHomeMoveReachesTargets) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  // Not homed yet: the move is refused before anything is sent.
  ASSERT_EQ(0, hand.set_enable(0, 1));
  EXPECT_EQ(11, hand.move_motors(0));
  enable_and_home(hand, *rig.model, 6);

  const float targets[6] = {45.0f, 30.0f, 36.0f, 50.0f, 10.0f, 70.0f};
  for (int j = 1; j <= 6; ++j) ASSERT_EQ(0, hand.set_target_angle(j, targets[j - 1]));
  ASSERT_EQ(0, hand.move_motors(0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 6; ++j) {
      int now = -1, target = -2, reached = 0;
      hand.get_now_position(j, &now);
      hand.get_target_position(j, &target);
      hand.get_position_reached(j, &reached);
      if (now != target || reached != 1) return false;
    }
    return true;
  }));
  for (int j = 1; j <= 6; ++j) {
    float angle = 0;
    ASSERT_EQ(0, hand.get_now_angle(j, &angle));
    EXPECT_NEAR(targets[j - 1], angle, 0.05f) << "joint " << j;
  }
  // The controller holds exactly the positions the library computed.
  const simhand::ModelSnapshot s = rig.model->snapshot();
  for (int j = 1; j <= 6; ++j) {
    int target = 0;
    hand.get_target_position(j, &target);
    EXPECT_EQ(target, s.joints[j - 1].position);
  }
}

TEST(E2eCanfd, VelocityAndCurrentLimitShapeTheMove) {
  CanfdRig rig(SimHandConfig::for_model_code(2));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  enable_and_home(hand, *rig.model, 6);
  // Joint 1 slow (2000 units/s), joint 2 starved of current: both report
  // motion on the way, joint 2 its torque-reached bit.
  ASSERT_EQ(0, hand.set_position_velocity(1, 2000));
  ASSERT_EQ(0, hand.set_max_current(2, 50));
  ASSERT_EQ(0, hand.set_target_position(1, 4000));
  ASSERT_EQ(0, hand.set_target_position(2, 10000));
  ASSERT_EQ(0, hand.move_motors(0));
  int v = 0;
  ASSERT_TRUE(wait_until([&] { return hand.get_now_position_velocity(1, &v) == 0 && v == 2000; }));
  int torque = 0;
  ASSERT_TRUE(wait_until([&] { return hand.get_torque_reached(2, &torque) == 0 && torque == 1; }));
  int current = 0;
  hand.get_now_current(2, &current);
  EXPECT_EQ(50, current);
  ASSERT_TRUE(wait_until([&] {
    int p1 = 0, p2 = 0;
    hand.get_now_position(1, &p1);
    hand.get_now_position(2, &p2);
    return p1 == 4000 && p2 == 10000;
  }, 5000ms));
}

TEST(E2eCanfd, AlarmIsReportedAndCleared) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  enable_and_home(hand, *rig.model, 6);
  rig.model->inject_alarm(3, 0x05);
  int alarm = 0;
  ASSERT_TRUE(wait_until([&] { return hand.get_now_alarm(4, &alarm) == 0 && alarm == 5; }));
  ASSERT_EQ(0, hand.set_clear_alarm(4));
  ASSERT_TRUE(wait_until([&] { return hand.get_now_alarm(4, &alarm) == 0 && alarm == 0; }));
}

TEST(E2eCanfd, RunStatusSixMakesTheLibraryStopEveryJoint) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  enable_and_home(hand, *rig.model, 6);
  rig.model->force_run_status(2, 6);
  int status = 0;
  ASSERT_TRUE(wait_until([&] { return hand.get_now_status(3, &status) == 0 && status == 6; }));
  const int before = rig.model->mode_commands_seen();
  ASSERT_EQ(0, hand.set_target_position(0, 1000));
  ASSERT_EQ(0, hand.move_motors(0));
  ASSERT_TRUE(rig.link.wait_idle(1000ms));
  EXPECT_GT(rig.model->mode_commands_seen(), before);  // the stop command went out
}

TEST(E2eCanfd, TactileReadingsArriveAndReadConsistently) {
  CanfdRig rig(SimHandConfig::for_model_code(2), 7, 2ms);  // hand type 0: full blocks
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  ASSERT_EQ(0, hand.set_sensor_enable(1));
  float p[32];
  ASSERT_TRUE(wait_until([&] {
    int n = 32;
    return hand.get_finger_pressure(3, p, &n) == 0 && n == 9 && p[0] > 0;
  }));
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      float v[32];
      while (!stop.load()) {
        for (int ch : {1, 3, 5, 7, 9, 11}) {
          int n = 32;
          if (hand.get_finger_pressure(ch, v, &n) != 0) continue;
          for (int i = 1; i < n; ++i)
            if (v[i] != v[0]) ++torn;
          ++reads;
        }
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_GT(reads.load(), 0);
  // Full block: pressure v / 255, normal force v, tangential force v / 2.
  float normal = 0, tangential = 0, prox = 0;
  int n = 32;
  ASSERT_EQ(0, hand.get_finger_pressure(5, p, &n));
  ASSERT_EQ(0, hand.get_finger_normal_force(5, &normal));
  ASSERT_EQ(0, hand.get_finger_tangential_force(5, &tangential));
  ASSERT_EQ(0, hand.get_finger_proximity(5, &prox));
  EXPECT_GE(normal, 1.0f);
  EXPECT_LE(normal, 200.0f);
  EXPECT_FLOAT_EQ(normal / 2, tangential);
  EXPECT_NEAR(normal / 255.0f, prox, 1e-6);
  // Channel 11 is a packed block: bytes / 10.
  n = 32;
  ASSERT_EQ(0, hand.get_finger_pressure(11, p, &n));
  EXPECT_EQ(26, n);
  EXPECT_GT(p[25], 0.0f);
}

TEST(E2eCanfd, TactileOnHandTypeOnePackedBlocks) {
  CanfdRig rig(SimHandConfig::for_model_code(3), 7, 2ms);
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  ASSERT_EQ(0, hand.set_sensor_enable(1));
  EXPECT_TRUE(wait_until([&] { return rig.sim->selected_codes().size() == 4; }));
  float p[40];
  ASSERT_TRUE(wait_until([&] {
    int n = 40;
    return hand.get_finger_pressure(11, p, &n) == 0 && n == 36 && p[35] > 0;
  }));
  int n = 40;
  ASSERT_EQ(0, hand.get_finger_pressure(1, p, &n));
  EXPECT_EQ(12, n);
  EXPECT_GT(p[11], 0.0f);
}

TEST(E2eCanfd, DeviceSettingsAndRawParametersRoundTrip) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  ASSERT_EQ(0, hand.set_home_current(250));
  ASSERT_EQ(0, hand.set_canfd_arb_baudrate(2000000));
  ASSERT_EQ(0, hand.set_rs485_baudrate(115250));  // stored as hundreds, truncated
  ASSERT_EQ(0, hand.set_safe_current_enable(0));
  int v = 0;
  EXPECT_EQ(0, hand.get_home_current(&v));
  EXPECT_EQ(250, v);
  EXPECT_EQ(0, hand.get_canfd_arb_baudrate(&v));
  EXPECT_EQ(2000000, v);
  EXPECT_EQ(0, hand.get_rs485_baudrate(&v));
  EXPECT_EQ(115200, v);
  EXPECT_EQ(0, hand.get_safe_current_enable(&v));
  EXPECT_EQ(0, v);
  EXPECT_EQ(0, hand.get_can_node_id(&v));
  EXPECT_EQ(1, v);
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(250, rig.model->param(static_cast<uint16_t>(0x2022 + 0x40 * k), 21)) << k;
    EXPECT_EQ(2000, rig.model->param(static_cast<uint16_t>(0x201D + 0x40 * k), 18)) << k;
  }
  unsigned raw = 0;
  ASSERT_EQ(0, hand.set_sdo_drive_param(0x2345, 3, 0xBEEF));
  EXPECT_EQ(0, hand.get_sdo_drive_param(0x2345, 3, &raw));
  EXPECT_EQ(0xBEEFu, raw);
  ASSERT_EQ(0, hand.save_sdo_drive_param());
  ASSERT_TRUE(wait_until([&] { return rig.model->save_count() == 1; }));
  const auto saved = rig.model->saved_params();
  ASSERT_TRUE(saved.count({0x2345, 3}));
  EXPECT_EQ(0xBEEF, saved.at({0x2345, 3}));
}

TEST(E2eCanfd, OtaDataRoundTrips) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  std::vector<uint8_t> block(40);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0x30 + i);
  ASSERT_EQ(0, hand.set_ota_send_data(block.data(), static_cast<unsigned>(block.size())));
  uint8_t reply[64];
  int len = 0;
  ASSERT_TRUE(wait_until([&] {
    len = 64;
    return hand.get_ota_recv_data(reply, &len) == 0 && len > 0;
  }));
  ASSERT_EQ(48, len);  // 42 bytes padded to a CAN-FD length
  EXPECT_EQ(0xA5, reply[0]);
  EXPECT_EQ(40, reply[1]);
  EXPECT_EQ(0, std::memcmp(block.data(), reply + 2, block.size()));
  ASSERT_EQ(1u, rig.model->ota_received().size());
  EXPECT_EQ(block, rig.model->ota_received()[0]);
}

TEST(E2eCanfd, GestureReachesTheController) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  ASSERT_EQ(0, rig.hand->play_gesture(17, 1, 2));
  EXPECT_TRUE(wait_until([&] { return rig.model->last_gesture() == 17; }));
}

TEST(E2eCanfd, PressureResetReachesTheController) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  ASSERT_EQ(0, rig.hand->set_finger_pressure_reset());
  EXPECT_TRUE(wait_until([&] { return rig.model->pressure_reset_count() == 1; }));
}

TEST(E2eCanfd, StopHoldsTheJointWhereItIs) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  enable_and_home(hand, *rig.model, 6);
  ASSERT_EQ(0, hand.set_position_velocity(1, 2000));
  ASSERT_EQ(0, hand.set_target_position(1, 10000));
  ASSERT_EQ(0, hand.move_motors(1));
  int p = 0;
  ASSERT_TRUE(wait_until([&] { return hand.get_now_position(1, &p) == 0 && p > 500; }));
  ASSERT_EQ(0, hand.stop_motors(0));
  std::this_thread::sleep_for(100ms);
  int a = 0, b = 0;
  hand.get_now_position(1, &a);
  std::this_thread::sleep_for(100ms);
  hand.get_now_position(1, &b);
  EXPECT_EQ(a, b);
  EXPECT_LT(b, 10000);
}

}  // namespace
