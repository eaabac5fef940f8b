// USB layer backend over libusb-1.0 (Linux). Errors of libusb are mapped to
// the layer's codes at this boundary; nothing above sees libusb.
#include "kitusb/usb_layer.h"

#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "usb_libusb_rules.h"

namespace kitusb {
namespace {

constexpr unsigned kControlTimeoutMs = 1000;
constexpr int kEventPollMs = 50;

std::shared_ptr<void> keep_device(libusb_device* dev) {
  libusb_ref_device(dev);
  return std::shared_ptr<void>(dev, [](void* d) { libusb_unref_device(static_cast<libusb_device*>(d)); });
}

class LibusbDevice final : public UsbDevice {
 public:
  LibusbDevice(libusb_device_handle* handle, std::shared_ptr<void> device_ref)
      : handle_(handle), device_ref_(std::move(device_ref)) {
    for (auto& t : timeouts_ms_) t.store(0, std::memory_order_relaxed);
    for (auto& p : packet_bytes_) p.store(0, std::memory_order_relaxed);
  }
  ~LibusbDevice() override {
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
  }

  bool query_pipe(uint8_t position, uint8_t* pipe_id) override {
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_active_config_descriptor(static_cast<libusb_device*>(device_ref_.get()), &config);
    if (rc != 0) {
      set_last_error(map_libusb_error(rc));
      return false;
    }
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
      const libusb_interface& itf = config->interface[i];
      for (int a = 0; a < itf.num_altsetting; ++a) {
        const libusb_interface_descriptor& alt = itf.altsetting[a];
        if (alt.bInterfaceNumber != 0 || alt.bAlternateSetting != 0) continue;
        if (position < alt.bNumEndpoints) {
          *pipe_id = alt.endpoint[position].bEndpointAddress;
          found = true;
        }
        break;
      }
    }
    libusb_free_config_descriptor(config);
    if (!found) set_last_error(UsbError::kInvalidArgument);
    return found;
  }

  void set_pipe_timeout(uint8_t pipe_id, uint32_t timeout_ms) override {
    timeouts_ms_[pipe_id].store(timeout_ms, std::memory_order_relaxed);
  }

  // Time-outs are kept under the pipe id the caller uses, whether or not it
  // carries the direction bit, so a read of pipe 0x01 finds the time-out set
  // for 0x01 rather than an unset (unlimited) one under 0x81.
  bool read_pipe(uint8_t pipe_id, uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    const uint8_t endpoint = static_cast<uint8_t>(pipe_id | LIBUSB_ENDPOINT_IN);
    return read_whole_packets(surplus_, endpoint, packet_bytes(endpoint), buffer, length, transferred,
                              [&](uint8_t* target, uint32_t size, uint32_t* moved) {
                                int n = 0;
                                const int rc = libusb_bulk_transfer(handle_, endpoint, target, static_cast<int>(size),
                                                                    &n, pipe_timeout(pipe_id));
                                *moved = n > 0 ? static_cast<uint32_t>(n) : 0;
                                return bulk_outcome(false, rc, *moved, size);
                              });
  }

  bool write_pipe(uint8_t pipe_id, const uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    // libusb takes a non-const buffer for both directions; OUT transfers only read it.
    int moved = 0;
    int rc = libusb_bulk_transfer(handle_, static_cast<uint8_t>(pipe_id & ~LIBUSB_ENDPOINT_IN),
                                  const_cast<uint8_t*>(buffer), static_cast<int>(length), &moved,
                                  pipe_timeout(pipe_id));
    uint32_t sent = moved > 0 ? static_cast<uint32_t>(moved) : 0;
    if (transferred) *transferred = sent;
    return succeeded(bulk_outcome(true, rc, sent, length));
  }

  // The endpoint named, direction bit included: usbfs clears the halt of
  // exactly that endpoint. Bytes kept from its last read go with it.
  bool reset_pipe(uint8_t pipe_id) override {
    surplus_.drop(pipe_id);
    int rc = libusb_clear_halt(handle_, pipe_id);
    if (rc != 0) set_last_error(map_libusb_error(rc));
    return rc == 0;
  }

  bool control_transfer(const UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) override {
    int rc = libusb_control_transfer(handle_, setup.request_type, setup.request, setup.value, setup.index,
                                     buffer, setup.length, kControlTimeoutMs);
    if (transferred) *transferred = rc > 0 ? static_cast<uint32_t>(rc) : 0;
    if (rc < 0) {
      set_last_error(map_libusb_error(rc));
      return false;
    }
    return true;
  }

 private:
  unsigned pipe_timeout(uint8_t pipe_id) const { return timeouts_ms_[pipe_id].load(std::memory_order_relaxed); }

  // wMaxPacketSize of an endpoint, looked up once (0 until then).
  uint32_t packet_bytes(uint8_t endpoint) {
    uint32_t known = packet_bytes_[endpoint].load(std::memory_order_relaxed);
    if (known != 0) return known;
    int size = libusb_get_max_packet_size(static_cast<libusb_device*>(device_ref_.get()), endpoint);
    known = size > 0 ? static_cast<uint32_t>(size) : kFallbackPacketBytes;
    packet_bytes_[endpoint].store(known, std::memory_order_relaxed);
    return known;
  }

  libusb_device_handle* handle_;
  std::shared_ptr<void> device_ref_;
  std::array<std::atomic<uint32_t>, 256> timeouts_ms_;
  std::array<std::atomic<uint32_t>, 256> packet_bytes_;
  ReadSurplus surplus_;
};

class LibusbBackend final : public UsbBackend {
 public:
  ~LibusbBackend() override {
    std::vector<libusb_hotplug_callback_handle> handles;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      for (const auto& m : monitors_) {
        if (m->registered) handles.push_back(m->handle);
      }
    }
    delivered_cv_.notify_all();
    // Once deregistered, libusb calls none of our monitors again, so they may
    // go with this object. Not under our lock: on_hotplug takes it while
    // libusb holds its own.
    for (libusb_hotplug_callback_handle h : handles) libusb_hotplug_deregister_callback(context_, h);
    if (event_thread_.joinable()) {
      if (context_) libusb_interrupt_event_handler(context_);
      event_thread_.join();
    }
    // The context stays: device references held by the library's statics
    // may be dropped after this destructor ran.
  }

  bool list_devices(uint16_t vendor_id, uint16_t product_id, std::vector<UsbDeviceEntry>* matching,
                    uint32_t* total) override {
    if (total) *total = 0;
    libusb_context* ctx = context();
    if (!ctx) return false;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
      set_last_error(map_libusb_error(static_cast<int>(count)));
      return false;
    }
    uint32_t entries = 0;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device* dev = list[i];
      libusb_device_descriptor desc{};
      if (libusb_get_device_descriptor(dev, &desc) != 0) continue;
      std::vector<uint8_t> interfaces;
      libusb_config_descriptor* config = nullptr;
      if (libusb_get_active_config_descriptor(dev, &config) == 0) {
        for (int k = 0; k < config->bNumInterfaces; ++k) {
          if (config->interface[k].num_altsetting > 0)
            interfaces.push_back(config->interface[k].altsetting[0].bInterfaceNumber);
        }
        libusb_free_config_descriptor(config);
      }
      if (interfaces.empty()) interfaces.push_back(0);
      entries += static_cast<uint32_t>(interfaces.size());
      if (desc.idVendor != vendor_id || desc.idProduct != product_id || !matching) continue;
      std::string serial = read_serial(dev, desc.iSerialNumber);
      for (uint8_t itf : interfaces) {
        UsbDeviceEntry e;
        e.vendor_id = desc.idVendor;
        e.product_id = desc.idProduct;
        e.interface_number = itf;
        e.serial = serial;
        e.device_ref = keep_device(dev);
        matching->push_back(std::move(e));
      }
    }
    libusb_free_device_list(list, 1);
    if (total) *total = entries;
    return true;
  }

  std::unique_ptr<UsbDevice> open(const UsbDeviceEntry& entry) override {
    libusb_device* dev = static_cast<libusb_device*>(entry.device_ref.get());
    if (!dev) {
      set_last_error(UsbError::kInvalidArgument);
      return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    int rc = libusb_open(dev, &handle);
    if (rc != 0) {
      set_last_error(map_libusb_error(rc));
      return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(handle, 1);
    rc = libusb_claim_interface(handle, 0);
    if (rc != 0) {
      set_last_error(map_libusb_error(rc));
      libusb_close(handle);
      return nullptr;
    }
    return std::unique_ptr<UsbDevice>(new LibusbDevice(handle, entry.device_ref));
  }

  bool add_hotplug_monitor(HotplugHandler handler) override {
    libusb_context* ctx = context();
    if (!ctx || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
      set_last_error(UsbError::kGeneralFailure);
      return false;
    }
    auto monitor = std::make_unique<Monitor>();
    monitor->owner = this;
    monitor->handler = std::move(handler);
    Monitor* raw = monitor.get();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      monitors_.push_back(std::move(monitor));
    }
    int rc = libusb_hotplug_register_callback(
        ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        &LibusbBackend::on_hotplug, raw, &raw->handle);
    if (rc != LIBUSB_SUCCESS) {
      set_last_error(map_libusb_error(rc));
      std::lock_guard<std::mutex> lock(mutex_);
      raw->handler = nullptr;  // stays allocated: libusb never saw it registered
      return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    raw->registered = true;
    if (!event_thread_.joinable()) event_thread_ = std::thread([this] { run_events(); });
    // The notices for the devices present were queued during registration;
    // return once the event thread has handed them (and any that came in the
    // meantime) to their handlers. The event thread cannot wait for itself.
    if (std::this_thread::get_id() == event_thread_.get_id()) return true;
    const uint64_t target = queued_;
    lock.unlock();
    libusb_interrupt_event_handler(ctx);
    lock.lock();
    delivered_cv_.wait(lock, [&] { return delivered_ >= target || stop_; });
    return true;
  }

 private:
  struct Monitor {
    LibusbBackend* owner = nullptr;
    HotplugHandler handler;
    libusb_hotplug_callback_handle handle = 0;
    bool registered = false;  // under mutex_
  };
  struct Notice {
    Monitor* monitor;
    UsbDeviceEntry entry;
    HotplugNotice kind;
  };

  libusb_context* context() {
    std::call_once(init_once_, [this] {
      if (libusb_init(&context_) != 0) context_ = nullptr;
    });
    if (!context_) set_last_error(UsbError::kGeneralFailure);
    return context_;
  }

  static std::string read_serial(libusb_device* dev, uint8_t string_index) {
    if (string_index == 0) return std::string();
    libusb_device_handle* handle = nullptr;
    if (libusb_open(dev, &handle) != 0) return std::string();
    unsigned char text[256] = {};
    int n = libusb_get_string_descriptor_ascii(handle, string_index, text, sizeof(text) - 1);
    libusb_close(handle);
    if (n <= 0) return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
  }

  // Runs inside libusb (during registration or event handling): queue only,
  // since libusb forbids synchronous transfers here.
  static int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
    Monitor* monitor = static_cast<Monitor*>(user);
    libusb_device_descriptor desc{};
    Notice n{monitor, UsbDeviceEntry{}, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? HotplugNotice::kArrival
                                                                                       : HotplugNotice::kRemoval};
    if (libusb_get_device_descriptor(dev, &desc) == 0) {
      n.entry.vendor_id = desc.idVendor;
      n.entry.product_id = desc.idProduct;
    }
    n.entry.device_ref = keep_device(dev);
    std::lock_guard<std::mutex> lock(monitor->owner->mutex_);
    monitor->owner->notices_.push_back(std::move(n));
    ++monitor->owner->queued_;
    return 0;
  }

  void run_events() {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      timeval tv{0, kEventPollMs * 1000};
      libusb_handle_events_timeout_completed(context_, &tv, nullptr);
      std::deque<Notice> pending;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pending.swap(notices_);
      }
      // Handlers run without our lock held.
      for (Notice& n : pending) {
        if (n.monitor->handler) n.monitor->handler(n.entry, n.kind);
      }
      if (!pending.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        delivered_ += pending.size();
        delivered_cv_.notify_all();
      }
    }
  }

  std::once_flag init_once_;
  libusb_context* context_ = nullptr;
  std::mutex mutex_;
  bool stop_ = false;
  std::vector<std::unique_ptr<Monitor>> monitors_;
  std::deque<Notice> notices_;
  uint64_t queued_ = 0;     // notices queued and handed out so far,
  uint64_t delivered_ = 0;  // both under mutex_
  std::condition_variable delivered_cv_;
  std::thread event_thread_;
};

}  // namespace

UsbBackend& backend() {
  static LibusbBackend instance;
  return instance;
}

}  // namespace kitusb
