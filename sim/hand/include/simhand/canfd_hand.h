// The simulated hand on CAN-FD. Host frames come in as (id, data); replies
// leave through the reply function: status reports on node id + 0x480 for
// the codes the last report selection asked for, parameter replies on
// node id + 0x580, OTA replies on node id + 0x7000 (extended id).
//
// Threads: on_host_frame() from any thread (the link's delivery thread);
// the report thread started by start() calls tick() every period and the
// reply function on that thread. stop() joins it; the destructor stops.
// Reports are built in fixed storage: a tick allocates nothing.
#ifndef SIMHAND_CANFD_HAND_H
#define SIMHAND_CANFD_HAND_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "simhand/device_model.h"

namespace simhand {

class SimCanfdHand {
 public:
  using ReplyFn = std::function<void(uint32_t id, const uint8_t* data, size_t len, bool extended)>;

  SimCanfdHand(std::shared_ptr<DeviceModel> model, ReplyFn reply);
  ~SimCanfdHand();
  SimCanfdHand(const SimCanfdHand&) = delete;
  SimCanfdHand& operator=(const SimCanfdHand&) = delete;

  DeviceModel& model() { return *model_; }
  uint32_t node_id() const { return node_id_; }

  void on_host_frame(uint32_t id, const uint8_t* data, size_t len, bool extended);
  // Advances the model to now and sends one report for every selected code.
  void tick(SimClock::time_point now);
  void start(std::chrono::microseconds period);
  void stop();

  std::vector<uint8_t> selected_codes() const;
  uint64_t reports_sent() const { return reports_.load(std::memory_order_relaxed); }
  // Timestamp of the last report that left (steady clock ns), for latency benches.
  int64_t last_report_ns() const { return last_report_ns_.load(std::memory_order_acquire); }

 private:
  void send(uint32_t id, const uint8_t* body, size_t len, bool extended);
  void run(std::chrono::microseconds period);

  std::shared_ptr<DeviceModel> model_;
  ReplyFn reply_;
  uint32_t node_id_;
  mutable std::mutex selection_mutex_;
  std::vector<uint8_t> selected_;
  std::atomic<uint64_t> reports_{0};
  std::atomic<int64_t> last_report_ns_{0};
  std::mutex run_mutex_;
  std::condition_variable run_cv_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace simhand

#endif  // SIMHAND_CANFD_HAND_H
