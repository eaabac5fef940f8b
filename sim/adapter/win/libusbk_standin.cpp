// A stand-in libusbK.dll for the tests (never installed): the calls the
// libusbK backend makes, with libusbK's names and records, served by the
// simulated USB bus of the test program that loaded it (standin_host.h).
// A program without that bus sees an empty device list, unless this build
// brings a simulated bus of its own (KITUSB_STANDIN_OWN_HOST: standin_host.cpp
// compiled in, with whatever it plugs in at load).
//
// Like libusbK it lists one entry per device interface, reports failures
// through SetLastError with the code the simulated device gave, and calls
// hot-plug callbacks on another thread (the simulator's monitor thread).
// Each driver kind has its own function set, and a set refuses a device
// bound to a driver it does not drive (the UsbK_* exports, the libusbK
// driver's set, refuse WinUSB devices), so a caller that uses the wrong set
// fails here as it would on a real machine. Which set served each device
// call is kept for the tests (kitusb_standin_served).
#include <windows.h>
#include <winusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "libusbk_api.h"
#include "standin_host.h"

namespace k = kitusb::libusbk;

#ifdef KITUSB_STANDIN_OWN_HOST
extern "C" __declspec(dllexport) const kitusb_standin::Host* kitusb_standin_host();
#endif

namespace {

const kitusb_standin::Host* host() {
  static const kitusb_standin::Host* found = [] {
    auto fn = reinterpret_cast<kitusb_standin::HostFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), kitusb_standin::kHostSymbol)));
#ifdef KITUSB_STANDIN_OWN_HOST
    if (fn == nullptr) fn = &kitusb_standin_host;  // a program of its own: the bus built in here
#endif
    return fn != nullptr ? fn() : nullptr;
  }();
  return found;
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL fail_from_host() {
  const DWORD code = static_cast<DWORD>(host()->last_error());
  return fail(code == ERROR_SUCCESS ? ERROR_GEN_FAILURE : code);
}

void fill_info(const kitusb::UsbDeviceEntry& e, k::DeviceInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->common.vid = e.vendor_id;
  info->common.pid = e.product_id;
  info->common.interface_number = e.interface_number;
  // Unique while the device is plugged in: the simulator's device object.
  std::snprintf(info->common.instance_id, sizeof info->common.instance_id, "USB\\VID_%04X&PID_%04X&MI_%02X\\%p",
                e.vendor_id, e.product_id, e.interface_number, e.device_ref.get());
  info->driver_id = e.driver_kind;
  info->connected = TRUE;
  std::snprintf(info->serial_number, sizeof info->serial_number, "%s", e.serial.c_str());
}

struct List {
  std::vector<std::unique_ptr<k::DeviceInfo>> entries;
  size_t next = 0;
};

// Simulated devices behind the entries of the lists not yet freed.
std::mutex g_mutex;
std::map<const k::DeviceInfo*, kitusb::UsbDeviceEntry> g_devices;

struct Device {
  std::unique_ptr<kitusb::UsbDevice> usb;
  INT driver_id;  // of the entry it was opened from
};

// The function sets: named by the driver whose set they are.
enum class Set : INT { kLibusbK = k::kDriverLibusbK, kLibusb0 = k::kDriverLibusb0, kWinUsb = k::kDriverWinUsb };

bool drives(Set set, INT driver_id) {
  switch (set) {
    case Set::kLibusbK:  // libusbK.sys speaks libusb0's requests too
      return driver_id == k::kDriverLibusbK || driver_id == k::kDriverLibusb0 || driver_id == k::kDriverLibusb0Filter;
    case Set::kLibusb0:
      return driver_id == k::kDriverLibusb0 || driver_id == k::kDriverLibusb0Filter;
    case Set::kWinUsb:
      return driver_id == k::kDriverWinUsb;
  }
  return false;
}

std::mutex g_served_mutex;
std::vector<kitusb_standin::ServedCall> g_served;  // since the last take, oldest first
constexpr size_t kMaxServed = 1024;

void record(const char* function, Set set) {
  kitusb_standin::ServedCall call{};
  std::snprintf(call.function, sizeof call.function, "%s", function);
  call.driver_id = static_cast<int>(set);
  std::lock_guard<std::mutex> lock(g_served_mutex);
  if (g_served.size() < kMaxServed) g_served.push_back(call);
}

// A set's functions meet a device of another driver as that driver meets a
// request it does not know: ERROR_INVALID_FUNCTION.
Device* device_for(const char* function, Set set, k::DeviceHandle handle) {
  record(function, set);
  if (handle == nullptr) {
    fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Device* d = static_cast<Device*>(handle);
  if (!drives(set, d->driver_id)) {
    fail(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  return d;
}

template <Set S>
BOOL KITUSB_KAPI init(k::DeviceHandle* handle, k::DeviceInfo* info) {
  record("Init", S);
  if (handle == nullptr || info == nullptr || host() == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!drives(S, info->driver_id)) return fail(ERROR_INVALID_FUNCTION);
  kitusb::UsbDeviceEntry entry;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_devices.find(info);
    if (it == g_devices.end()) return fail(ERROR_INVALID_PARAMETER);
    entry = it->second;
  }
  std::unique_ptr<kitusb::UsbDevice> usb = host()->open(entry);
  if (!usb) return fail_from_host();
  *handle = new Device{std::move(usb), info->driver_id};
  return TRUE;
}

// Releasing a handle works through any set, as in libusbK.
template <Set S>
BOOL KITUSB_KAPI free_handle(k::DeviceHandle handle) {
  record("Free", S);
  if (handle == nullptr) return fail(ERROR_INVALID_HANDLE);
  delete static_cast<Device*>(handle);
  return TRUE;
}

template <Set S>
BOOL KITUSB_KAPI query_pipe(k::DeviceHandle handle, UCHAR alt_setting, UCHAR pipe_index,
                            WINUSB_PIPE_INFORMATION* info) {
  Device* d = device_for("QueryPipe", S, handle);
  if (d == nullptr) return FALSE;
  if (info == nullptr) return fail(ERROR_INVALID_PARAMETER);
  uint8_t pipe = 0;
  if (alt_setting != 0 || !d->usb->query_pipe(pipe_index, &pipe)) return fail(ERROR_NO_MORE_ITEMS);
  info->PipeType = UsbdPipeTypeBulk;
  info->PipeId = pipe;
  info->MaximumPacketSize = 512;  // the simulated adapter's (SimAdapterConfig::packet_bytes)
  info->Interval = 0;
  return TRUE;
}

template <Set S>
BOOL KITUSB_KAPI set_pipe_policy(k::DeviceHandle handle, UCHAR pipe_id, UINT policy, UINT value_length, PVOID value) {
  Device* d = device_for("SetPipePolicy", S, handle);
  if (d == nullptr) return FALSE;
  if (policy == PIPE_TRANSFER_TIMEOUT) {
    if (value == nullptr || value_length < sizeof(ULONG)) return fail(ERROR_INVALID_PARAMETER);
    ULONG ms = 0;
    std::memcpy(&ms, value, sizeof ms);
    d->usb->set_pipe_timeout(pipe_id, ms);
  }
  return TRUE;
}

template <Set S>
BOOL KITUSB_KAPI read_pipe(k::DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length, UINT* transferred,
                           OVERLAPPED* overlapped) {
  Device* d = device_for("ReadPipe", S, handle);
  if (d == nullptr) return FALSE;
  // As the driver does: only IN endpoints can be read.
  if (overlapped != nullptr || (pipe_id & 0x80) == 0) return fail(ERROR_INVALID_PARAMETER);
  uint32_t n = 0;
  const bool ok = d->usb->read_pipe(pipe_id, buffer, length, &n);
  if (transferred != nullptr) *transferred = n;
  return ok ? TRUE : fail_from_host();
}

template <Set S>
BOOL KITUSB_KAPI write_pipe(k::DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length, UINT* transferred,
                            OVERLAPPED* overlapped) {
  Device* d = device_for("WritePipe", S, handle);
  if (d == nullptr) return FALSE;
  if (overlapped != nullptr || (pipe_id & 0x80) != 0) return fail(ERROR_INVALID_PARAMETER);
  uint32_t n = 0;
  const bool ok = d->usb->write_pipe(pipe_id, buffer, length, &n);
  if (transferred != nullptr) *transferred = n;
  return ok ? TRUE : fail_from_host();
}

template <Set S>
BOOL KITUSB_KAPI reset_pipe(k::DeviceHandle handle, UCHAR pipe_id) {
  Device* d = device_for("ResetPipe", S, handle);
  if (d == nullptr) return FALSE;
  return d->usb->reset_pipe(pipe_id) ? TRUE : fail_from_host();
}

template <Set S>
BOOL KITUSB_KAPI control_transfer(k::DeviceHandle handle, WINUSB_SETUP_PACKET setup, UCHAR* buffer, UINT length,
                                  UINT* transferred, OVERLAPPED* overlapped) {
  Device* d = device_for("ControlTransfer", S, handle);
  if (d == nullptr) return FALSE;
  if (overlapped != nullptr || length < setup.Length) return fail(ERROR_INVALID_PARAMETER);
  kitusb::UsbControlSetup s;
  s.request_type = setup.RequestType;
  s.request = setup.Request;
  s.value = setup.Value;
  s.index = setup.Index;
  s.length = setup.Length;
  uint32_t n = 0;
  const bool ok = d->usb->control_transfer(s, buffer, &n);
  if (transferred != nullptr) *transferred = n;
  return ok ? TRUE : fail_from_host();
}

struct Hot {
  std::mutex mutex;  // held while a callback runs; HotK_Free waits for it
  k::HotPlugCallback callback = nullptr;
  bool live = true;
};

}  // namespace

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

STANDIN_EXPORT BOOL KITUSB_KAPI LstK_Init(k::ListHandle* list, INT /*flags*/) {
  if (list == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::unique_ptr<List> l(new List);
  if (host() != nullptr) {
    std::vector<kitusb::UsbDeviceEntry> devices;
    uint32_t total = 0;
    if (!host()->list_all(&devices, &total)) return fail_from_host();
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const kitusb::UsbDeviceEntry& e : devices) {
      std::unique_ptr<k::DeviceInfo> info(new k::DeviceInfo);
      fill_info(e, info.get());
      g_devices[info.get()] = e;
      l->entries.push_back(std::move(info));
    }
    // Other devices on the bus: entries no search matches.
    for (uint32_t i = static_cast<uint32_t>(devices.size()); i < total; ++i) {
      std::unique_ptr<k::DeviceInfo> info(new k::DeviceInfo);
      std::memset(info.get(), 0, sizeof *info);
      info->common.vid = 0xFFFF;
      info->common.pid = 0xFFFF;
      l->entries.push_back(std::move(info));
    }
  }
  *list = l.release();
  return TRUE;
}

STANDIN_EXPORT BOOL KITUSB_KAPI LstK_Free(k::ListHandle list) {
  if (list == nullptr) return fail(ERROR_INVALID_HANDLE);
  std::unique_ptr<List> l(static_cast<List*>(list));
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& info : l->entries) g_devices.erase(info.get());
  return TRUE;
}

STANDIN_EXPORT BOOL KITUSB_KAPI LstK_Count(k::ListHandle list, UINT* count) {
  if (list == nullptr || count == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *count = static_cast<UINT>(static_cast<List*>(list)->entries.size());
  return TRUE;
}

STANDIN_EXPORT BOOL KITUSB_KAPI LstK_MoveNext(k::ListHandle list, k::DeviceInfo** info) {
  if (list == nullptr) return fail(ERROR_INVALID_HANDLE);
  List* l = static_cast<List*>(list);
  if (l->next >= l->entries.size()) {
    if (info != nullptr) *info = nullptr;
    return fail(ERROR_NO_MORE_ITEMS);
  }
  k::DeviceInfo* current = l->entries[l->next++].get();
  if (info != nullptr) *info = current;
  return TRUE;
}

// The libusbK driver's set: libusbK's own UsbK_* exports.
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_Init(k::DeviceHandle* handle, k::DeviceInfo* info) {
  return init<Set::kLibusbK>(handle, info);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_Free(k::DeviceHandle handle) { return free_handle<Set::kLibusbK>(handle); }
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_QueryPipe(k::DeviceHandle handle, UCHAR alt_setting, UCHAR pipe_index,
                                               WINUSB_PIPE_INFORMATION* info) {
  return query_pipe<Set::kLibusbK>(handle, alt_setting, pipe_index, info);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_SetPipePolicy(k::DeviceHandle handle, UCHAR pipe_id, UINT policy,
                                                   UINT value_length, PVOID value) {
  return set_pipe_policy<Set::kLibusbK>(handle, pipe_id, policy, value_length, value);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_ReadPipe(k::DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length,
                                              UINT* transferred, OVERLAPPED* overlapped) {
  return read_pipe<Set::kLibusbK>(handle, pipe_id, buffer, length, transferred, overlapped);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_WritePipe(k::DeviceHandle handle, UCHAR pipe_id, UCHAR* buffer, UINT length,
                                               UINT* transferred, OVERLAPPED* overlapped) {
  return write_pipe<Set::kLibusbK>(handle, pipe_id, buffer, length, transferred, overlapped);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_ResetPipe(k::DeviceHandle handle, UCHAR pipe_id) {
  return reset_pipe<Set::kLibusbK>(handle, pipe_id);
}
STANDIN_EXPORT BOOL KITUSB_KAPI UsbK_ControlTransfer(k::DeviceHandle handle, WINUSB_SETUP_PACKET setup, UCHAR* buffer,
                                                     UINT length, UINT* transferred, OVERLAPPED* overlapped) {
  return control_transfer<Set::kLibusbK>(handle, setup, buffer, length, transferred, overlapped);
}

namespace {

template <Set S>
void fill_set(k::DriverApi* api) {
  api->init = &init<S>;
  api->free = &free_handle<S>;
  api->control_transfer = &control_transfer<S>;
  api->query_pipe = &query_pipe<S>;
  api->set_pipe_policy = &set_pipe_policy<S>;
  api->read_pipe = &read_pipe<S>;
  api->write_pipe = &write_pipe<S>;
  api->reset_pipe = &reset_pipe<S>;
}

}  // namespace

STANDIN_EXPORT BOOL KITUSB_KAPI LibK_LoadDriverAPI(k::DriverApi* api, INT driver_id) {
  if (api == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::memset(api, 0, sizeof *api);
  switch (driver_id) {
    case k::kDriverLibusbK:
      api->init = &UsbK_Init;
      api->free = &UsbK_Free;
      api->control_transfer = &UsbK_ControlTransfer;
      api->query_pipe = &UsbK_QueryPipe;
      api->set_pipe_policy = &UsbK_SetPipePolicy;
      api->read_pipe = &UsbK_ReadPipe;
      api->write_pipe = &UsbK_WritePipe;
      api->reset_pipe = &UsbK_ResetPipe;
      break;
    case k::kDriverLibusb0:
    case k::kDriverLibusb0Filter:
      fill_set<Set::kLibusb0>(api);
      break;
    case k::kDriverWinUsb:
      fill_set<Set::kWinUsb>(api);
      break;
    default:
      return fail(ERROR_NOT_SUPPORTED);
  }
  api->driver_id = driver_id;
  api->function_count = 27;  // the functions up to ResetPipe
  return TRUE;
}

// Test hook, not libusbK's: the device calls served since the last take.
STANDIN_EXPORT unsigned kitusb_standin_served(kitusb_standin::ServedCall* calls, unsigned capacity) {
  std::lock_guard<std::mutex> lock(g_served_mutex);
  const unsigned n = static_cast<unsigned>(std::min<size_t>(capacity, g_served.size()));
  if (calls != nullptr) std::copy(g_served.begin(), g_served.begin() + n, calls);
  g_served.clear();
  return n;
}

STANDIN_EXPORT BOOL KITUSB_KAPI HotK_Init(k::HotHandle* handle, k::HotParams* params) {
  if (handle == nullptr || params == nullptr || params->on_hot_plug == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (host() == nullptr) return fail(ERROR_NOT_SUPPORTED);
  std::shared_ptr<Hot> hot = std::make_shared<Hot>();
  hot->callback = params->on_hot_plug;
  // The simulator reports the devices present at registration in any case,
  // as KHOT_FLAG_PLUG_ALL_ON_INIT asks.
  const bool ok = host()->backend->add_hotplug_monitor(
      [hot](const kitusb::UsbDeviceEntry& entry, kitusb::HotplugNotice notice) {
        std::lock_guard<std::mutex> lock(hot->mutex);
        if (!hot->live) return;
        k::DeviceInfo info;
        fill_info(entry, &info);
        hot->callback(hot.get(), &info, notice == kitusb::HotplugNotice::kArrival ? k::kSyncAdded : k::kSyncRemoved);
      });
  if (!ok) return fail_from_host();
  // The simulator keeps its monitors, and with them this record; the handle
  // only switches it off.
  *handle = hot.get();
  return TRUE;
}

STANDIN_EXPORT BOOL KITUSB_KAPI HotK_Free(k::HotHandle handle) {
  if (handle == nullptr) return fail(ERROR_INVALID_HANDLE);
  Hot* hot = static_cast<Hot*>(handle);
  std::lock_guard<std::mutex> lock(hot->mutex);
  hot->live = false;
  return TRUE;
}
