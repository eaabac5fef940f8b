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
#include "hand_tests.h"
#include "prompt_int.h"

int main() {
  // The tactile display redraws in place with escape sequences.
  kitconsole::enable_output_sequences();
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
    demos::warn_if_no_answer(*hand, static_cast<unsigned>(node_id));
    int total = 0, active = 0, type = 0;
    hand->get_hand_type(&type);
    hand->get_dof(&total, &active);
    std::cout << "DOF: total " << total << ", active " << active << ", hand_type " << type << std::endl;
    exit_code = mode == 1 ? demos::sensor_test(*hand, type) : demos::motion_test(*hand, active);
  }

  hand->close();
  master->disconnect();
  demos::sleep_ms(100);
  // The receive callable holds the hand: drop it, then the hand, while the
  // send callable that the hand points to still exists.
  master->set_receive_callback(nullptr);
  hand.reset();
  master.reset();
  return exit_code;
}
