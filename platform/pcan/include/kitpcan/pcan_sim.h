// The simulated CAN bus behind the simulator build of kitpcan: simulated
// devices attach to a channel handle and see every message the program
// writes on it; what they send back reaches the program's receive queue.
//
// Threads: a device's function is called with the writer's thread, one call
// at a time per channel; it may call sim_send_to_host() from there.
#ifndef KITPCAN_PCAN_SIM_H
#define KITPCAN_PCAN_SIM_H

#include <cstdint>
#include <functional>
#include <string>

namespace kitpcan {

struct SimMessage {
  uint32_t id = 0;
  bool extended = false;
  uint8_t len = 0;
  uint8_t data[8] = {};
};

using SimDevice = std::function<void(const SimMessage&)>;

// The channel shows up under name (the hardware name) from now on; a
// device attached before replaces the earlier one.
void sim_attach(uint16_t handle, const std::string& name, SimDevice device);
// Returns once no call of the device is running.
void sim_detach(uint16_t handle);
// False when the program has not initialized the channel (message lost).
bool sim_send_to_host(uint16_t handle, const SimMessage& message);
// Messages the program wrote on the channel since it was attached.
uint64_t sim_messages_from_host(uint16_t handle);

}  // namespace kitpcan

#endif  // KITPCAN_PCAN_SIM_H
