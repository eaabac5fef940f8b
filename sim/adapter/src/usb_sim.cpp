// The simulated USB bus: a device list made of the plugged-in simulated
// adapters, devices that carry transfers to them under the same layer rules
// as the real backends, and a monitor thread that delivers hot-plug notices.
// usb_sim_backend.cpp makes it the USB layer's backend; on Windows the tests
// reach it through the libusbK backend instead, whose stand-in DLL takes the
// adapters as a driver does (open_as_driver).
#include <algorithm>
#include <array>
#include <atomic>

#include "simadapter/sim_adapter.h"
#include "usb_rules.h"

namespace simadapter {
namespace {

// The adapter as a system driver reaches it: each call is one transfer on
// the bus, answered by the adapter's host side as it stands.
class SimDriverDevice final : public kitusb::UsbDevice {
 public:
  explicit SimDriverDevice(std::shared_ptr<SimAdapter> adapter) : adapter_(std::move(adapter)) {
    for (auto& t : timeouts_ms_) t.store(0, std::memory_order_relaxed);
  }
  bool query_pipe(uint8_t position, uint8_t* pipe_id) override {
    if (adapter_->pipe_at(position, pipe_id)) return true;
    kitusb::set_last_error(kitusb::UsbError::kInvalidArgument);
    return false;
  }
  void set_pipe_timeout(uint8_t pipe_id, uint32_t timeout_ms) override {
    timeouts_ms_[pipe_id].store(timeout_ms, std::memory_order_relaxed);
  }
  bool read_pipe(uint8_t pipe_id, uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    uint32_t got = 0;
    const uint32_t timeout_ms = timeouts_ms_[pipe_id].load(std::memory_order_relaxed);
    const bool ok = adapter_->host_read(pipe_id, buffer, length, &got, timeout_ms);
    if (transferred) *transferred = got;
    return ok;
  }
  bool write_pipe(uint8_t pipe_id, const uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    uint32_t n = 0;
    const bool ok = adapter_->host_write(pipe_id, buffer, length, &n);
    if (transferred) *transferred = n;
    return ok;
  }
  bool reset_pipe(uint8_t pipe_id) override { return adapter_->host_reset_pipe(pipe_id); }
  bool control_transfer(const kitusb::UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) override {
    return adapter_->host_control(setup, buffer, transferred);
  }

 private:
  std::shared_ptr<SimAdapter> adapter_;
  std::array<std::atomic<uint32_t>, 256> timeouts_ms_;
};

// The simulated backend's device: the layer's rules over the driver's view,
// as the real backends keep them over their system's calls.
class SimUsbDevice final : public kitusb::UsbDevice {
 public:
  explicit SimUsbDevice(std::shared_ptr<SimAdapter> adapter)
      : packet_bytes_(adapter->config().packet_bytes), driver_(std::move(adapter)) {}
  bool query_pipe(uint8_t position, uint8_t* pipe_id) override { return driver_.query_pipe(position, pipe_id); }
  void set_pipe_timeout(uint8_t pipe_id, uint32_t timeout_ms) override { driver_.set_pipe_timeout(pipe_id, timeout_ms); }
  bool read_pipe(uint8_t pipe_id, uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    auto transfer = [&](uint8_t* target, uint32_t size, uint32_t* moved) {
      return driver_.read_pipe(pipe_id, target, size, moved) ? kitusb::UsbError::kNone : kitusb::last_error();
    };
    return kitusb::read_whole_packets(surplus_, pipe_id, packet_bytes_, buffer, length, transferred, transfer);
  }
  bool write_pipe(uint8_t pipe_id, const uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    uint32_t n = 0;
    const bool ok = driver_.write_pipe(pipe_id, buffer, length, &n);
    if (transferred) *transferred = n;
    return ok ? kitusb::succeeded(kitusb::write_outcome(n, length)) : false;
  }
  // Bytes kept from the pipe's last read go with it.
  bool reset_pipe(uint8_t pipe_id) override {
    surplus_.drop(pipe_id);
    return driver_.reset_pipe(pipe_id);
  }
  bool control_transfer(const kitusb::UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) override {
    return driver_.control_transfer(setup, buffer, transferred);
  }

 private:
  const uint32_t packet_bytes_;
  SimDriverDevice driver_;
  kitusb::ReadSurplus surplus_;
};

constexpr size_t kAllMonitors = static_cast<size_t>(-1);

}  // namespace

SimUsbBackend& SimUsbBackend::instance() {
  static SimUsbBackend backend;
  return backend;
}

SimUsbBackend::~SimUsbBackend() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  notice_cv_.notify_all();
  if (monitor_thread_.joinable()) monitor_thread_.join();
}

kitusb::UsbDeviceEntry SimUsbBackend::entry_of(const std::shared_ptr<SimAdapter>& a) const {
  kitusb::UsbDeviceEntry e;
  e.vendor_id = a->config().vendor_id;
  e.product_id = a->config().product_id;
  e.interface_number = a->config().interface_number;
  e.driver_kind = a->config().driver_kind;
  e.serial = a->config().serial;
  e.device_ref = std::static_pointer_cast<void>(a);
  return e;
}

void SimUsbBackend::queue_notice_locked(Notice n) {
  if (monitors_.empty()) return;
  notices_.push_back(std::move(n));
  ++queued_;
  notice_cv_.notify_all();
}

void SimUsbBackend::plug(std::shared_ptr<SimAdapter> adapter) {
  adapter->plug();
  std::lock_guard<std::mutex> lock(mutex_);
  adapters_.push_back(adapter);
  queue_notice_locked(Notice{kAllMonitors, entry_of(adapter), kitusb::HotplugNotice::kArrival});
}

void SimUsbBackend::unplug(const std::shared_ptr<SimAdapter>& adapter) {
  adapter->unplug();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(adapters_.begin(), adapters_.end(), adapter);
  if (it == adapters_.end()) return;
  adapters_.erase(it);
  queue_notice_locked(Notice{kAllMonitors, entry_of(adapter), kitusb::HotplugNotice::kRemoval});
}

void SimUsbBackend::unplug_all() {
  std::vector<std::shared_ptr<SimAdapter>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all = adapters_;
  }
  for (auto& a : all) unplug(a);
  std::lock_guard<std::mutex> lock(mutex_);
  other_devices_ = 0;
  list_fails_ = open_fails_ = refuse_monitors_ = false;
}

void SimUsbBackend::set_other_devices(uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  other_devices_ = count;
}

void SimUsbBackend::set_list_fails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  list_fails_ = fails;
}

void SimUsbBackend::set_open_fails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_fails_ = fails;
}

void SimUsbBackend::set_refuse_monitors(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_monitors_ = refuse;
}

size_t SimUsbBackend::monitor_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return monitors_.size();
}

void SimUsbBackend::wait_notices_delivered() {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t target = queued_;
  delivered_cv_.wait(lock, [&] { return delivered_ >= target || stop_; });
}

bool SimUsbBackend::list_devices(uint16_t vendor_id, uint16_t product_id,
                                 std::vector<kitusb::UsbDeviceEntry>* matching, uint32_t* total) {
  std::vector<kitusb::UsbDeviceEntry> all;
  if (!list_all(&all, total)) return false;
  if (matching) {
    for (auto& e : all) {
      if (e.vendor_id == vendor_id && e.product_id == product_id) matching->push_back(std::move(e));
    }
  }
  return true;
}

bool SimUsbBackend::list_all(std::vector<kitusb::UsbDeviceEntry>* adapters, uint32_t* total) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (total) *total = 0;
  if (list_fails_) {
    kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
    return false;
  }
  if (total) *total = other_devices_ + static_cast<uint32_t>(adapters_.size());
  for (const auto& a : adapters_) adapters->push_back(entry_of(a));
  return true;
}

std::shared_ptr<SimAdapter> SimUsbBackend::adapter_to_open(const kitusb::UsbDeviceEntry& entry) {
  std::shared_ptr<SimAdapter> adapter = std::static_pointer_cast<SimAdapter>(entry.device_ref);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_fails_ || !adapter) {
      kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
      return nullptr;
    }
  }
  if (!adapter->connected()) {
    kitusb::set_last_error(kitusb::UsbError::kNotConnected);
    return nullptr;
  }
  return adapter;
}

std::unique_ptr<kitusb::UsbDevice> SimUsbBackend::open(const kitusb::UsbDeviceEntry& entry) {
  std::shared_ptr<SimAdapter> adapter = adapter_to_open(entry);
  if (!adapter) return nullptr;
  return std::unique_ptr<kitusb::UsbDevice>(new SimUsbDevice(std::move(adapter)));
}

std::unique_ptr<kitusb::UsbDevice> SimUsbBackend::open_as_driver(const kitusb::UsbDeviceEntry& entry) {
  std::shared_ptr<SimAdapter> adapter = adapter_to_open(entry);
  if (!adapter) return nullptr;
  return std::unique_ptr<kitusb::UsbDevice>(new SimDriverDevice(std::move(adapter)));
}

bool SimUsbBackend::add_hotplug_monitor(kitusb::HotplugHandler handler) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (refuse_monitors_) {
    kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
    return false;
  }
  monitors_.push_back(std::make_shared<kitusb::HotplugHandler>(std::move(handler)));
  size_t index = monitors_.size() - 1;
  // Notices for the devices present at registration.
  for (const auto& a : adapters_) queue_notice_locked(Notice{index, entry_of(a), kitusb::HotplugNotice::kArrival});
  if (!monitor_thread_.joinable()) monitor_thread_ = std::thread([this] { run_monitor(); });
  // Returns after the notices queued so far were delivered (the monitor
  // thread cannot wait for itself).
  if (std::this_thread::get_id() != monitor_thread_.get_id()) {
    uint64_t target = queued_;
    delivered_cv_.wait(lock, [&] { return delivered_ >= target || stop_; });
  }
  return true;
}

void SimUsbBackend::run_monitor() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    notice_cv_.wait(lock, [&] { return stop_ || !notices_.empty(); });
    if (stop_) return;
    Notice n = std::move(notices_.front());
    notices_.pop_front();
    std::vector<std::shared_ptr<kitusb::HotplugHandler>> targets;
    if (n.monitor == kAllMonitors) {
      targets = monitors_;
    } else if (n.monitor < monitors_.size()) {
      targets.push_back(monitors_[n.monitor]);
    }
    // Handlers run without the backend's lock.
    lock.unlock();
    for (const auto& h : targets) (*h)(n.entry, n.kind);
    lock.lock();
    ++delivered_;
    delivered_cv_.notify_all();
  }
}

}  // namespace simadapter
