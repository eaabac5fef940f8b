#include "ethercat_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace lv {
namespace {

// A write waits at most this long for the cycle to take the previous image
// (a cycle is a little over 5 ms); it waits only while the cycle takes images.
constexpr int kPendingWaitMs = 15;

// Lower-case words that mark an adapter unfit for EtherCAT. "tap-" keeps its
// hyphen so that names merely containing "tap" stay listed.
const char* const kAdapterFilterWords[] = {
    "wan miniport", "wi-fi", "wifi",     "wireless", "bluetooth", "vmware", "virtual",
    "loopback",     "tap-",  "vpn",      "wintun",   "teredo",    "isatap",
};

std::string ascii_lower(const std::string& s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

bool adapter_filtered_out(const std::string& name, const std::string& description) {
  const std::string n = ascii_lower(name);
  const std::string d = ascii_lower(description);
  for (const char* word : kAdapterFilterWords) {
    if (n.find(word) != std::string::npos || d.find(word) != std::string::npos) return true;
  }
  return false;
}

EtherCATLink::EtherCATLink() = default;

EtherCATLink::~EtherCATLink() {
  stop();  // leaves the bus and closes the port
}

std::vector<std::string> EtherCATLink::list_adapters() {
  adapter_names_.clear();
  std::vector<std::string> descriptions;
  for (const ecat::Adapter& a : ecat::list_adapters()) {
    if (adapter_filtered_out(a.name, a.description)) continue;
    adapter_names_.push_back(a.name);
    descriptions.push_back(a.description);
  }
  return descriptions;
}

bool EtherCATLink::open(int index) {
  if (index < 0 || static_cast<size_t>(index) >= adapter_names_.size()) return false;
  adapter_in_use_ = adapter_names_[static_cast<size_t>(index)];
  if (master_.open(adapter_in_use_.c_str()) <= 0) return false;
  if (master_.config_init() <= 0) {
    master_.close();
    return false;
  }
  {
    std::lock_guard<std::mutex> table(table_lock_);
    std::lock_guard<std::mutex> inputs(input_lock_);
    // An image that does not fit (or a bus without process data) maps
    // nothing; such a bus cannot carry the hand.
    if (master_.config_map_group(iomap_, sizeof iomap_) <= 0) {
      master_.close();
      slaves_.clear();
      group_outputs_ = group_inputs_ = nullptr;
      group_output_size_ = group_input_size_ = 0;
      return false;
    }
    const ecat::GroupRecord& g = master_.group();
    group_outputs_ = g.outputs;
    group_inputs_ = g.inputs;
    group_output_size_ = static_cast<int32_t>(g.output_bytes);
    group_input_size_ = static_cast<int32_t>(g.input_bytes);
    expected_wkc_ = 2 * g.outputs_wkc + g.inputs_wkc;
    {
      std::lock_guard<std::mutex> outputs(output_lock_);
      output_staging_.assign(static_cast<size_t>(group_output_size_), 0);
      output_buffers_[0].assign(static_cast<size_t>(group_output_size_), 0);
      output_buffers_[1].assign(static_cast<size_t>(group_output_size_), 0);
    }
    slaves_.clear();
    for (int i = 1; i <= master_.slave_count(); ++i) {
      const ecat::SlaveRecord& s = master_.slave(i);
      if (s.group != group_) continue;
      SlaveEntry e;
      e.slave = i;
      e.name = s.name;
      if (s.output_bytes > 0 && s.outputs && group_outputs_) {
        e.output_bytes = static_cast<int32_t>(s.output_bytes);
        e.output_offset = static_cast<int32_t>(s.outputs - group_outputs_);
      }
      if (s.input_bytes > 0 && s.inputs && group_inputs_) {
        e.input_bytes = static_cast<int32_t>(s.input_bytes);
        e.input_offset = static_cast<int32_t>(s.inputs - group_inputs_);
      }
      slaves_.push_back(e);
    }
  }
  master_.config_dc();
  adapter_index_ = index;
  port_open_ = true;
  return true;
}

int EtherCATLink::exchange() {
  master_.send_process_data();
  // The receive writes the group inputs that read_inputs copies.
  std::lock_guard<std::mutex> inputs(input_lock_);
  return master_.receive_process_data(kReceiveTimeoutUs);
}

bool EtherCATLink::bring_to_op() {
  master_.state_check(0, ecat::kStateSafeOp, 8000000);
  exchange();
  master_.slave(0).state = ecat::kStateOp;
  master_.write_state(0);
  for (int attempt = 0; attempt < 10; ++attempt) {
    exchange();
    master_.state_check(0, ecat::kStateOp, 200000);
    if (master_.slave(0).state == ecat::kStateOp) {
      in_op_.store(true);
      lost_counter_.store(0);
      return true;
    }
  }
  return false;
}

bool EtherCATLink::go_operational() {
  if (!port_open_) return false;
  if (bring_to_op()) return true;
  master_.read_state();
  return false;
}

void EtherCATLink::start_cycle() {
  if (!in_op_.load() || running_.load()) return;
  if (cycle_thread_.joinable()) cycle_thread_.join();  // a thread that ended by itself
  running_.store(true);
  try {
    cycle_thread_ = std::thread(&EtherCATLink::cycle_loop, this);
  } catch (...) {
    running_.store(false);
  }
}

void EtherCATLink::stop() {
  if (running_.load()) running_.store(false);
  if (cycle_thread_.joinable()) cycle_thread_.join();
  leave_bus();
  lost_counter_.store(0);
}

void EtherCATLink::leave_bus() {
  if (in_op_.load()) {
    master_.slave(0).state = ecat::kStateInit;
    master_.write_state(0);
    in_op_.store(false);
  }
  close_port();
}

void EtherCATLink::close_port() {
  if (port_open_) {
    master_.close();
    port_open_ = false;
  }
}

bool EtherCATLink::recover() {
  leave_bus();
  if (!open(adapter_index_)) return false;
  if (bring_to_op()) return true;
  master_.read_state();
  close_port();
  return false;
}

void EtherCATLink::cycle_loop() {
  // Whichever way the loop ends, writers stop waiting for it.
  struct TakingGuard {
    std::atomic<bool>& flag;
    ~TakingGuard() { flag.store(false); }
  } taking{cycle_taking_};
  int bad_in_row = 0;
  bool lost_mode = false;
  int lost_cycles = 0;
  cycle_taking_.store(true);
  while (running_.load()) {
    if (lost_mode) {
      lost_counter_.fetch_add(1);
      if (++lost_cycles >= kLostCyclesPerRecovery) {
        lost_cycles = 0;
        if (recover()) {
          bad_in_row = 0;
          lost_mode = false;
          cycle_taking_.store(true);
        }
        continue;  // the recovery took its time already: no wait
      }
    } else {
      if (outputs_pending_.exchange(false)) {
        // Under the lock, so a copy never mixes two writes.
        std::lock_guard<std::mutex> outputs(output_lock_);
        const std::vector<uint8_t>& current = output_buffers_[current_buffer_];
        const size_t n = std::min(current.size(), static_cast<size_t>(group_output_size_));
        if (group_outputs_ && n) std::memcpy(group_outputs_, current.data(), n);
      }
      const int wkc = exchange();
      if (wkc >= expected_wkc_ - 1) {
        bad_in_row = 0;
      } else {
        if (lost_counter_.load() > kLostLimit) {
          lost_counter_.store(0);
          return;  // for good; running_ stays set until stop()
        }
        lost_counter_.fetch_add(1);
        if (++bad_in_row >= kBadCyclesToLost) {
          lost_mode = true;
          lost_cycles = 0;
          cycle_taking_.store(false);
        }
      }
    }
    ecat::sleep_us(kCyclePeriodUs);
  }
}

const EtherCATLink::SlaveEntry* EtherCATLink::find_locked(int slave) const {
  for (const SlaveEntry& e : slaves_) {
    if (e.slave == slave) return &e;
  }
  return nullptr;
}

bool EtherCATLink::write_outputs(int slave, const uint8_t* data, unsigned len) {
  if (!in_op_.load() || !data || len == 0) return false;
  // The hand reacts to each image it receives (a mode command is one image,
  // the next command another). A write that replaced an image the cycle has
  // not sent yet would lose that command, so wait, a few cycles at most,
  // until the cycle has taken the previous one. Only a cycle that takes
  // images is waited for: in lost mode, during a recovery or after the cycle
  // thread has ended the write is staged at once. No lock is held here.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPendingWaitMs);
  while (outputs_pending_.load() && cycle_taking_.load() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::lock_guard<std::mutex> table(table_lock_);
  const SlaveEntry* e = find_locked(slave);
  if (!e || e->output_bytes == 0 || e->output_offset < 0 || len > static_cast<unsigned>(e->output_bytes)) {
    return false;
  }
  std::lock_guard<std::mutex> outputs(output_lock_);
  const size_t offset = static_cast<size_t>(e->output_offset);
  if (offset + len > output_staging_.size()) return false;
  std::memcpy(output_staging_.data() + offset, data, len);
  // Never the buffer the cycle may be copying: fill the other one, then flip.
  const int next = 1 - current_buffer_;
  output_buffers_[next] = output_staging_;
  current_buffer_ = next;
  outputs_pending_.store(true);
  return true;
}

bool EtherCATLink::read_inputs(int slave, uint8_t* dst, unsigned len) {
  if (!in_op_.load() || !dst || len == 0) return false;
  std::lock_guard<std::mutex> table(table_lock_);
  const SlaveEntry* e = find_locked(slave);
  if (!e || e->input_bytes == 0 || e->input_offset < 0 || len > static_cast<unsigned>(e->input_bytes)) {
    return false;
  }
  if (!group_inputs_ || static_cast<size_t>(e->input_offset) + len > static_cast<size_t>(group_input_size_)) {
    return false;
  }
  std::lock_guard<std::mutex> inputs(input_lock_);
  std::memcpy(dst, group_inputs_ + e->input_offset, len);
  return true;
}

int EtherCATLink::input_size(int slave) {
  std::lock_guard<std::mutex> table(table_lock_);
  const SlaveEntry* e = find_locked(slave);
  return e ? e->input_bytes : 0;
}

std::vector<EtherCATLink::SlaveEntry> EtherCATLink::slave_table() {
  std::lock_guard<std::mutex> table(table_lock_);
  return slaves_;
}

}  // namespace lv
