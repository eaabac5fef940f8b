#include "hand_tests.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "kitconsole/console.h"
#include "sensor_line.h"

namespace demos {
namespace {

constexpr int kRows = 7;
constexpr int kRowJoints = 6;
const int kMotionTable[kRows][kRowJoints] = {
    {10000, 0, 0, 0, 0, 0}, {0, 10000, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0},     {0, 0, 10000, 0, 0, 0},
    {0, 0, 0, 10000, 0, 0}, {0, 0, 0, 0, 10000, 0}, {0, 0, 0, 0, 0, 10000},
};
const int kSensorIds[] = {1, 3, 5, 7, 9, 11};
constexpr int kSensorCount = sizeof kSensorIds / sizeof kSensorIds[0];
constexpr int kSerialNumberChars = 64;

// Silent single-key mode for as long as a test runs.
class KeyMode {
 public:
  KeyMode() { kitconsole::begin_key_mode(); }
  ~KeyMode() { kitconsole::end_key_mode(); }
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;
};

}  // namespace

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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

void warn_if_no_answer(morvx::Morvane& hand, unsigned node_id) {
  // The serial number is the one identity part that initial() waits for.
  char serial[kSerialNumberChars] = {};
  if (hand.get_serial_number(serial, sizeof serial) == 0 && serial[0] != '\0') return;
  std::cerr << "Warning: node " << node_id << " did not answer." << std::endl;
}

int sensor_test(morvx::Morvane& hand, int hand_type) {
  KeyMode keys;
  hand.set_sensor_enable(1);
  std::cout << "Starting sensor data test..." << std::endl;
  std::cout << "Press Esc to exit." << std::endl;
  const bool pressure_only = hand_type == 1;
  for (bool first = true;; first = false) {
    if (esc_pressed("\nEsc pressed, exiting...")) return 0;
    if (!first) std::cout << '\x1b' << "[" << kSensorCount + 1 << "A";
    std::cout << '\x1b' << "[2K----------------------------------------" << std::endl;
    for (int id : kSensorIds) print_sensor_line(hand, id, pressure_only);
    std::cout.flush();
    sleep_ms(50);
  }
}

int motion_test(morvx::Morvane& hand, int active) {
  KeyMode keys;
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

}  // namespace demos
