// The classic-CAN transport of pcan_demo: one channel of the kitpcan
// library, its receive event and receive thread, and the callback that gets
// every received message.
//
// Threads: connect(), disconnect(), set_receive_callback() and the
// destructor from the owning thread; send() from any thread (the hand's
// monitor thread and the main thread at once); the callback runs on the
// receive thread. The receive thread belongs to this object: disconnect()
// and the destructor stop and join it.
#ifndef DEMOS_PCAN_DEMO_PCAN_BUS_H
#define DEMOS_PCAN_DEMO_PCAN_BUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace demos {

struct CANMessage {
  uint32_t id = 0;
  uint8_t len = 0;
  uint8_t data[8] = {};
  bool extended = false;
};

struct CANTimestamp {
  uint32_t milliseconds = 0;
  uint16_t millisecond_overflow = 0;
  uint16_t microseconds = 0;
};

class PCANBus {
 public:
  using ReceiveCallback = std::function<void(const CANMessage&, const CANTimestamp&)>;

  // Channel handles the scan tries, in order.
  static const std::vector<uint16_t>& scan_handles();

  PCANBus();
  ~PCANBus();
  PCANBus(const PCANBus&) = delete;
  PCANBus& operator=(const PCANBus&) = delete;

  // Fills both lists (cleared first) with the channels that report a
  // hardware name; returns their number.
  int scan(std::vector<uint16_t>* channels, std::vector<std::string>* names);
  // Opens the channel at the bit-rate code (0x0014: 1 Mbit/s), empties its
  // queue and sets up a receive event (a channel without one is polled).
  // Disconnects first when connected.
  bool connect(uint16_t channel, int bitrate_code);
  void disconnect();
  // One message of min(data size, 8) bytes; true when the library took it.
  bool send(unsigned id, const std::vector<uint8_t>& data, bool extended);
  // Stores the callback; a non-empty one starts the receive thread when it
  // is not running yet.
  void set_receive_callback(ReceiveCallback callback);

  bool connected() const;

 private:
  struct State;
  static void rx_loop(State* state);
  State* state_;
};

}  // namespace demos

#endif  // DEMOS_PCAN_DEMO_PCAN_BUS_H
