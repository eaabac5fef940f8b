// A line of simulated EtherCAT slaves behind one end of a veth pair.
//
// start() opens a packet socket for EtherType 0x88A4 on the interface (in the
// calling thread's network namespace) and starts the bus thread, which passes
// every frame through the slaves in order and sends it back out, as a real
// segment does. It returns once that thread runs, under a real-time policy
// where the process may raise its priority, so that the slaves answer within
// microseconds however busy the machine is. The owner calls stop() (or
// destroys the object), which joins the thread. All other methods may be
// called from any thread.
#ifndef ETHERCAT_SIM_SIM_BUS_H
#define ETHERCAT_SIM_SIM_BUS_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ethercat_sim/esc_model.h"
#include "ethercat_sim/slave_config.h"

namespace ecat_sim {

class SimBus {
 public:
  explicit SimBus(const std::vector<SlaveConfig>& slaves);
  ~SimBus();
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  // False when the socket cannot be opened or the thread already runs.
  bool start(const char* ifname);
  void stop();

  // Faults on command.
  void set_silent(bool silent);                  // swallow every frame
  void corrupt_wkc(int frames, int delta);       // next process-data replies: wkc + delta
  void garbage_before_reply(int frames);         // send malformed 0x88A4 frames ahead of replies
  void delay_replies(int frames, int delay_us);  // hold the next replies back (late, stale)
  void drop_to_safe_op(int slave, uint16_t code);  // slave 1..n: SAFE-OP + error
  // CoE mailbox of slave 1..n: abort the next uploads with `code`, never send
  // the next replies, put an emergency message ahead of the next replies.
  void abort_uploads(int slave, int uploads, uint32_t code);
  void drop_mailbox_replies(int slave, int replies);
  void emergency_before_replies(int slave, int replies);
  uint64_t mailbox_requests(int slave) const;

  // Application side, slave 1..n.
  std::vector<uint8_t> outputs(int slave) const;
  uint64_t output_updates(int slave) const;
  std::vector<std::vector<uint8_t>> output_changes(int slave) const;  // see EscModel
  void set_inputs(int slave, const std::vector<uint8_t>& data);
  uint16_t al_status(int slave) const;
  uint16_t al_status_code(int slave) const;
  uint16_t register16(int slave, uint16_t address) const;

  uint64_t frames_answered() const { return answered_.load(); }
  uint64_t garbage_sent() const { return garbage_sent_.load(); }
  // True once the bus thread runs under a real-time policy, so that it
  // answers within microseconds as a slave controller does even on a loaded
  // machine; false where the process may not raise its priority.
  bool realtime() const { return realtime_.load(); }

 private:
  void run();
  void send_garbage(const uint8_t* reply, size_t len);
  EscModel* at(int slave);
  const EscModel* at(int slave) const;

  mutable std::mutex lock_;
  std::vector<EscModel> slaves_;  // guarded by lock_
  int fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> silent_{false};
  std::atomic<bool> realtime_{false};
  std::atomic<int> wkc_frames_{0};
  std::atomic<int> wkc_delta_{0};
  std::atomic<int> garbage_frames_{0};
  std::atomic<int> delay_frames_{0};
  std::atomic<int> delay_us_{0};
  std::atomic<uint64_t> answered_{0};
  std::atomic<uint64_t> garbage_sent_{0};
  uint32_t garbage_seed_ = 1;  // bus thread only
};

}  // namespace ecat_sim

#endif
