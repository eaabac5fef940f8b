// rs485_demo: one hand on RS485 through a serial port.
//
// Lists the serial ports, opens the chosen one at 500000 baud 8N1, wires the
// hand object's RS485 send function to the port and the port's received
// bytes to the hand's RS485 decoder, and runs the cyclic motion test or the
// live tactile display until Esc.
//
// Serial ports offered: the device paths given as arguments first (a
// pseudo-terminal such as /dev/pts/7 included), then /dev/ttyUSB*,
// /dev/ttyACM* and /dev/ttyS* with a UART.
//
// Against the simulator (no hardware):
//   build/demos/tools/sim_hand_pty --link /tmp/hand.pty &   # simulated hand behind a pty
//   build/demos/rs485_demo/rs485_demo /tmp/hand.pty   # pick port 0, mode 0 or 1
// or run scripts/demo.sh, which does both with scripted answers.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kitconsole/console.h"
#include "morvane/morvane.h"
#include "hand_tests.h"
#include "named_ports.h"
#include "prompt_int.h"
#include "serial_port.h"

namespace {

constexpr unsigned kBaud = 500000;
// The hand library's RS485 node id, which initial(2) leaves as it is.
constexpr unsigned kNodeId = 1;

}  // namespace

int main(int argc, char** argv) {
  // The tactile display redraws in place with escape sequences.
  kitconsole::enable_output_sequences();
  auto hand = std::make_shared<morvx::Morvane>();
  auto port = std::make_shared<demos::SerialPort>();
  std::atomic<bool> stop{false};

  std::cout << "Using RS485 communication." << std::endl << std::endl;
  const std::vector<std::string> ports =
      demos::list_ports_reporting_missing(std::vector<std::string>(argv + 1, argv + argc), std::cerr);
  std::cout << "Detected serial ports: " << ports.size() << std::endl << std::endl;
  if (ports.empty()) {
    kitconsole::pause();
    return 0;
  }
  for (size_t i = 0; i < ports.size(); ++i) std::cout << "Input " << i << " ---- port " << ports[i] << std::endl;
  const int choice = demos::prompt_int("\nPlease select the serial port", 0, static_cast<int>(ports.size()) - 1, -1);
  // An empty answer gives -1, which names no port: treated as a failed open.
  if (choice < 0 || choice >= static_cast<int>(ports.size())) {
    std::cout << "Failed to open serial port." << std::endl;
    kitconsole::pause();
    return -1;
  }
  const std::string& name = ports[static_cast<size_t>(choice)];
  std::cout << "Opening serial port " << name << " ..." << std::endl;
  if (!port->open(name, kBaud)) {
    std::cout << "Failed to open serial port." << std::endl;
    kitconsole::pause();
    return -1;
  }
  std::cout << "Serial port opened successfully." << std::endl;
  const int mode = demos::prompt_int(
      "\nSelect test mode\n  0 = Motor motion test\n  1 = Sensor data test\n(default 0)", 0, 1, 0);

  // The bus worker calls this on its own thread; the port serialises writes.
  morvx::send_data_callback send = [port](const uint8_t* data, unsigned length) {
    return port->write(data, length);
  };
  hand->set_send_rs485_callback_ex(&send);
  port->on_receive = [hand, &stop](const uint8_t* data, unsigned length) {
    if (stop.load(std::memory_order_acquire)) return;
    hand->set_rs485_data_decode(data, static_cast<int>(length));
  };

  int exit_code = 0;
  if (hand->initial(morvx::COMM_RS485) != 0) {
    std::cerr << "Morvane init failed." << std::endl;
    exit_code = -1;
  } else {
    std::cout << "Morvane init succeeded." << std::endl;
    demos::warn_if_no_answer(*hand, kNodeId);
    int total = 0, active = 0, type = 0;
    hand->get_dof(&total, &active);
    hand->get_hand_type(&type);
    std::cout << "DOF: total " << total << ", active " << active << ", hand_type " << type << std::endl;
    exit_code = mode == 1 ? demos::sensor_test(*hand, type) : demos::motion_test(*hand, active);
  }

  // Shutdown: stop feeding the decoder, stop the hand, then the port.
  stop.store(true, std::memory_order_release);
  hand->close();
  port->close();
  demos::sleep_ms(100);
  // The receive callable holds the hand: drop it so that the hand object is
  // destroyed (and leaves its bus context) while the send callable that it
  // points to still exists.
  port->on_receive = nullptr;
  hand.reset();
  return exit_code;
}
