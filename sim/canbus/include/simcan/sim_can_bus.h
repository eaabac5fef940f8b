// A simulated CAN-FD bus: nodes attach and every frame one node sends
// reaches every other node. Simulated devices (the adapter, a simulated
// hand) attach here.
#ifndef SIMCAN_SIM_CAN_BUS_H
#define SIMCAN_SIM_CAN_BUS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace simcan {

struct CanFrame {
  uint32_t id = 0;
  bool extended = false;
  bool remote = false;
  bool fd = false;       // CAN-FD frame
  bool brs = false;      // bit-rate switch
  uint8_t dlc = 0;       // DLC code 0-15
  uint8_t data[64] = {};
  size_t length() const;  // data bytes the DLC code stands for
};

// DLC code to data length (CAN-FD table) and the smallest code for a length.
size_t dlc_length(uint8_t dlc);
uint8_t length_to_dlc(size_t length);

class CanNode {
 public:
  virtual ~CanNode() = default;
  // Called on the sender's thread, without the bus lock held. A node may
  // send from here; it must not block for long.
  virtual void on_frame(const CanFrame& frame) = 0;
};

class CanBus {
 public:
  void attach(std::shared_ptr<CanNode> node);
  void detach(const CanNode* node);
  // Delivers the frame to every attached node except from.
  void send(const CanFrame& frame, const CanNode* from);
  size_t node_count() const;
  uint64_t frames_sent() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<CanNode>> nodes_;
  uint64_t frames_sent_ = 0;
};

// A node that records what it receives; for tests.
class RecordingNode : public CanNode {
 public:
  void on_frame(const CanFrame& frame) override;
  std::vector<CanFrame> frames() const;
  size_t count() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CanFrame> frames_;
};

}  // namespace simcan

#endif  // SIMCAN_SIM_CAN_BUS_H
