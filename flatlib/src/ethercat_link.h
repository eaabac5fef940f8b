// The flat library's EtherCAT master for one bus: lists the usable Ethernet
// ports, opens one, configures the slaves and maps group 0, brings them to
// OP and exchanges process data every 5 ms on its own cycle thread, counting
// bad cycles and recovering the bus by itself.
//
// Threads: list_adapters, open, go_operational, start_cycle and stop on the
// owner's thread, never while the cycle runs (except open through recover,
// on the cycle thread). write_outputs, read_inputs, input_size and
// lost_count from any thread at any time.
#ifndef MORVANE_LV_SRC_ETHERCAT_LINK_H
#define MORVANE_LV_SRC_ETHERCAT_LINK_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ethercat/master.h"

namespace lv {

// True when an adapter with this name or description is left out of the
// EtherCAT port list (wireless, loopback, virtual, tunnel interfaces).
bool adapter_filtered_out(const std::string& name, const std::string& description);

class EtherCATLink {
 public:
  static const size_t kImageBytes = 4096;
  static const int kCyclePeriodUs = 5000;
  static const int kReceiveTimeoutUs = 2000;
  // Bad cycles in a row that start lost mode, and lost-mode cycles between
  // recovery attempts.
  static const int kBadCyclesToLost = 10;
  static const int kLostCyclesPerRecovery = 40;
  // A bad cycle finding the lost count above this ends the cycle thread.
  static const uint64_t kLostLimit = 100000;

  struct SlaveEntry {
    int32_t slave = 0;
    std::string name;
    int32_t output_offset = -1;
    int32_t output_bytes = 0;
    int32_t input_offset = -1;
    int32_t input_bytes = 0;
  };

  EtherCATLink();
  ~EtherCATLink();  // stop(), then the port is closed if still open
  EtherCATLink(const EtherCATLink&) = delete;
  EtherCATLink& operator=(const EtherCATLink&) = delete;

  // Fills the adapter names and returns the descriptions of the adapters
  // that pass the filter, in the order the system lists them.
  std::vector<std::string> list_adapters();
  bool open(int index);
  bool go_operational();
  void start_cycle();
  void stop();
  bool write_outputs(int slave, const uint8_t* data, unsigned len);
  bool read_inputs(int slave, uint8_t* dst, unsigned len);
  int input_size(int slave);
  uint64_t lost_count() const { return lost_counter_.load(); }

  bool in_op() const { return in_op_.load(); }
  bool cycling() const { return running_.load(); }
  std::vector<SlaveEntry> slave_table();

 private:
  bool recover();
  // Requests INIT from every slave when in OP, then closes the port.
  void leave_bus();
  void close_port();
  bool bring_to_op();  // SAFE-OP check, one exchange, OP request, 10 attempts
  void cycle_loop();
  int exchange();      // one send and receive; the working counter
  const SlaveEntry* find_locked(int slave) const;

  ecat::Master master_;
  std::vector<std::string> adapter_names_;
  std::string adapter_in_use_;
  const uint8_t group_ = 0;
  uint8_t iomap_[kImageBytes] = {};
  bool port_open_ = false;  // owner's thread, or the cycle thread while it runs
  std::atomic<bool> in_op_{false};
  int32_t adapter_index_ = -1;
  std::atomic<bool> running_{false};
  std::thread cycle_thread_;
  // Guards the slave table and the group pointers and sizes, which a
  // recovery rebuilds on the cycle thread while others look them up.
  std::mutex table_lock_;
  std::mutex input_lock_;   // the group inputs inside iomap_
  std::mutex output_lock_;  // staging, both buffers, current_buffer_
  std::vector<uint8_t> output_staging_;
  std::vector<uint8_t> output_buffers_[2];
  int32_t current_buffer_ = 0;
  std::atomic<bool> outputs_pending_{false};
  // Set while the cycle thread takes output images (normal mode); clear in
  // lost mode, during a recovery and once the thread has ended.
  std::atomic<bool> cycle_taking_{false};
  uint8_t* group_outputs_ = nullptr;
  uint8_t* group_inputs_ = nullptr;
  int32_t group_output_size_ = 0;
  int32_t group_input_size_ = 0;
  int expected_wkc_ = 0;  // full working counter of one exchange
  std::atomic<uint64_t> lost_counter_{0};
  std::vector<SlaveEntry> slaves_;
};

}  // namespace lv

#endif  // MORVANE_LV_SRC_ETHERCAT_LINK_H
