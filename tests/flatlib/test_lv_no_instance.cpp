// The flat interface without any open hand: every forwarding function
// answers 2 and touches nothing, the status queries answer 0, lv_close is
// harmless, bad transports and devices give their codes, and discovery
// checks its arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "morvane_lv/morvane_lv.h"

namespace {

struct Case {
  const char* name;
  std::function<int()> call;
};

TEST(LvNoInstance, EveryForwardingFunctionAnswersTwoAndLeavesOutputs) {
  lv_close();
  float f = 0.5f, f2 = 0.25f;
  int i = 77, i2 = 78;
  float* arr = reinterpret_cast<float*>(0x1);
  float* arr2 = reinterpret_cast<float*>(0x2);
  int codes[2] = {0x50, 0x51};
  const int order[3] = {1, 2, 3};
  const std::vector<Case> cases = {
      {"get_angular_velocity", [&] { return lv_get_angular_velocity(1, &f); }},
      {"get_now_angle", [&] { return lv_get_now_angle(1, &f); }},
      {"get_now_angular_velocity", [&] { return lv_get_now_angular_velocity(1, &f); }},
      {"get_now_velocity", [&] { return lv_get_now_velocity(1, &f); }},
      {"get_target_angle", [&] { return lv_get_target_angle(1, &f); }},
      {"get_velocity", [&] { return lv_get_velocity(1, &f); }},
      {"get_finger_force_direction", [&] { return lv_get_finger_force_direction(1, &f); }},
      {"get_finger_normal_force", [&] { return lv_get_finger_normal_force(1, &f); }},
      {"get_finger_proximity", [&] { return lv_get_finger_proximity(1, &f); }},
      {"get_finger_tangential_force", [&] { return lv_get_finger_tangential_force(1, &f); }},
      {"get_control_mode", [&] { return lv_get_control_mode(1, &i); }},
      {"get_enable", [&] { return lv_get_enable(1, &i); }},
      {"get_max_current", [&] { return lv_get_max_current(1, &i); }},
      {"get_now_alarm", [&] { return lv_get_now_alarm(1, &i); }},
      {"get_now_current", [&] { return lv_get_now_current(1, &i); }},
      {"get_now_position", [&] { return lv_get_now_position(1, &i); }},
      {"get_now_position_velocity", [&] { return lv_get_now_position_velocity(1, &i); }},
      {"get_now_status", [&] { return lv_get_now_status(1, &i); }},
      {"get_position_reached", [&] { return lv_get_position_reached(1, &i); }},
      {"get_position_velocity", [&] { return lv_get_position_velocity(1, &i); }},
      {"get_target_position", [&] { return lv_get_target_position(1, &i); }},
      {"get_torque_reached", [&] { return lv_get_torque_reached(1, &i); }},
      {"get_hand_direction", [&] { return lv_get_hand_direction(&i); }},
      {"get_hand_type", [&] { return lv_get_hand_type(&i); }},
      {"get_home_current", [&] { return lv_get_home_current(&i); }},
      {"get_safe_current_enable", [&] { return lv_get_safe_current_enable(&i); }},
      {"get_firmware_version", [&] { return lv_get_firmware_version(&f); }},
      {"get_dof", [&] { return lv_get_dof(&i, &i2); }},
      {"get_limit_target_angle", [&] { return lv_get_limit_target_angle(1, &f, &f2); }},
      {"get_finger_force_direction_ex", [&] { return lv_get_finger_force_direction_ex(1, &arr, &i); }},
      {"get_finger_normal_force_ex", [&] { return lv_get_finger_normal_force_ex(1, &arr, &i); }},
      {"get_finger_pressure", [&] { return lv_get_finger_pressure(1, &arr, &i); }},
      {"get_finger_proximity_ex", [&] { return lv_get_finger_proximity_ex(1, &arr, &i); }},
      {"get_finger_tangential_force_ex", [&] { return lv_get_finger_tangential_force_ex(1, &arr, &i); }},
      {"get_finger_sensor_pos", [&] { return lv_get_finger_sensor_pos(1, &arr, &arr2, &i); }},
      {"home_motors", [&] { return lv_home_motors(0); }},
      {"move_motors", [&] { return lv_move_motors(0); }},
      {"stop_motors", [&] { return lv_stop_motors(0); }},
      {"sync_position_to_target", [&] { return lv_sync_position_to_target(0); }},
      {"set_clear_alarm", [&] { return lv_set_clear_alarm(0); }},
      {"set_hand_direction", [&] { return lv_set_hand_direction(0); }},
      {"set_hand_type", [&] { return lv_set_hand_type(1); }},
      {"set_home_current", [&] { return lv_set_home_current(100); }},
      {"set_move_no_home", [&] { return lv_set_move_no_home(1); }},
      {"set_safe_current_enable", [&] { return lv_set_safe_current_enable(1); }},
      {"set_sensor_data_format", [&] { return lv_set_sensor_data_format(1); }},
      {"set_sensor_enable", [&] { return lv_set_sensor_enable(1); }},
      {"set_control_mode", [&] { return lv_set_control_mode(0, 1); }},
      {"set_enable", [&] { return lv_set_enable(0, 1); }},
      {"set_max_current", [&] { return lv_set_max_current(0, 100); }},
      {"set_position_velocity", [&] { return lv_set_position_velocity(0, 100); }},
      {"set_target_position", [&] { return lv_set_target_position(0, 100); }},
      {"set_angular_velocity", [&] { return lv_set_angular_velocity(0, 1.0f); }},
      {"set_target_angle", [&] { return lv_set_target_angle(0, 1.0f); }},
      {"set_velocity", [&] { return lv_set_velocity(0, 1.0f); }},
      {"set_finger_pressure_reset", [&] { return lv_set_finger_pressure_reset(); }},
      {"play_gesture", [&] { return lv_play_gesture(1, 2, 3); }},
      {"set_sensor_order", [&] { return lv_set_sensor_order(order, 3); }},
      {"log_send", [&] { return lv_log_send(codes, 2); }},
      {"log_recv", [&] { return lv_log_recv(codes, 2); }},
      {"log_save", [&] { return lv_log_save("/nonexistent/never-written.txt"); }},
  };
  EXPECT_EQ(cases.size(), 61u);
  for (const Case& c : cases) EXPECT_EQ(c.call(), 2) << c.name;
  // Outputs untouched.
  EXPECT_EQ(f, 0.5f);
  EXPECT_EQ(f2, 0.25f);
  EXPECT_EQ(i, 77);
  EXPECT_EQ(i2, 78);
  EXPECT_EQ(arr, reinterpret_cast<float*>(0x1));
  EXPECT_EQ(arr2, reinterpret_cast<float*>(0x2));

  // The five without a result return quietly.
  lv_log_clear();
  lv_start_monitor();
  lv_stop_monitor();
  lv_log_on(5, 100);
  lv_log_reset(0, 7);
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_EQ(lv_get_lost_frames(), 0);
}

TEST(LvNoInstance, CloseIsHarmlessAnyNumberOfTimes) {
  lv_close();
  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST(LvNoInstance, UnknownTransportGivesMinusTenAndNoInstance) {
  for (int t : {3, -1, 4, 100}) {
    EXPECT_EQ(lv_init(t, 0, 1), -10) << t;
    EXPECT_EQ(lv_is_connected(), 0);
    int v = 0;
    EXPECT_EQ(lv_get_hand_type(&v), 2);
  }
}

TEST(LvNoInstance, MissingDevicesGiveMinusOne) {
  // No adapter is plugged into the simulated USB bus of this test program.
  EXPECT_EQ(lv_init(1, 0, 1), -1);
  EXPECT_EQ(lv_init(1, 99, 1), -1);
  EXPECT_EQ(lv_init(1, -1, 1), -1);
  EXPECT_EQ(lv_init(2, -1, 1), -1);
  EXPECT_EQ(lv_init(2, lv_rs485_scan_device_count(), 1), -1);
  EXPECT_EQ(lv_init(0, -1, 1), -1);
  EXPECT_EQ(lv_init(0, lv_ethercat_scan_device_count(), 1), -1);
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_EQ(lv_get_lost_frames(), 0);
}

TEST(LvNoInstance, DiscoveryChecksArguments) {
  char buf[8];
  using Fn = int (*)(int, char*, int);
  const Fn fns[] = {lv_canfd_get_device_string, lv_ethercat_get_device_string, lv_rs485_get_device_string};
  for (Fn fn : fns) {
    std::memset(buf, 0xA5, sizeof buf);
    EXPECT_EQ(fn(-1, buf, sizeof buf), -1);
    EXPECT_EQ(fn(0, nullptr, 8), -1);
    EXPECT_EQ(fn(0, buf, 0), -1);
    EXPECT_EQ(fn(0, buf, -3), -1);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xA5u);  // nothing written
  }
  // Indexes past the lists.
  EXPECT_EQ(lv_canfd_scan_device_count(), 0);
  EXPECT_EQ(lv_canfd_get_device_string(0, buf, sizeof buf), -2);
  EXPECT_EQ(lv_ethercat_get_device_string(lv_ethercat_scan_device_count(), buf, sizeof buf), -2);
  EXPECT_EQ(lv_rs485_get_device_string(lv_rs485_scan_device_count(), buf, sizeof buf), -2);
}

}  // namespace
