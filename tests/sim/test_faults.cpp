// The end-to-end scenarios again, with the link misbehaving: lost, late,
// duplicated, corrupted and chunked traffic, and a device that says nothing.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "sim_rigs.h"

using namespace simtest;
using simhand::FaultConfig;
using simhand::SimHandConfig;

namespace {

std::chrono::milliseconds elapsed_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

TEST(FaultsCanfd, DroppedReplyGivesSevenAfterTheWaitAndNothingElse) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  FaultConfig f;
  f.drop = 1.0;
  rig.link.to_host.set_faults(f);
  unsigned value = 12345;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(7, rig.hand->get_sdo_drive_param(0x2022, 21, &value));
  EXPECT_GE(elapsed_since(t0), 195ms);
  EXPECT_LT(elapsed_since(t0), 1500ms);
  EXPECT_EQ(12345u, value);
  int type = -1;
  rig.hand->get_hand_type(&type);
  EXPECT_EQ(1, type);
  // The link recovers: the next read works.
  rig.link.to_host.set_faults(FaultConfig{});
  EXPECT_EQ(0, rig.hand->get_sdo_drive_param(0x2022, 21, &value));
  EXPECT_EQ(300u, value);
}

TEST(FaultsCanfd, LateReplyCompletesNothing) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  ASSERT_EQ(0, rig.hand->initial(1, 1));
  rig.sim->stop();  // only parameter replies on the wire from here on
  rig.model->set_param(0x2100, 1, 1111);
  rig.model->set_param(0x2100, 2, 2222);
  FaultConfig late;
  late.delay = 300ms;
  rig.link.to_host.set_faults(late);
  unsigned v = 0;
  EXPECT_EQ(7, rig.hand->get_sdo_drive_param(0x2100, 1, &v));
  rig.link.to_host.set_faults(FaultConfig{});
  // The late reply for sub-index 1 arrives while sub-index 2 is pending; it
  // must not complete that read.
  EXPECT_EQ(0, rig.hand->get_sdo_drive_param(0x2100, 2, &v));
  EXPECT_EQ(2222u, v);
}

TEST(FaultsCanfd, SilentDeviceNeverFailsInitial) {
  CanfdRig rig(SimHandConfig::for_model_code(3));
  FaultConfig f;
  f.silent = true;
  rig.link.to_host.set_faults(f);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, rig.hand->initial(1, 1));
  EXPECT_GE(elapsed_since(t0), 195ms);
  char serial[32] = "x";
  EXPECT_EQ(0, rig.hand->get_serial_number(serial, sizeof serial));
  EXPECT_STREQ("", serial);
  float fw = -1;
  rig.hand->get_firmware_version(&fw);
  EXPECT_EQ(0.0f, fw);
}

TEST(FaultsCanfd, DuplicatesDelaysAndJitterChangeNothing) {
  CanfdRig rig(SimHandConfig::for_model_code(3), 99);
  FaultConfig f;
  f.duplicate = 0.5;
  f.delay = 10ms;
  f.jitter = 10ms;
  rig.link.to_host.set_faults(f);
  rig.link.to_device.set_faults(f);
  morvx::Morvane& hand = *rig.hand;
  ASSERT_EQ(0, hand.initial(1, 1));
  char serial[32];
  hand.get_serial_number(serial, sizeof serial);
  EXPECT_STREQ("1A00020100000000100300", serial);
  enable_and_home(hand, *rig.model, 6);
  ASSERT_EQ(0, hand.set_target_position(0, 6000));
  ASSERT_EQ(0, hand.move_motors(0));
  EXPECT_TRUE(wait_until([&] {
    for (int j = 1; j <= 6; ++j) {
      int p = 0;
      hand.get_now_position(j, &p);
      if (p != 6000) return false;
    }
    return true;
  }));
  for (int i = 0; i < 5; ++i) {
    unsigned v = 0;
    EXPECT_EQ(0, hand.get_sdo_drive_param(0x200E, 30, &v));
    EXPECT_EQ(123u, v);
  }
}

TEST(FaultsRs485, CorruptedFramesAreDiscardedAndGoodOnesDecoded) {
  SimHandConfig c = SimHandConfig::for_model_code(5);
  Rs485Rig rig({c}, false, 31);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  for (int j = 0; j < 6; ++j) rig.model().set_joint_position(j, 1234 + 100 * j);
  ASSERT_TRUE(wait_until([&] {
    int p = 0;
    return hand.get_now_position(6, &p) == 0 && p == 1734;
  }));
  FaultConfig f;
  f.corrupt = 0.4;
  rig.link.to_host.set_faults(f);
  rig.link.to_device.set_faults(f);
  // Every value the library takes in is one the controller sent.
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    while (!stop) {
      for (int j = 1; j <= 6; ++j) {
        int p = 0;
        hand.get_now_position(j, &p);
        if (p != 1234 + 100 * (j - 1)) ++wrong;
      }
    }
  });
  int ok = 0, lost = 0;
  for (int i = 0; i < 10; ++i) {
    unsigned v = 0;
    const int r = hand.get_sdo_drive_param(0x200E, 29, &v);
    if (r == 0) {
      EXPECT_EQ(5u, v);
      ++ok;
    } else {
      EXPECT_EQ(7, r);
      ++lost;
    }
  }
  std::this_thread::sleep_for(300ms);
  stop = true;
  reader.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(rig.link.to_host.counters().corrupted, 0u);
  EXPECT_GT(ok, 0);
  // And after the noise the link works as before.
  rig.link.to_host.set_faults(FaultConfig{});
  rig.link.to_device.set_faults(FaultConfig{});
  unsigned v = 0;
  EXPECT_EQ(0, hand.get_sdo_drive_param(0x200E, 30, &v));
  EXPECT_EQ(123u, v);
}

std::atomic<int> g_logged_status_lines{0};
void count_status_line(const char*) { ++g_logged_status_lines; }

// One reply damaged on the wire, the next one whole: the library drops the
// first on its CRC (no log line, no value taken) and decodes the second.
TEST(FaultsRs485, CorruptReplyDroppedByCrcNextReplyDecoded) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false, 33);
  morvx::Morvane& hand = rig.hand();
  ASSERT_EQ(0, hand.initial(2, 1));
  hand.stop_monitor();  // only the polls this test sends
  ASSERT_TRUE(rig.link.wait_idle(1000ms));
  int codes[] = {0xD0};
  hand.log_on(true, 100);
  ASSERT_EQ(0, hand.log_recv(codes, 1));
  hand.set_log_callback(count_status_line);
  g_logged_status_lines = 0;
  rig.model().set_joint_position(0, 6543);
  const uint8_t poll[] = {0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26};  // status poll of node 1
  rig.link.to_host.corrupt_next(1);
  rig.link.to_device.push(0, poll, sizeof poll);
  ASSERT_TRUE(rig.link.wait_idle(1000ms));
  int p = 0;
  hand.get_now_position(1, &p);
  EXPECT_NE(6543, p);
  EXPECT_EQ(0, g_logged_status_lines.load());
  rig.link.to_device.push(0, poll, sizeof poll);
  ASSERT_TRUE(rig.link.wait_idle(1000ms));
  hand.get_now_position(1, &p);
  EXPECT_EQ(6543, p);
  EXPECT_EQ(1, g_logged_status_lines.load());
  hand.set_log_callback(nullptr);
}

TEST(FaultsRs485, ArbitraryChunkingChangesNothing) {
  Rs485Rig rig({SimHandConfig::for_model_code(5, 1), SimHandConfig::for_model_code(6, 2)}, true, 37);
  FaultConfig f;
  f.max_chunk = 5;
  rig.link.to_host.set_faults(f);
  rig.link.to_device.set_faults(f);
  ASSERT_EQ(0, rig.hand(0).initial(2, 1));
  ASSERT_EQ(0, rig.hand(1).initial(2, 2));
  char s[32];
  rig.hand(1).get_serial_number(s, sizeof s);
  EXPECT_STREQ("1A00020100000000100300", s);
  int t = -1;
  rig.hand(1).get_hand_type(&t);
  EXPECT_EQ(0, t);
  enable_and_home(rig.hand(0), rig.model(0), 6);
  ASSERT_EQ(0, rig.hand(0).set_target_position(0, 2500));
  ASSERT_EQ(0, rig.hand(0).move_motors(0));
  EXPECT_TRUE(wait_until([&] {
    int p = 0;
    rig.hand(0).get_now_position(3, &p);
    return p == 2500;
  }));
  unsigned v = 0;
  EXPECT_EQ(0, rig.hand(1).get_sdo_drive_param(0x2030, 5, &v));
  EXPECT_EQ(1u, v);
  const uint8_t ota[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  ASSERT_EQ(0, rig.hand(1).set_ota_send_data(ota, sizeof ota));
  uint8_t reply[64];
  int len = 0;
  EXPECT_TRUE(wait_until([&] {
    len = 64;
    return rig.hand(1).get_ota_recv_data(reply, &len) == 0 && len == 15;
  }));
  EXPECT_GT(rig.link.to_host.counters().chunks, rig.link.to_host.counters().delivered);
  EXPECT_EQ(0u, rig.line->crc_errors());
}

TEST(FaultsRs485, SilentDeviceNeverFailsInitial) {
  Rs485Rig rig({SimHandConfig::for_model_code(5)}, false);
  rig.line->set_silent(1, true);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, rig.hand().initial(2, 1));
  EXPECT_GE(elapsed_since(t0), 195ms);
  int v = 0;
  EXPECT_EQ(7, rig.hand().get_home_current(&v));
}

TEST(FaultsRs485, OneSilentHandDoesNotDisturbTheOther) {
  Rs485Rig rig({SimHandConfig::for_model_code(5, 1), SimHandConfig::for_model_code(5, 2)}, true);
  rig.line->set_silent(1, true);
  ASSERT_EQ(0, rig.hand(0).initial(2, 1));
  ASSERT_EQ(0, rig.hand(1).initial(2, 2));
  rig.model(1).set_joint_position(0, 4444);
  int p = 0;
  EXPECT_TRUE(wait_until([&] { return rig.hand(1).get_now_position(1, &p) == 0 && p == 4444; }));
  rig.hand(0).get_now_position(1, &p);
  EXPECT_EQ(0, p);
  unsigned v = 0;
  EXPECT_EQ(7, rig.hand(0).get_sdo_drive_param(0x200E, 30, &v));
  EXPECT_EQ(0, rig.hand(1).get_sdo_drive_param(0x200E, 30, &v));
}

TEST(FaultsEthercat, LostAndCorruptImagesNeverCrash) {
  EthercatRig rig(SimHandConfig::for_model_code(1), 41);
  FaultConfig f;
  f.drop = 0.2;
  f.corrupt = 0.2;
  f.duplicate = 0.2;
  rig.link.to_host.set_faults(f);
  ASSERT_EQ(0, rig.initial());
  ASSERT_EQ(0, rig.hand->set_sensor_enable(1));
  std::this_thread::sleep_for(300ms);
  rig.link.to_host.set_faults(FaultConfig{});
  rig.model->set_joint_position(4, 5555);
  int p = 0;
  EXPECT_TRUE(wait_until([&] { return rig.hand->get_now_position(5, &p) == 0 && p == 5555; }));
}

TEST(FaultsCan, LostRepliesOnlyDelayTheMeasuredValues) {
  CanRig rig(43);
  FaultConfig f;
  f.drop = 0.3;
  f.corrupt = 0.1;
  rig.link.to_host.set_faults(f);
  ASSERT_EQ(0, rig.hand->initial(3));
  ASSERT_EQ(0, rig.hand->set_hand_type(2));
  ASSERT_EQ(0, rig.hand->set_target_angle(1, 55.0f));
  ASSERT_EQ(0, rig.hand->move_motors(1));
  std::this_thread::sleep_for(400ms);
  rig.link.to_host.set_faults(FaultConfig{});
  float a = 0;
  EXPECT_TRUE(wait_until([&] { return rig.hand->get_now_angle(1, &a) == 0 && std::fabs(a - 55.0f) < 0.1f; }, 5000ms));
}

// Every rig, with every fault at once, torn down mid-traffic: no thread
// survives it.
TEST(FaultsAllBuses, TeardownUnderFaultsLeavesNoThread) {
  std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
  const int before = thread_count();
  FaultConfig f;
  f.drop = 0.2;
  f.duplicate = 0.2;
  f.corrupt = 0.2;
  f.delay = 5ms;
  f.jitter = 20ms;
  f.max_chunk = 9;
  for (int round = 0; round < 2; ++round) {
    {
      CanfdRig rig(SimHandConfig::for_model_code(2), 50 + round, 1ms);
      rig.link.to_host.set_faults(f);
      rig.link.to_device.set_faults(f);
      rig.hand->initial(1, 1);
      rig.hand->set_sensor_enable(1);
      rig.hand->set_enable(0, 1);
    }
    {
      Rs485Rig rig({SimHandConfig::for_model_code(5, 1), SimHandConfig::for_model_code(6, 2)}, true, 60 + round);
      rig.link.to_host.set_faults(f);
      rig.link.to_device.set_faults(f);
      rig.hand(0).initial(2, 1);
      rig.hand(1).initial(2, 2);
      rig.hand(1).set_sensor_enable(1);
      unsigned v = 0;
      rig.hand(0).get_sdo_drive_param(0x200E, 30, &v);
    }
    {
      EthercatRig rig(SimHandConfig::for_model_code(1), 70 + round, 1ms);
      rig.link.to_host.set_faults(f);
      rig.initial();
      rig.hand->set_sensor_enable(1);
    }
    {
      CanRig rig(80 + round);
      rig.link.to_host.set_faults(f);
      rig.link.to_device.set_faults(f);
      rig.hand->initial(3);
      rig.hand->set_hand_type(2);
      std::this_thread::sleep_for(100ms);
    }
  }
  EXPECT_TRUE(wait_until([&] { return thread_count() == before; }, 2000ms)) << thread_count() << " vs " << before;
}

}  // namespace
