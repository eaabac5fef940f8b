// End to end through the C interface, one group per bus. The C interface
// takes plain function pointers, so each rig reaches its link through a
// file-scope pointer that the fixture sets and clears.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "morvane/morvane_c.h"
#include "sim_rigs.h"

using namespace simtest;
using simhand::SimHandConfig;

namespace {

simhand::SimLink* g_link = nullptr;
std::vector<uint8_t>* g_rx = nullptr;
std::mutex g_rx_mutex;

bool send_canfd(unsigned id, const uint8_t* d, unsigned n, int ext) { return g_link->to_device.push(id, d, n, ext != 0); }
bool send_bytes(const uint8_t* d, unsigned n) { return g_link->to_device.push(0, d, n); }
bool send_can(unsigned id, const uint8_t* d, unsigned n) { return g_link->to_device.push(id, d, n); }
bool send_rpdo(const uint8_t* d, unsigned n) {
  std::lock_guard<std::mutex> lock(g_rx_mutex);
  g_rx->assign(d, d + n);
  return true;
}

void c_enable_and_home(morvane_handle h, const simhand::DeviceModel& model, int joints) {
  ASSERT_EQ(0, morvane_set_enable(h, 0, 1));
  // On EtherCAT an image lives until the next one: let the enable image be
  // carried before the home command replaces it.
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= joints; ++j) {
      int on = 0;
      if (morvane_get_enable(h, j, &on) != 0 || on != 1) return false;
    }
    return true;
  }));
  ASSERT_EQ(0, morvane_home_motors(h, 0));
  ASSERT_TRUE(wait_until([&] { return device_homed_and_holding(model, joints); }));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= joints; ++j) {
      int status = -1, pos = -1;
      morvane_get_now_status(h, j, &status);
      morvane_get_now_position(h, j, &pos);
      if (status != 1 || pos != 0) return false;
    }
    return true;
  }));
}

void c_move_and_check(morvane_handle h, int joints) {
  for (int j = 1; j <= joints; ++j) ASSERT_EQ(0, morvane_set_target_position(h, j, 900 * j));
  ASSERT_EQ(0, morvane_move_motors(h, 0));
  ASSERT_TRUE(wait_until([&] {
    for (int j = 1; j <= joints; ++j) {
      int p = -1;
      morvane_get_now_position(h, j, &p);
      if (p != 900 * j) return false;
    }
    return true;
  }));
}

TEST(CInterfaceCanfd, IdentifyMoveTactileParameters) {
  CanfdRig rig(SimHandConfig::for_model_code(2), 7, 2ms, false);
  morvane_handle h = morvane_create();
  ASSERT_NE(nullptr, h);
  rig.sink_override = [h](const simhand::Packet& p) {
    morvane_set_canfd_data_decode(h, p.id, p.data.data(), static_cast<int>(p.data.size()));
  };
  g_link = &rig.link;
  morvane_set_send_canfd_callback(h, send_canfd);
  ASSERT_EQ(0, morvane_initial_ex(h, 1, 1));
  char serial[40];
  ASSERT_EQ(0, morvane_get_serial_number(h, serial, sizeof serial));
  EXPECT_STREQ("1A00020100000000100300", serial);
  int type = -1;
  morvane_get_hand_type(h, &type);
  EXPECT_EQ(0, type);

  c_enable_and_home(h, *rig.model, 6);
  c_move_and_check(h, 6);

  ASSERT_EQ(0, morvane_set_sensor_enable(h, 1));
  ASSERT_TRUE(wait_until([&] {
    float* values = nullptr;
    int count = 0;
    const int r = morvane_get_finger_pressure(h, 7, &values, &count);
    const bool ok = r == 0 && count == 9 && values && values[8] > 0;
    morvane_free_buffer(values);
    return ok;
  }));
  float *x = nullptr, *y = nullptr;
  int count = 0;
  ASSERT_EQ(0, morvane_get_finger_sensor_pos(h, 11, &x, &y, &count));
  EXPECT_EQ(26, count);
  morvane_free_buffer(x);
  morvane_free_buffer(y);

  ASSERT_EQ(0, morvane_set_home_current(h, 222));
  int v = 0;
  EXPECT_EQ(0, morvane_get_home_current(h, &v));
  EXPECT_EQ(222, v);
  unsigned raw = 0;
  ASSERT_EQ(0, morvane_set_sdo_drive_param(h, 0x2400, 2, 77));
  EXPECT_EQ(0, morvane_get_sdo_drive_param(h, 0x2400, 2, &raw));
  EXPECT_EQ(77u, raw);
  ASSERT_EQ(0, morvane_save_sdo_drive_param(h));
  EXPECT_TRUE(wait_until([&] { return rig.model->save_count() == 1; }));

  rig.shutdown();
  morvane_destroy(h);
  g_link = nullptr;
}

TEST(CInterfaceRs485, TwoHandsOnOneSharedBus) {
  simhand::SimLink link(21);
  auto m1 = std::make_shared<simhand::DeviceModel>(SimHandConfig::for_model_code(5, 1));
  auto m2 = std::make_shared<simhand::DeviceModel>(SimHandConfig::for_model_code(6, 2));
  simhand::SimRs485Line line([&](const uint8_t* d, size_t n) { link.to_host.push(0, d, n); });
  line.add_hand(m1);
  line.add_hand(m2);
  morvane_rs485_shared_bus_handle bus = morvane_rs485_shared_bus_create();
  ASSERT_NE(nullptr, bus);
  link.to_device.set_sink([&](const simhand::Packet& p) { line.on_host_bytes(p.data.data(), p.data.size()); });
  link.to_host.set_sink([bus](const simhand::Packet& p) {
    morvane_rs485_shared_bus_set_receive_data(bus, p.data.data(), static_cast<int>(p.data.size()));
  });
  g_link = &link;
  morvane_rs485_shared_bus_set_send_callback(bus, send_bytes);
  link.start();
  morvane_handle h1 = morvane_create();
  morvane_handle h2 = morvane_create();
  morvane_set_rs485_shared_bus(h1, bus);
  morvane_set_rs485_shared_bus(h2, bus);
  ASSERT_EQ(0, morvane_initial_ex(h1, 2, 1));
  ASSERT_EQ(0, morvane_initial_ex(h2, 2, 2));
  int t1 = -1, t2 = -1;
  morvane_get_hand_type(h1, &t1);
  morvane_get_hand_type(h2, &t2);
  EXPECT_EQ(1, t1);
  EXPECT_EQ(0, t2);
  c_enable_and_home(h2, *m2, 6);
  c_move_and_check(h2, 6);
  int p = -1;
  morvane_get_now_position(h1, 6, &p);
  EXPECT_EQ(200, p);  // hand 1 stays where it stood at power-up
  EXPECT_GT(line.polls_for(1), 3u);

  link.stop();
  morvane_destroy(h1);
  morvane_destroy(h2);
  morvane_rs485_shared_bus_close(bus);
  morvane_rs485_shared_bus_destroy(bus);
  g_link = nullptr;
}

TEST(CInterfaceEthercat, EnableHomeMove) {
  simhand::SimLink link(23);
  auto model = std::make_shared<simhand::DeviceModel>(SimHandConfig::for_model_code(1));
  simhand::SimEthercatHand sim(model);
  std::vector<uint8_t> rx(64, 0);
  g_rx = &rx;
  morvane_handle h = morvane_create();
  link.to_device.set_sink([&](const simhand::Packet& pk) {
    const std::vector<uint8_t> tx = sim.exchange(pk.data.data(), pk.data.size(), simhand::SimClock::now());
    link.to_host.push(0, tx.data(), tx.size());
  });
  std::atomic<bool> decoding{false};  // not while initial() applies the tables
  link.to_host.set_sink([h, &decoding](const simhand::Packet& pk) {
    if (decoding) morvane_set_tpdo_data_decode(h, pk.data.data(), static_cast<int>(pk.data.size()));
  });
  morvane_set_send_rpdo_callback(h, send_rpdo);
  link.start();
  std::atomic<bool> stop{false};
  std::thread cycle([&] {
    while (!stop) {
      std::vector<uint8_t> image;
      {
        std::lock_guard<std::mutex> lock(g_rx_mutex);
        image = rx;
      }
      link.to_device.push(0, image.data(), image.size());
      std::this_thread::sleep_for(2ms);
    }
  });
  ASSERT_EQ(0, morvane_initial(h, 0));
  decoding = true;
  c_enable_and_home(h, *model, 6);
  c_move_and_check(h, 6);
  stop = true;
  cycle.join();
  link.stop();
  morvane_destroy(h);
  g_rx = nullptr;
}

TEST(CInterfaceCan, SixteenJointsMove) {
  simhand::SimLink link(29);
  auto model = std::make_shared<simhand::DeviceModel>(SimHandConfig::servo_hand());
  simhand::SimCanServoHand sim(model, [&](uint32_t id, const uint8_t* d, size_t n) { link.to_host.push(id, d, n); });
  morvane_handle h = morvane_create();
  link.to_device.set_sink([&](const simhand::Packet& p) { sim.on_host_frame(p.id, p.data.data(), p.data.size()); });
  link.to_host.set_sink([h](const simhand::Packet& p) {
    morvane_set_can_data_decode(h, p.id, p.data.data(), static_cast<int>(p.data.size()));
  });
  g_link = &link;
  morvane_set_send_can_callback(h, send_can);
  link.start();
  ASSERT_EQ(0, morvane_initial(h, 3));
  ASSERT_EQ(0, morvane_set_hand_type(h, 2));
  for (int j = 1; j <= 16; ++j) {
    float lo = 0, hi = 0;
    ASSERT_EQ(0, morvane_get_limit_target_angle(h, j, &lo, &hi));
    ASSERT_EQ(0, morvane_set_target_angle(h, j, (lo + hi) / 2));
  }
  ASSERT_EQ(0, morvane_move_motors(h, 0));
  EXPECT_TRUE(wait_until([&] {
    for (int j = 1; j <= 16; ++j) {
      float lo = 0, hi = 0, a = 0;
      morvane_get_limit_target_angle(h, j, &lo, &hi);
      morvane_get_now_angle(h, j, &a);
      if (std::fabs(a - (lo + hi) / 2) > 0.1f) return false;
    }
    return true;
  }, 8000ms));
  morvane_close(h);
  link.stop();
  morvane_destroy(h);
  g_link = nullptr;
}

}  // namespace
