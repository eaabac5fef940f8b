// The CAN-FD transport of canfd_demo: one USB CAN-FD adapter of the Tavrix
// library, its receive thread and the callback that gets every received
// frame.
//
// Threads: connect(), disconnect(), set_receive_callback() and the
// destructor from the owning thread; send() from any one thread at a time
// (the adapter serialises transmits per device); the callback runs on the
// receive thread, which disconnect() joins before the adapter is closed.
#ifndef DEMOS_CANFD_DEMO_CANFD_MASTER_H
#define DEMOS_CANFD_DEMO_CANFD_MASTER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace demos {

class CANFDMaster {
 public:
  using ReceiveCallback = std::function<void(unsigned id, const std::vector<uint8_t>& data, uint64_t time_stamp)>;

  static constexpr int kFramesPerReceive = 500;
  static constexpr int kReceiveTimeoutMs = 50;
  static constexpr int kTransmitTimeoutMs = 100;

  CANFDMaster() = default;
  ~CANFDMaster();
  CANFDMaster(const CANFDMaster&) = delete;
  CANFDMaster& operator=(const CANFDMaster&) = delete;

  // One text per adapter found: "<index> <model>", or "<index>" when its
  // device information cannot be read.
  static std::vector<std::string> scan();

  // Opens adapter index and sets it up for CAN-FD at the two bit rates, then
  // starts the receive thread. Disconnects first when connected.
  bool connect(int index, int nominal_bitrate, int data_bitrate);
  // Stops and joins the receive thread, then closes the adapter. True when
  // not connected. A failed close leaves the object connected (thread
  // stopped).
  bool disconnect();
  // One frame of 64 data bytes (the first min(len, 64) from data, the rest
  // zero); extended 1 for a 29-bit id. True when the adapter took it.
  bool send(unsigned id, const uint8_t* data, unsigned len, int extended);
  // Replaces the callback; safe while the receive thread runs (a cycle in
  // progress finishes with the callback it started with).
  void set_receive_callback(ReceiveCallback callback);

  bool connected() const { return connected_.load(std::memory_order_acquire); }

 private:
  void rx_loop();

  std::atomic<int> channel_{-1};
  std::atomic<bool> connected_{false};
  std::atomic<bool> running_{false};
  std::thread rx_thread_;
  std::mutex callback_mutex_;
  ReceiveCallback callback_;
};

// Data bytes that a CAN FD length code stands for (ISO 11898-1); codes above
// 15 count as 64.
unsigned canfd_dlc_to_length(unsigned dlc);

}  // namespace demos

#endif  // DEMOS_CANFD_DEMO_CANFD_MASTER_H
