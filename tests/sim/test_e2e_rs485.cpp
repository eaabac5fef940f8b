// End to end on RS485 through the class interface: one hand on its private
// bus context, and two hands sharing one line.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "sim_rigs.h"

using namespace simtest;
using simhand::SimHandConfig;

namespace {

TEST(E2eRs485, InitialIdentifiesDevice) {
  SimHandConfig c = SimHandConfig::for_model_code(6, 3);
  c.serial_parts[0] = 0x7F;
  Rs485Rig rig({c}, false);
  ASSERT_EQ(0, rig.hand().initial(2, 3));
  int type = -1;
  char serial[32];
  rig.hand().get_hand_type(&type);
  EXPECT_EQ(0, type);
  ASSERT_EQ(0, rig.hand().get_serial_number(serial, sizeof serial));
  EXPECT_STREQ("7F00020100000000100300", serial);
  float fw = 0;
  rig.hand().get_firmware_version(&fw);
  EXPECT_FLOAT_EQ(1.23f, fw);
  // The monitor is on: the line is polled.
  EXPECT_TRUE(wait_until([&] { return rig.line->polls_for(3) >= 3; }));
}

TEST(E2eRs485, EnableHomeMoveReachesTargets) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  enable_and_home(hand, rig.model(), 6);
  for (int j = 1; j <= 6; ++j) ASSERT_EQ(0, hand.set_target_position(j, 1000 * j + 500));
  ASSERT_EQ(0, hand.move_motors(0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 6; ++j) {
      int now = -1, reached = 0;
      hand.get_now_position(j, &now);
      hand.get_position_reached(j, &reached);
      if (now != 1000 * j + 500 || reached != 1) return false;
    }
    return true;
  }, 5000ms));
}

TEST(E2eRs485, TactileReadingsArriveOnHandTypeZero) {
  Rs485Rig rig({SimHandConfig::for_model_code(6)}, false);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  ASSERT_EQ(0, hand.set_sensor_enable(1));
  float p[32];
  // 0xF2..0xF4 polls: channels 1, 3 / 5, 7 / 9, 11.
  for (int ch : {1, 3, 5, 7, 9, 11}) {
    ASSERT_TRUE(wait_until([&] {
      int n = 32;
      return hand.get_finger_pressure(ch, p, &n) == 0 && n > 0 && p[n - 1] > 0;
    })) << "channel " << ch;
    int n = 32;
    hand.get_finger_pressure(ch, p, &n);
    for (int i = 1; i < n; ++i) EXPECT_EQ(p[0], p[i]) << "channel " << ch;
  }
}

// Hand type 1 asks for the same 30-byte items; its thumb sensor has 36
// taxels, more than the item holds. The library must stay inside the frame.
TEST(E2eRs485, TactileOnHandTypeOneStaysInsideTheFrame) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  ASSERT_EQ(0, hand.set_sensor_enable(1));
  float p[40];
  ASSERT_TRUE(wait_until([&] {
    int n = 40;
    return hand.get_finger_pressure(9, p, &n) == 0 && n == 12 && p[0] > 0;
  }));
  ASSERT_TRUE(wait_until([&] { return rig.line->polls_for(1) >= 12; }));
}

TEST(E2eRs485, DeviceSettingsAndRawParametersRoundTrip) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  ASSERT_EQ(0, hand.set_rs485_node_id(9));
  ASSERT_EQ(0, hand.set_canfd_data_baudrate(4000000));
  int v = 0;
  EXPECT_EQ(0, hand.get_rs485_node_id(&v));
  EXPECT_EQ(9, v);
  EXPECT_EQ(0, hand.get_canfd_data_baudrate(&v));
  EXPECT_EQ(4000000, v);
  unsigned raw = 0;
  ASSERT_EQ(0, hand.set_sdo_drive_param(0x2101, 7, 4321));
  EXPECT_EQ(0, hand.get_sdo_drive_param(0x2101, 7, &raw));
  EXPECT_EQ(4321u, raw);
  ASSERT_EQ(0, hand.save_sdo_drive_param());
  ASSERT_TRUE(wait_until([&] { return rig.model().save_count() == 1; }));
  EXPECT_EQ(4321, rig.model().saved_params().at({0x2101, 7}));
  // The library's own node id is not the device setting.
  EXPECT_EQ(9, rig.model().param(0x201D, 6));
}

TEST(E2eRs485, OtaDataRoundTrips) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  const uint8_t data[] = {0x90, 0x50, 0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(0, hand.set_ota_send_data(data, sizeof data));
  uint8_t reply[64];
  int len = 0;
  ASSERT_TRUE(wait_until([&] {
    len = 64;
    return hand.get_ota_recv_data(reply, &len) == 0 && len > 0;
  }));
  ASSERT_EQ(14, len);
  EXPECT_EQ(0xA5, reply[0]);
  EXPECT_EQ(12, reply[1]);
  EXPECT_EQ(0, std::memcmp(data, reply + 2, sizeof data));
  // While OTA runs the hand is not polled.
  const uint64_t polls = rig.line->polls_for(1);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(polls, rig.line->polls_for(1));
}

TEST(E2eRs485, TwoHandsOnOneSharedBusEachPolledEachAnswered) {
  SimHandConfig a = SimHandConfig::for_model_code(5, 1);
  SimHandConfig b = SimHandConfig::for_model_code(6, 2);
  b.serial_parts[0] = 0xB2;
  b.firmware_x100 = 310;
  Rs485Rig rig({a, b}, true);
  ASSERT_EQ(0, rig.hand(0).initial(2, 1));
  ASSERT_EQ(0, rig.hand(1).initial(2, 2));
  char s1[32], s2[32];
  rig.hand(0).get_serial_number(s1, sizeof s1);
  rig.hand(1).get_serial_number(s2, sizeof s2);
  EXPECT_STREQ("1A00020100000000100300", s1);
  EXPECT_STREQ("B200020100000000100300", s2);
  int t1 = -1, t2 = -1;
  rig.hand(0).get_hand_type(&t1);
  rig.hand(1).get_hand_type(&t2);
  EXPECT_EQ(1, t1);
  EXPECT_EQ(0, t2);

  // Distinct positions on each controller: each hand must see its own.
  for (int j = 0; j < 6; ++j) {
    rig.model(0).set_joint_position(j, 100 + j);
    rig.model(1).set_joint_position(j, 7000 + j);
  }
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= 6; ++j) {
      int p1 = 0, p2 = 0;
      rig.hand(0).get_now_position(j, &p1);
      rig.hand(1).get_now_position(j, &p2);
      if (p1 != 100 + j - 1 || p2 != 7000 + j - 1) return false;
    }
    return true;
  }));
  EXPECT_TRUE(wait_until([&] { return rig.line->polls_for(1) >= 5 && rig.line->polls_for(2) >= 5; }));

  // Commands go to the right controller only.
  enable_and_home(rig.hand(1), rig.model(1), 6);
  ASSERT_EQ(0, rig.hand(1).set_target_position(0, 3333));
  ASSERT_EQ(0, rig.hand(1).move_motors(0));
  ASSERT_TRUE(wait_until([&] {
    int p = 0;
    rig.hand(1).get_now_position(6, &p);
    return p == 3333;
  }));
  int p0 = 0, en = 1;
  rig.hand(0).get_now_position(6, &p0);
  rig.hand(0).get_enable(6, &en);
  EXPECT_EQ(105, p0);
  EXPECT_EQ(0, en);

  // Parameter reads, one hand after the other.
  unsigned v1 = 0, v2 = 0;
  EXPECT_EQ(0, rig.hand(0).get_sdo_drive_param(0x200E, 30, &v1));
  EXPECT_EQ(0, rig.hand(1).get_sdo_drive_param(0x200E, 30, &v2));
  EXPECT_EQ(123u, v1);
  EXPECT_EQ(310u, v2);
}

// Both hands read the same object at the same time; each must get its own
// controller's value.
TEST(E2eRs485, ConcurrentReadsOnTwoHandsAreNeverCrossed) {
  SimHandConfig a = SimHandConfig::for_model_code(5, 1);
  SimHandConfig b = SimHandConfig::for_model_code(6, 2);
  a.firmware_x100 = 111;
  b.firmware_x100 = 222;
  Rs485Rig rig({a, b}, true);
  ASSERT_EQ(0, rig.hand(0).initial(2, 1));
  ASSERT_EQ(0, rig.hand(1).initial(2, 2));
  std::atomic<int> crossed{0}, ok{0};
  auto reader = [&](size_t i, unsigned expected) {
    for (int n = 0; n < 8; ++n) {
      unsigned v = 0;
      if (rig.hand(i).get_sdo_drive_param(0x200E, 30, &v) == 0) {
        if (v == expected) ++ok;
        else ++crossed;
      }
    }
  };
  std::thread t1(reader, 0, 111u), t2(reader, 1, 222u);
  t1.join();
  t2.join();
  EXPECT_EQ(0, crossed.load());
  EXPECT_EQ(16, ok.load());
}

TEST(E2eRs485, PollsAlternateBetweenTwoHandsAtLeast30msApart) {
  Rs485Rig rig({SimHandConfig::for_model_code(5, 1), SimHandConfig::for_model_code(5, 2)}, true);
  ASSERT_EQ(0, rig.hand(0).initial(2, 1));
  ASSERT_EQ(0, rig.hand(1).initial(2, 2));
  {
    std::lock_guard<std::mutex> lock(rig.send_times_mutex);
    rig.send_times.clear();
  }
  const uint64_t a0 = rig.line->polls_for(1), b0 = rig.line->polls_for(2);
  std::this_thread::sleep_for(400ms);
  std::vector<std::chrono::steady_clock::time_point> t;
  {
    std::lock_guard<std::mutex> lock(rig.send_times_mutex);
    t = rig.send_times;
  }
  ASSERT_GE(t.size(), 4u);
  for (size_t i = 1; i < t.size(); ++i)
    EXPECT_GE(t[i] - t[i - 1], std::chrono::milliseconds(29)) << i;  // clock granularity
  EXPECT_NEAR(static_cast<double>(rig.line->polls_for(1) - a0), static_cast<double>(rig.line->polls_for(2) - b0), 2.0);
}

}  // namespace
