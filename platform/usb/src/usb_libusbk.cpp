// USB layer backend over libusbK (Windows). libusbK.dll is loaded at run time:
// it is no build dependency, and a machine without it simply has no device
// (an empty list: the adapter library's scan then answers 0 with error 1167).
// It reaches devices bound to libusbK's own driver, libusb0 or WinUSB, so
// users need not rebind the adapter: every device call goes through the
// function set that LibK_LoadDriverAPI gives for the driver of the device's
// list entry (the UsbK_* exports drive no WinUSB device). Failures carry the
// Windows error code libusbK left (31 transfer failed, 121 time-out, 1167
// device gone, ...) straight through as the layer's code.
#include <windows.h>
#include <winusb.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "kitdll/dll_binding.h"
#include "kitusb/usb_layer.h"
#include "libusbk_api.h"
#include "usb_rules.h"

namespace kitusb {
namespace {

namespace k = libusbk;

// The library's own exports; device calls come from each device's driver set.
struct Api {
  k::LstK_Init_t LstK_Init = nullptr;
  k::LstK_Free_t LstK_Free = nullptr;
  k::LstK_Count_t LstK_Count = nullptr;
  k::LstK_MoveNext_t LstK_MoveNext = nullptr;
  k::LibK_LoadDriverAPI_t LibK_LoadDriverAPI = nullptr;
  k::HotK_Init_t HotK_Init = nullptr;
};

Api load_api() {
  Api a;
  HMODULE m = LoadLibraryA("libusbK.dll");
  if (m == nullptr) return Api{};
  kitdll::Binder binder(m);
  binder.bind("LstK_Init", &a.LstK_Init)
      .bind("LstK_Free", &a.LstK_Free)
      .bind("LstK_Count", &a.LstK_Count)
      .bind("LstK_MoveNext", &a.LstK_MoveNext)
      .bind("LibK_LoadDriverAPI", &a.LibK_LoadDriverAPI)
      .bind("HotK_Init", &a.HotK_Init);
  if (!binder.complete()) {
    FreeLibrary(m);
    return Api{};
  }
  return a;  // the library stays loaded for the life of the process
}

// libusbK's calls, or null when libusbK.dll (or one of the calls) is missing.
const Api* api() {
  static const Api loaded = load_api();
  return loaded.LstK_Init != nullptr ? &loaded : nullptr;
}

// The Windows error of the failed call, as the layer's code; a failure that
// left no code counts as a failed transfer.
UsbError error_from_system() {
  const DWORD code = GetLastError();
  return code == ERROR_SUCCESS ? UsbError::kGeneralFailure : static_cast<UsbError>(code);
}

void set_error_from_system() { set_last_error(error_from_system()); }

constexpr uint8_t kDirectionIn = 0x80;
constexpr ULONG kControlTimeoutMs = 1000;
constexpr uint16_t kDefaultPacketBytes = 512;

std::string bounded_text(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

// A device list shared by the entries taken from it: it is freed when the
// last entry (and so the last device reference into it) is gone.
struct ListHolder {
  const Api* api;
  k::ListHandle list;
  ~ListHolder() { api->LstK_Free(list); }
};

UsbDeviceEntry entry_of(const k::DeviceInfo& info, std::shared_ptr<void> device_ref) {
  UsbDeviceEntry e;
  e.vendor_id = static_cast<uint16_t>(info.common.vid);
  e.product_id = static_cast<uint16_t>(info.common.pid);
  e.interface_number = info.common.interface_number < 0 ? 0 : static_cast<uint8_t>(info.common.interface_number);
  e.driver_kind = static_cast<uint8_t>(info.driver_id);
  e.serial = bounded_text(info.serial_number, sizeof info.serial_number - 1);
  e.device_ref = std::move(device_ref);
  return e;
}

// The calls of a driver's function set that a device needs; a set without
// one of them cannot drive the device.
bool complete(const k::DriverApi& d) {
  return d.init != nullptr && d.free != nullptr && d.control_transfer != nullptr && d.query_pipe != nullptr &&
         d.set_pipe_policy != nullptr && d.read_pipe != nullptr && d.write_pipe != nullptr && d.reset_pipe != nullptr;
}

class LibusbKDevice final : public UsbDevice {
 public:
  LibusbKDevice(const k::DriverApi& driver, k::DeviceHandle handle, std::shared_ptr<void> device_ref)
      : driver_(driver), handle_(handle), device_ref_(std::move(device_ref)) {
    for (auto& t : timeouts_ms_) t.store(0, std::memory_order_relaxed);
    for (auto& t : applied_ms_) t.store(kNotApplied, std::memory_order_relaxed);
    for (auto& p : packet_bytes_) p.store(kDefaultPacketBytes, std::memory_order_relaxed);
  }
  ~LibusbKDevice() override { driver_.free(handle_); }

  bool query_pipe(uint8_t position, uint8_t* pipe_id) override {
    WINUSB_PIPE_INFORMATION info{};
    if (!driver_.query_pipe(handle_, 0, position, &info)) {
      set_error_from_system();
      return false;
    }
    if (info.MaximumPacketSize != 0) packet_bytes_[info.PipeId].store(info.MaximumPacketSize, std::memory_order_relaxed);
    *pipe_id = info.PipeId;
    return true;
  }

  // Kept under the id the caller uses; applied to the endpoint a transfer
  // actually uses just before it runs (a read of 0x01 uses endpoint 0x81).
  void set_pipe_timeout(uint8_t pipe_id, uint32_t timeout_ms) override {
    timeouts_ms_[pipe_id].store(timeout_ms, std::memory_order_relaxed);
  }

  bool read_pipe(uint8_t pipe_id, uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    const uint8_t endpoint = static_cast<uint8_t>(pipe_id | kDirectionIn);
    return read_whole_packets(surplus_, endpoint, packet_bytes_[endpoint].load(std::memory_order_relaxed), buffer,
                              length, transferred, [&](uint8_t* target, uint32_t size, uint32_t* moved) {
                                *moved = 0;
                                if (!apply_timeout(endpoint, pipe_id)) return last_error();
                                UINT n = 0;
                                const BOOL ok = driver_.read_pipe(handle_, endpoint, target, size, &n, nullptr);
                                *moved = n;
                                return ok ? UsbError::kNone : error_from_system();
                              });
  }

  bool write_pipe(uint8_t pipe_id, const uint8_t* buffer, uint32_t length, uint32_t* transferred) override {
    if (transferred) *transferred = 0;
    const uint8_t endpoint = static_cast<uint8_t>(pipe_id & ~kDirectionIn);
    if (!apply_timeout(endpoint, pipe_id)) return false;
    UINT sent = 0;
    // libusbK takes a non-const buffer for both directions; writes only read it.
    const BOOL ok = driver_.write_pipe(handle_, endpoint, const_cast<uint8_t*>(buffer), length, &sent, nullptr);
    if (transferred) *transferred = sent;
    return succeeded(ok ? write_outcome(sent, length) : error_from_system());
  }

  // The pipe id's direction bit picks the endpoint, as given. Bytes kept from
  // its last read go with it.
  bool reset_pipe(uint8_t pipe_id) override {
    surplus_.drop(pipe_id);
    if (driver_.reset_pipe(handle_, pipe_id)) return true;
    set_error_from_system();
    return false;
  }

  bool control_transfer(const UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) override {
    if (transferred) *transferred = 0;
    WINUSB_SETUP_PACKET packet{};
    packet.RequestType = setup.request_type;
    packet.Request = setup.request;
    packet.Value = setup.value;
    packet.Index = setup.index;
    packet.Length = setup.length;
    if (setup.length != 0 && buffer == nullptr) {
      set_last_error(UsbError::kInvalidArgument);
      return false;
    }
    // Control transfers run on pipe 0 with their own fixed time-out; where
    // the driver refuses the policy its default time-out (5 s) applies.
    (void)apply_timeout_ms(0, kControlTimeoutMs);
    UINT moved = 0;
    if (!driver_.control_transfer(handle_, packet, buffer, setup.length, &moved, nullptr)) {
      set_error_from_system();
      return false;
    }
    if (transferred) *transferred = moved;
    return true;
  }

 private:
  static constexpr uint32_t kNotApplied = 0xFFFFFFFFu;

  bool apply_timeout(uint8_t endpoint, uint8_t caller_id) {
    return apply_timeout_ms(endpoint, timeouts_ms_[caller_id].load(std::memory_order_relaxed));
  }

  bool apply_timeout_ms(uint8_t endpoint, uint32_t timeout_ms) {
    if (applied_ms_[endpoint].load(std::memory_order_relaxed) == timeout_ms) return true;
    ULONG value = timeout_ms;
    if (!driver_.set_pipe_policy(handle_, endpoint, PIPE_TRANSFER_TIMEOUT, sizeof value, &value)) {
      set_error_from_system();
      return false;
    }
    applied_ms_[endpoint].store(timeout_ms, std::memory_order_relaxed);
    return true;
  }

  const k::DriverApi driver_;  // the function set of the device's driver
  k::DeviceHandle handle_;
  std::shared_ptr<void> device_ref_;  // keeps the list entry the driver's Init read alive
  std::array<std::atomic<uint32_t>, 256> timeouts_ms_;   // by the caller's pipe id
  std::array<std::atomic<uint32_t>, 256> applied_ms_;    // by endpoint, as last set in the driver
  std::array<std::atomic<uint32_t>, 256> packet_bytes_;  // by endpoint
  ReadSurplus surplus_;
};

// libusbK's hot-plug callback carries no context of ours, so each monitor
// gets a callback of its own: one of a fixed set of slots, filled before
// HotK_Init so that no notice can find its slot empty.
constexpr size_t kMonitorSlots = 32;

struct MonitorSlots {
  std::mutex mutex;  // guards `used`; each handler is written once, before use
  size_t used = 0;
  std::array<HotplugHandler, kMonitorSlots> handlers;
};

MonitorSlots& monitor_slots() {
  static MonitorSlots slots;
  return slots;
}

// Runs on libusbK's notification thread, the layer's monitor thread. The
// device entry is valid for the call only, so the notice carries a copy.
template <size_t N>
VOID KITUSB_KAPI on_hot_plug(k::HotHandle, k::DeviceInfo* info, INT plug_type) {
  if (info == nullptr) return;
  HotplugNotice kind;
  if ((plug_type & k::kSyncAdded) != 0) {
    kind = HotplugNotice::kArrival;
  } else if ((plug_type & k::kSyncRemoved) != 0) {
    kind = HotplugNotice::kRemoval;
  } else {
    return;
  }
  std::shared_ptr<k::DeviceInfo> copy(new k::DeviceInfo(*info));
  const HotplugHandler& handler = monitor_slots().handlers[N];
  if (handler) handler(entry_of(*copy, copy), kind);
}

template <size_t... N>
constexpr std::array<k::HotPlugCallback, sizeof...(N)> make_callbacks(std::index_sequence<N...>) {
  return {{&on_hot_plug<N>...}};
}
constexpr std::array<k::HotPlugCallback, kMonitorSlots> kCallbacks =
    make_callbacks(std::make_index_sequence<kMonitorSlots>{});

class LibusbKBackend final : public UsbBackend {
 public:
  bool list_devices(uint16_t vendor_id, uint16_t product_id, std::vector<UsbDeviceEntry>* matching,
                    uint32_t* total) override {
    if (total) *total = 0;
    const Api* a = api();
    if (a == nullptr) return true;  // no libusbK: an empty list
    k::ListHandle list = nullptr;
    if (!a->LstK_Init(&list, 0)) {
      set_error_from_system();
      return false;
    }
    std::shared_ptr<ListHolder> holder(new ListHolder{a, list});
    UINT count = 0;
    if (!a->LstK_Count(list, &count)) {
      set_error_from_system();
      return false;
    }
    k::DeviceInfo* info = nullptr;
    while (a->LstK_MoveNext(list, &info)) {
      if (info == nullptr || !matching) continue;
      if (info->common.vid != vendor_id || info->common.pid != product_id) continue;
      // The entry points into the list, and the list lives while it does.
      matching->push_back(entry_of(*info, std::shared_ptr<void>(holder, info)));
    }
    if (total) *total = count;
    return true;
  }

  std::unique_ptr<UsbDevice> open(const UsbDeviceEntry& entry) override {
    const Api* a = api();
    k::DeviceInfo* info = static_cast<k::DeviceInfo*>(entry.device_ref.get());
    if (a == nullptr || info == nullptr) {
      set_last_error(a == nullptr ? UsbError::kNotConnected : UsbError::kInvalidArgument);
      return nullptr;
    }
    // The function set of the driver the device is bound to; the device keeps
    // it for every later call.
    k::DriverApi driver{};
    if (!a->LibK_LoadDriverAPI(&driver, info->driver_id)) {
      set_error_from_system();
      return nullptr;
    }
    if (!complete(driver)) {
      set_last_error(static_cast<UsbError>(ERROR_NOT_SUPPORTED));
      return nullptr;
    }
    k::DeviceHandle handle = nullptr;
    if (!driver.init(&handle, info)) {
      set_error_from_system();
      return nullptr;
    }
    return std::unique_ptr<UsbDevice>(new LibusbKDevice(driver, handle, entry.device_ref));
  }

  // One libusbK monitor per handler, asked for the devices present at
  // registration too. The monitors stay for the life of the process (the
  // adapter library never drops one); a slot whose HotK_Init failed is not
  // used again.
  bool add_hotplug_monitor(HotplugHandler handler) override {
    const Api* a = api();
    if (a == nullptr) {
      set_last_error(UsbError::kNotConnected);
      return false;
    }
    MonitorSlots& slots = monitor_slots();
    size_t slot;
    {
      std::lock_guard<std::mutex> lock(slots.mutex);
      if (slots.used == kMonitorSlots) {
        set_last_error(UsbError::kGeneralFailure);
        return false;
      }
      slot = slots.used++;
    }
    slots.handlers[slot] = std::move(handler);
    k::HotParams params{};
    params.flags = k::kHotPlugAllOnInit;
    params.on_hot_plug = kCallbacks[slot];
    k::HotHandle hot = nullptr;
    if (!a->HotK_Init(&hot, &params)) {
      set_error_from_system();
      return false;
    }
    return true;
  }
};

}  // namespace

UsbBackend& backend() {
  static LibusbKBackend instance;
  return instance;
}

}  // namespace kitusb
