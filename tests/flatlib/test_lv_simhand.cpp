// End to end against the simulated hand (sim/hand): the flat library opens
// the hand on RS485 over a pseudo-terminal and on CAN-FD through the
// simulated adapter, enables and homes it, moves a joint and watches the
// reported position arrive.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "com_port.h"
#include "lv_identity.h"
#include "lv_moves.h"
#include "morvane_lv/morvane_lv.h"
#include "pty_hand.h"
#include "simadapter/sim_adapter.h"
#include "simcan/sim_can_bus.h"
#include "simhand/canfd_hand.h"
#include "simhand/device_model.h"
#include "simhand/rs485_line.h"
#include "slot_table.h"

namespace {

using flatlib_test::enable_home_and_move;
using flatlib_test::wait_for_firmware;
using flatlib_test::wait_for_hand_type;
using flatlib_test::Pty;
using flatlib_test::wait_for;
using std::chrono::milliseconds;

TEST(LvSimHand, Rs485OverAPseudoTerminal) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(5, 1));
  const int master = pty.master();
  simhand::SimRs485Line line([master](const uint8_t* d, size_t n) {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(master, d + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else {
        pollfd p{master, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) return;
      }
    }
  });
  line.add_hand(model);
  std::atomic<bool> running{true};
  std::thread pump([&] {
    uint8_t buf[512];
    while (running) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 5) > 0) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) line.on_host_bytes(buf, static_cast<size_t>(n));
      }
      model->advance_to(simhand::SimClock::now());
    }
  });

  lv::ComPort::set_extra_port_names({pty.slave_name()});
  int index = -1;
  const int n = lv_rs485_scan_device_count();
  for (int i = 0; i < n; ++i) {
    char name[256];
    if (lv_rs485_get_device_string(i, name, sizeof name) == 0 && pty.slave_name() == name) index = i;
  }
  EXPECT_GE(index, 0);
  if (index >= 0) {
    ASSERT_EQ(lv_init(2, index, 1), 0);
    int type = -1;
    EXPECT_TRUE(wait_for_hand_type(1, &type)) << "hand type " << type;
    enable_home_and_move(6000);
    EXPECT_EQ(line.crc_errors(), 0u);
    lv_close();
  }
  running = false;
  pump.join();
  lv::ComPort::set_extra_port_names({});
}

// Passes the host's frames on the simulated bus to the simulated hand.
class HandPort : public simcan::CanNode {
 public:
  void on_frame(const simcan::CanFrame& f) override {
    if (hand) hand->on_host_frame(f.id, f.data, f.length(), f.extended);
  }
  simhand::SimCanfdHand* hand = nullptr;
};

TEST(LvSimHand, CanfdThroughTheSimulatedAdapter) {
  simadapter::SimUsbBackend::instance().unplug_all();
  tavrix::reset_library_for_tests();
  auto bus = std::make_shared<simcan::CanBus>();
  auto port = std::make_shared<HandPort>();
  auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(3, 1));
  HandPort* raw_port = port.get();
  simhand::SimCanfdHand hand(model, [bus, raw_port](uint32_t id, const uint8_t* d, size_t len, bool ext) {
    simcan::CanFrame f;
    f.id = id;
    f.extended = ext;
    f.fd = true;
    f.dlc = simcan::length_to_dlc(len);
    std::memcpy(f.data, d, std::min<size_t>(len, 64));
    bus->send(f, raw_port);
  });
  port->hand = &hand;
  bus->attach(port);
  simadapter::SimUsbBackend::instance().plug(simadapter::SimAdapter::create({}, bus));
  hand.start(std::chrono::microseconds(10000));

  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  float fw = 0;
  EXPECT_TRUE(wait_for_firmware(1.23f, &fw)) << "firmware " << fw;
  enable_home_and_move(7000);
  lv_close();

  hand.stop();
  bus->detach(port.get());
  simadapter::SimUsbBackend::instance().unplug_all();
  tavrix::reset_library_for_tests();
}

}  // namespace
