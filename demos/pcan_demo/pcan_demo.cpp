// pcan_demo: the 16-joint hand on classic CAN at 1 Mbit/s through kitpcan.
//
// Lists the CAN channels, opens the chosen one, wires the hand's classic-CAN
// send function to the channel and the channel's messages to the hand's
// decoder, prints the hand's frame log with time stamps, and runs a console
// that moves single joints (or all) to angles until q or Esc.
//
// Hardware: libKitPcan.so drives SocketCAN interfaces can0 .. can9 (bring
// the interface up at 1 Mbit/s first: ip link set can0 up type can bitrate
// 1000000). Against the simulator (no hardware): the simulator build of
// libKitPcan with a simulated 16-joint hand on channel 0x51 sits in
// <build>/sim-hand-lib:
//   LD_LIBRARY_PATH=build/sim-hand-lib build/demos/pcan_demo/pcan_demo
// then channel 0, and commands such as "3 30", "0 10", "q".
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "kitconsole/console.h"
#include "kitpcan/pcan.h"
#include "morvane/morvane.h"
#include "pcan_bus.h"

namespace {

constexpr int kBitrate1M = KITPCAN_BITRATE_1M;
constexpr int kLogLines = 10000;

void discard_line(std::istream& in) {
  in.clear();
  in.ignore(1024, '\n');
}

// True when the caller should act: a quit request, or a joint in
// [0, active] with an angle. False when nothing valid was read.
bool read_joint_command(int active, bool* quit, int* joint, float* angle) {
  std::istream& in = kitconsole::input();
  *quit = false;
  std::cout << "\n> " << std::flush;
  std::string word;
  in >> word;
  if (!in.good()) return false;
  if (word == "q" || word == "Q") {
    *quit = true;
    return true;
  }
  const char* begin = word.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
    std::cout << "Invalid input, please retry." << std::endl;
    discard_line(in);
    return false;
  }
  *joint = static_cast<int>(value);
  if (!(in >> *angle)) {
    std::cout << "Invalid angle input, please retry." << std::endl;
    discard_line(in);
    return false;
  }
  if (*joint < 0 || *joint > active) {
    std::cout << "joint_id out of range [0-" << active << "]." << std::endl;
    return false;
  }
  return true;
}

// "[HH:MM:SS.mmm] text", local time; one write, so lines from the monitor
// thread and the receive thread do not interleave within a line.
void print_log_line(const char* text) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "[%H:%M:%S", &local);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03ld]", ms);
  std::string line = std::string(stamp) + millis + " " + (text ? text : "") + "\n";
  std::cout << line << std::flush;
}

void log_function(const char* text) { print_log_line(text); }

// The channel prompt with the stream's number extraction. -1 when the
// console input has ended (no answer can come any more).
int prompt_channel(int count) {
  std::istream& in = kitconsole::input();
  for (;;) {
    std::cout << "Please select the CAN channel" << " [" << 0 << " - " << count - 1 << "]: " << std::flush;
    int index = 0;
    if (!(in >> index)) {
      if (in.eof()) return -1;
      std::cout << "Invalid input, please try again." << std::endl;
      discard_line(in);
      continue;
    }
    if (index < 0 || index > count - 1) {
      std::cout << "Input out of range, please try again." << std::endl;
      continue;
    }
    return index;
  }
}

// Esc or an ended console input ends the joint console. On a terminal a
// waiting key other than Esc is consumed and ignored. From a pipe or file a
// command's first character must stay for the command reader: only blanks
// and line ends (which the reader skips anyway) are taken here.
bool esc_pressed() {
  const bool terminal = kitconsole::input_is_terminal();
  int key = terminal ? kitconsole::poll_key() : kitconsole::peek_key();
  while (!terminal && (key == ' ' || key == '\t' || key == '\r' || key == '\n')) {
    kitconsole::poll_key();
    key = kitconsole::peek_key();
  }
  if (key == kitconsole::kKeyEsc) {
    if (!terminal) kitconsole::poll_key();
    std::cout << "\nEsc pressed, exiting..." << std::endl;
    return true;
  }
  if (key == kitconsole::kInputEnded) {
    std::cout << "\nConsole input ended, exiting..." << std::endl;
    return true;
  }
  return false;
}

void joint_console(morvx::Morvane& hand, int active) {
  for (;;) {
    if (esc_pressed()) return;
    bool quit = false;
    int joint = 0;
    float angle = 0;
    if (!read_joint_command(active, &quit, &joint, &angle)) continue;
    if (quit) return;
    if (joint == 0) {
      for (int j = 1; j <= active; ++j) hand.set_target_angle(j, angle);
      std::cout << "Set all joints to " << angle << std::endl;
    } else {
      hand.set_target_angle(joint, angle);
      std::cout << "Set joint " << joint << " angle = " << angle << std::endl;
    }
    int r = hand.move_motors(0);
    if (r != 0) {
      std::cout << "move_motors failed, err = " << r << std::endl;
      continue;
    }
    std::cout << std::fixed << std::setprecision(1) << "Now angles: ";
    for (int j = 1; j <= active; ++j) {
      float now = 0;
      hand.get_now_angle(j, &now);
      if (j > 1) std::cout << "  ";
      std::cout << "J" << j << "=" << now;
    }
    std::cout << std::endl;
  }
}

}  // namespace

int main() {
  auto hand = std::make_shared<morvx::Morvane>();
  auto bus = std::make_shared<demos::PCANBus>();

  std::cout << "Using standard CAN communication (1 Mbps)." << std::endl << std::endl;
  std::vector<uint16_t> channels;
  std::vector<std::string> names;
  const int count = bus->scan(&channels, &names);
  std::cout << "Found channels: " << count << std::endl;
  for (int i = 0; i < count; ++i)
    std::cout << "  [" << i << "] channel " << channels[static_cast<size_t>(i)] << " : "
              << names[static_cast<size_t>(i)] << std::endl;
  if (count == 0) {
    std::cout << "No CAN channel found." << std::endl;
    kitconsole::pause();
    return -1;
  }
  const int index = prompt_channel(count);
  if (index < 0) {
    std::cout << "\nConsole input ended." << std::endl;
    return -1;
  }
  if (!bus->connect(channels[static_cast<size_t>(index)], kBitrate1M)) {
    std::cout << "CAN channel connect failed." << std::endl;
    kitconsole::pause();
    return -1;
  }
  std::cout << "CAN channel connected." << std::endl << std::endl;

  // Called from the main thread and from the hand's monitor thread.
  morvx::send_can_callback send = [bus](unsigned id, const uint8_t* data, unsigned len) {
    return bus->send(id, std::vector<uint8_t>(data, data + len), false);
  };
  hand->set_send_can_callback_ex(&send);
  bus->set_receive_callback([hand](const demos::CANMessage& m, const demos::CANTimestamp&) {
    hand->set_can_data_decode(m.id, m.data, m.len);
  });

  int exit_code = 0;
  if (hand->initial(morvx::COMM_CAN, 1) != 0) {
    std::cerr << "Morvane init failed." << std::endl;
    exit_code = -1;
  } else {
    hand->set_hand_type(2);
    hand->set_hand_direction(0);
    hand->set_log_callback(&log_function);
    hand->log_on(true, kLogLines);
    int total = 0, active = 0;
    hand->get_dof(&total, &active);
    std::cout << "DOF: total = " << total << ", active = " << active << std::endl;
    hand->set_position_velocity(0, 20000);
    hand->set_max_current(0, 1000);
    std::cout << "\n===== Joint Angle Test =====" << std::endl;
    std::cout << "Input format: <joint_id> <angle>" << std::endl;
    std::cout << "joint_id: 1~" << active << "  (0 = set all joints)" << std::endl;
    std::cout << "Enter 'q' to quit." << std::endl;
    joint_console(*hand, active);
  }

  hand->log_on(false, kLogLines);
  hand->close();
  bus->disconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The receive callable holds the hand: drop it, then the hand, while the
  // send callable the hand points to still exists.
  bus->set_receive_callback(nullptr);
  hand.reset();
  bus.reset();
  return exit_code;
}
