// canfd_demo: one hand on CAN-FD through the USB CAN-FD adapter (Tavrix).
//
// Lists the adapters, opens the chosen one at 1 Mbit/s nominal and 5 Mbit/s
// data bit rate, wires the hand's CAN-FD send function to the adapter and
// the adapter's received frames to the hand's CAN-FD decoder, and runs the
// cyclic motion test or the live tactile display until Esc.
//
// Against the simulator (no hardware): the simulator build of libTavrix with
// a simulated hand on its CAN-FD bus sits in <build>/sim-hand-lib; put it
// first on the library path and answer the prompts as usual:
//   LD_LIBRARY_PATH=build/sim-hand-lib build/demos/canfd_demo/canfd_demo
// (channel 0, node id 1, mode 0 or 1). build/sim-lib holds the simulated
// adapter alone, with nothing on its bus.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "canfd_master.h"
#include "kitconsole/console.h"
#include "morvane/morvane.h"
#include "prompt_int.h"
#include "sensor_line.h"

namespace {

constexpr int kRows = 7;
constexpr int kRowJoints = 6;
const int kMotionTable[kRows][kRowJoints] = {
    {10000, 0, 0, 0, 0, 0}, {0, 10000, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0},     {0, 0, 10000, 0, 0, 0},
    {0, 0, 0, 10000, 0, 0}, {0, 0, 0, 0, 10000, 0}, {0, 0, 0, 0, 0, 10000},
};
const int kSensorIds[] = {1, 3, 5, 7, 9, 11};
constexpr int kSensorCount = sizeof kSensorIds / sizeof kSensorIds[0];

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Esc (or an ended console input, after which no Esc can come) ends a test;
// other keys are consumed.
bool esc_pressed(const char* message) {
  int key = kitconsole::poll_key();
  if (key == kitconsole::kKeyEsc) {
    std::cout << message << std::endl;
    return true;
  }
  if (key == kitconsole::kInputEnded) {
    std::cout << "\nConsole input ended, exiting..." << std::endl;
    return true;
  }
  return false;
}

int motion_test(morvx::Morvane& hand, int active) {
  hand.set_enable(0, 1);
  std::cout << "Waiting for enable..." << std::endl;
  sleep_ms(1000);
  std::cout << "Homing node..." << std::endl;
  hand.home_motors(0);
  sleep_ms(5000);
  std::cout << "Starting cyclic motion test..." << std::endl;
  std::cout << "Press Esc to exit." << std::endl;
  const int joints = active < kRowJoints ? active : kRowJoints;
  for (int row = 0;; row = (row + 1) % kRows) {
    if (esc_pressed("Esc pressed, exiting...")) return 0;
    for (int j = 1; j <= joints; ++j) {
      hand.set_target_position(j, kMotionTable[row][j - 1]);
      hand.set_position_velocity(j, 20000);
      hand.set_max_current(j, 1000);
    }
    int r = hand.move_motors(0);
    std::cout << "line: " << row << " positions: ";
    for (int v : kMotionTable[row]) std::cout << v << " ";
    std::cout << "retn: " << r << std::endl;
    if (r != 0) return r;
    sleep_ms(1000);
  }
}

int sensor_test(morvx::Morvane& hand, int hand_type) {
  hand.set_sensor_enable(1);
  std::cout << "Starting sensor data test..." << std::endl;
  std::cout << "Press Esc to exit." << std::endl;
  for (bool first = true;; first = false) {
    int key = kitconsole::poll_key();
    if (key == kitconsole::kKeyEsc) break;
    if (key == kitconsole::kInputEnded) {
      std::cout << "\nConsole input ended, exiting..." << std::endl;
      return 0;
    }
    if (!first) std::cout << '\x1b' << "[" << kSensorCount + 1 << "A";
    std::cout << '\x1b' << "[2K----------------------------------------" << std::endl;
    for (int id : kSensorIds) demos::print_sensor_line(hand, id, hand_type == 1);
    std::cout.flush();
    sleep_ms(50);
  }
  std::cout << "\nEsc pressed, exiting..." << std::endl;
  return 0;
}

}  // namespace

int main() {
  auto hand = std::make_shared<morvx::Morvane>();
  auto master = std::make_shared<demos::CANFDMaster>();

  std::cout << "Using CANFD communication." << std::endl << std::endl;
  const std::vector<std::string> channels = demos::CANFDMaster::scan();
  std::cout << "Detected CANFD channels: " << channels.size() << std::endl << std::endl;
  if (channels.empty()) {
    kitconsole::pause();
    return 0;
  }
  for (size_t i = 0; i < channels.size(); ++i)
    std::cout << "Input " << i << " ---- channel " << channels[i] << std::endl;
  const int channel =
      demos::prompt_int("\nPlease select the CANFD channel", 0, static_cast<int>(channels.size()) - 1, -1);
  if (!master->connect(channel, 1000000, 5000000)) {
    std::cout << "CANFD connect failed." << std::endl;
    kitconsole::pause();
    return -1;
  }
  std::cout << "CANFD connect succeeded." << std::endl;

  // Frames leave on the thread that issues the command.
  morvx::send_canfd_callback send = [master](unsigned id, const uint8_t* data, unsigned len, int extended) {
    return master->send(id, data, len, extended);
  };
  hand->set_send_canfd_callback_ex(&send);
  master->set_receive_callback([hand](unsigned id, const std::vector<uint8_t>& data, uint64_t) {
    hand->set_canfd_data_decode(id, data.data(), static_cast<int>(data.size()));
  });

  const int node_id = demos::prompt_int("\nPlease enter CANFD node id (default 1)", 1, 255, 1);
  const int mode = demos::prompt_int(
      "\nSelect test mode\n  0 = Motor motion test\n  1 = Sensor data test\n(default 0)", 0, 1, 0);

  int exit_code = 0;
  if (hand->initial(morvx::COMM_CANFD, static_cast<unsigned>(node_id)) != 0) {
    std::cerr << "Morvane init failed." << std::endl;
    exit_code = -1;
  } else {
    int total = 0, active = 0, type = 0;
    hand->get_hand_type(&type);
    hand->get_dof(&total, &active);
    std::cout << "DOF: total " << total << ", active " << active << ", hand_type " << type << std::endl;
    exit_code = mode == 1 ? sensor_test(*hand, type) : motion_test(*hand, active);
  }

  hand->close();
  master->disconnect();
  sleep_ms(100);
  // The receive callable holds the hand: drop it, then the hand, while the
  // send callable that the hand points to still exists.
  master->set_receive_callback(nullptr);
  hand.reset();
  master.reset();
  return exit_code;
}
