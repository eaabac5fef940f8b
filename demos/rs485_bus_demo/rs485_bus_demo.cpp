// rs485_bus_demo: two hands (node ids 1 and 2) on one RS485 line.
//
// Opens one serial port at 500000 baud, creates one shared RS485 bus whose
// worker is the only writer of the port and polls both hands, attaches two
// hand objects to it, and offers a menu to enable, disable, home, move and
// inspect either node until 0 is chosen.
//
// Serial ports offered: the device paths given as arguments first (a
// pseudo-terminal such as /dev/pts/7 included), then /dev/ttyUSB*,
// /dev/ttyACM* and /dev/ttyS* with a UART.
//
// Against the simulator (no hardware):
//   build/demos/tools/sim_hand_pty --nodes 2 --link /tmp/hands.pty &   # two simulated hands
//   build/demos/rs485_bus_demo/rs485_bus_demo /tmp/hands.pty   # port 0, then the menu
// scripts/demo.sh runs it this way with scripted answers.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "morvane/morvane.h"
#include "hand_tests.h"
#include "named_ports.h"
#include "prompt_int.h"
#include "serial_port.h"

namespace {

constexpr unsigned kBaud = 500000;
constexpr int kHomeWaitMs = 5000;

struct NodeContext {
  unsigned node_id;
  std::shared_ptr<morvx::Morvane> hand;
  int total_dof;
  int active_dof;
  int hand_type;
};

using demos::sleep_ms;

int init_node(NodeContext& node) {
  std::cout << "Initializing SDK for Node " << node.node_id << " ..." << std::endl;
  int r = node.hand->initial(morvx::COMM_RS485, node.node_id);
  if (r != 0) {
    std::cout << "Node " << node.node_id << " " << "initial failed" << ", result=" << r << std::endl;
    return r;
  }
  node.hand->get_dof(&node.total_dof, &node.active_dof);
  node.hand->get_hand_type(&node.hand_type);
  std::cout << "Node " << node.node_id << " initialized: total DOF " << node.total_dof << ", active DOF "
            << node.active_dof << ", hand type " << node.hand_type << std::endl;
  demos::warn_if_no_answer(*node.hand, node.node_id);
  return 0;
}

int enable_node(NodeContext& node, bool on) {
  int r = node.hand->set_enable(0, on ? 1 : 0);
  std::cout << "Node " << node.node_id << " " << (on ? "enable" : "disable") << ", result=" << r << std::endl;
  return r;
}

int home_node(NodeContext& node) {
  int r = node.hand->home_motors(0);
  std::cout << "Node " << node.node_id << " " << "home all motors" << ", result=" << r << std::endl;
  if (r != 0) return r;
  std::cout << "Waiting " << kHomeWaitMs << " ms for Node " << node.node_id << " homing..." << std::endl;
  sleep_ms(kHomeWaitMs);
  return 0;
}

// Said when the console input ends inside an operation, which then sends
// nothing: a default is no answer from the user.
void say_abandoned() { std::cout << "Console input ended, operation abandoned." << std::endl; }

int move_node(NodeContext& node) {
  int joint = 0, target = 0;
  if (!demos::try_prompt_int("Joint ID (0 means all joints)", 0, node.active_dof, 0, &joint) ||
      !demos::try_prompt_int("Target position", 0, 10000, 0, &target)) {
    say_abandoned();
    return 0;
  }
  int r = node.hand->set_target_position(joint, target);
  if (r == 0) r = node.hand->set_position_velocity(joint, 20000);
  if (r == 0) r = node.hand->set_max_current(joint, 1000);
  if (r == 0) r = node.hand->move_motors(joint);
  std::cout << "Node " << node.node_id << " move joint " << joint << " to " << target << ", result=" << r
            << std::endl;
  return r;
}

void print_node_state(NodeContext& node) {
  std::cout << "\nNode " << node.node_id << " state" << std::endl;
  std::cout << " axis | position | enable | reached | status | alarm" << std::endl;
  std::cout << "------+----------+--------+---------+--------+------" << std::endl;
  for (int j = 1; j <= node.active_dof; ++j) {
    int position = 0, enable = 0, reached = 0, status = 0, alarm = 0;
    node.hand->get_now_position(j, &position);
    node.hand->get_enable(j, &enable);
    node.hand->get_position_reached(j, &reached);
    node.hand->get_now_status(j, &status);
    node.hand->get_now_alarm(j, &alarm);
    std::cout << std::setw(5) << j << " | " << std::setw(8) << position << " | " << std::setw(6) << enable
              << " | " << std::setw(7) << reached << " | " << std::setw(6) << status << " | " << std::setw(5)
              << alarm << std::endl;
  }
}

// Null when the console input ended before a node was chosen.
NodeContext* select_node(NodeContext& node1, NodeContext& node2) {
  int id = 1;
  if (!demos::try_prompt_int("Select Node ID", 1, 2, 1, &id)) {
    say_abandoned();
    return nullptr;
  }
  return id == 2 ? &node2 : &node1;
}

void print_menu() {
  std::cout << "\n========== Dual-node RS485 test ==========\n"
            << "  1 - Enable one node\n"
            << "  2 - Disable one node\n"
            << "  3 - Home one node\n"
            << "  4 - Move one node\n"
            << "  5 - Print one node state\n"
            << "  6 - Print both node states\n"
            << "  7 - Enable and home both nodes\n"
            << "  0 - Exit\n"
            << "==========================================" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::cout << "RS485 dual-node example: Node 1 + Node 2 on one serial bus." << std::endl;
  const std::vector<std::string> ports =
      demos::list_ports_reporting_missing(std::vector<std::string>(argv + 1, argv + argc), std::cerr);
  if (ports.empty()) {
    std::cerr << "No serial port found." << std::endl;
    return -1;
  }
  for (size_t i = 0; i < ports.size(); ++i) std::cout << "  [" << i << "] " << ports[i] << std::endl;
  int choice = demos::prompt_int("Select serial port", 0, static_cast<int>(ports.size()) - 1, 0);
  // The default 0 always names a port; prompt_int refuses other values.
  const std::string& name = ports[static_cast<size_t>(choice)];

  auto port = std::make_shared<demos::SerialPort>();
  if (!port->open(name, kBaud)) {
    std::cerr << "Failed to open serial port " << name << std::endl;
    return -1;
  }

  auto bus = std::make_shared<morvx::RS485SharedBus>();
  std::atomic<bool> stop{false};
  // The bus takes a copy of the callable; the worker is its only caller.
  morvx::send_data_callback send = [port](const uint8_t* data, unsigned length) {
    return port->write(data, length);
  };
  bus->set_send_callback_ex(&send);

  NodeContext node1{1, std::make_shared<morvx::Morvane>(), 0, 0, 0};
  NodeContext node2{2, std::make_shared<morvx::Morvane>(), 0, 0, 0};
  node1.hand->set_rs485_shared_bus(bus.get());
  node2.hand->set_rs485_shared_bus(bus.get());

  std::weak_ptr<morvx::RS485SharedBus> weak_bus = bus;
  port->on_receive = [weak_bus, &stop](const uint8_t* data, unsigned length) {
    if (stop.load(std::memory_order_acquire)) return;
    if (std::shared_ptr<morvx::RS485SharedBus> b = weak_bus.lock())
      b->set_receive_data(data, static_cast<int>(length));
  };

  int exit_code = init_node(node1);
  if (exit_code == 0) exit_code = init_node(node2);
  if (exit_code == 0) {
    std::cout << "Both SDK instances are monitored by one SDK RS485 bus worker." << std::endl;
    for (;;) {
      print_menu();
      int op = demos::prompt_int("Select operation", 0, 7, 0);
      if (op == 0) break;
      NodeContext* node = nullptr;
      if (op >= 1 && op <= 5 && (node = select_node(node1, node2)) == nullptr) continue;
      switch (op) {
        case 1:
          if (enable_node(*node, true) == 0) sleep_ms(1000);
          break;
        case 2:
          enable_node(*node, false);
          break;
        case 3:
          home_node(*node);
          break;
        case 4:
          move_node(*node);
          break;
        case 5:
          print_node_state(*node);
          break;
        case 6:
          print_node_state(node1);
          print_node_state(node2);
          break;
        case 7: {
          int r1 = enable_node(node1, true);
          int r2 = enable_node(node2, true);
          if (r1 != 0 || r2 != 0) break;
          sleep_ms(1000);
          r1 = node1.hand->home_motors(0);
          r2 = node2.hand->home_motors(0);
          std::cout << "Node " << node1.node_id << " " << "home all motors" << ", result=" << r1 << std::endl;
          std::cout << "Node " << node2.node_id << " " << "home all motors" << ", result=" << r2 << std::endl;
          if (r1 == 0 && r2 == 0) sleep_ms(kHomeWaitMs);
          break;
        }
        default:
          break;
      }
    }
  }

  // Shutdown: hands first, then the feed, the bus and the port.
  node1.hand->close();
  node2.hand->close();
  stop.store(true, std::memory_order_release);
  port->on_receive = nullptr;
  bus->close();
  port->close();
  node2.hand.reset();
  node1.hand.reset();
  bus.reset();
  port.reset();
  return exit_code;
}
