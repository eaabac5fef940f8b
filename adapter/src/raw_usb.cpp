// Raw pipe and control-transfer access, and the hot-plug notice.
#include "adapter_protocol.h"
#include "pipe_io.h"
#include "slot_table.h"

using namespace tavrix;

namespace {

constexpr uint16_t kControlBytes = 8;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kWriteRequest = 0x10;
constexpr uint8_t kReadRequest = 0x11;

// The raw calls need a USB handle on the slot but check nothing else.
kitusb::UsbDevice* raw_device(int index) {
  if (!index_in_range(index)) return nullptr;
  return library().slots[index].usb.get();
}

int control(int index, uint8_t request_type, uint8_t request, uint8_t* buffer, uint32_t* transferred) {
  kitusb::UsbDevice* dev = raw_device(index);
  if (transferred) *transferred = 0;
  if (!dev || !buffer) return 0;
  kitusb::UsbControlSetup setup{request_type, request, 0, 0, kControlBytes};
  uint32_t moved = 0;
  bool ok = dev->control_transfer(setup, buffer, &moved);
  if (transferred) *transferred = moved;
  return ok ? 1 : 0;
}

}  // namespace

extern "C" int TAVRIX_CALL USB_control_write_date(int index, const uint8_t buffer[8], int, uint32_t* transferred) {
  // The layer's control call takes one buffer for both directions; an OUT
  // transfer only reads it, and we pass a copy anyway.
  uint8_t copy[kControlBytes] = {};
  if (buffer) {
    for (int i = 0; i < kControlBytes; ++i) copy[i] = buffer[i];
  }
  return control(index, kVendorOut, kWriteRequest, buffer ? copy : nullptr, transferred);
}

extern "C" int TAVRIX_CALL USB_control_read_date(int index, uint8_t buffer[8], int, uint32_t* transferred) {
  return control(index, kVendorIn, kReadRequest, buffer, transferred);
}

extern "C" int TAVRIX_CALL Readusb_devNum(int index, void* buffer, int length) {
  kitusb::UsbDevice* dev = raw_device(index);
  if (!dev || !buffer || length <= 0) return 0;
  Slot& slot = library().slots[index];
  set_read_timeout(slot, kDefaultPipeTimeoutMs);
  uint32_t got = 0;
  read_from_read_pipe(slot, static_cast<uint8_t*>(buffer), static_cast<uint32_t>(length), &got);
  return static_cast<int>(got);
}

extern "C" int TAVRIX_CALL Writeusb_devNum(int index, const void* buffer, int length) {
  if (!raw_device(index) || !buffer || length <= 0) return 0;
  uint32_t written = 0;
  if (!write_to_write_pipe(index, static_cast<const uint8_t*>(buffer), static_cast<uint32_t>(length), &written))
    return 0;
  return static_cast<int>(written);
}

extern "C" int TAVRIX_CALL Reg_HotPlug_Func(void (*callback)(void)) {
  Library& lib = library();
  bool ok = false;
  try {
    // Every monitor calls whichever callback is stored at the time of the notice.
    ok = kitusb::backend().add_hotplug_monitor([](const kitusb::UsbDeviceEntry&, kitusb::HotplugNotice) {
      void (*cb)(void) = library().hotplug_callback.load(std::memory_order_acquire);
      if (cb) cb();
    });
  } catch (...) {
    ok = false;
  }
  if (!ok) return -1;
  lib.hotplug_callback.store(callback, std::memory_order_release);
  return 0;
}
