// A USB backend that sees no device: every scan finds nothing and reports
// "device not connected". Stands in on Windows until the libusbK backend is
// built there.
#include "kitusb/usb_layer.h"

namespace kitusb {
namespace {

class NoDeviceBackend : public UsbBackend {
 public:
  bool list_devices(uint16_t, uint16_t, std::vector<UsbDeviceEntry>*, uint32_t* total) override {
    if (total) *total = 0;
    set_last_error(UsbError::kNotConnected);
    return false;
  }
  std::unique_ptr<UsbDevice> open(const UsbDeviceEntry&) override {
    set_last_error(UsbError::kNotConnected);
    return nullptr;
  }
  bool add_hotplug_monitor(HotplugHandler) override { return false; }
};

}  // namespace

UsbBackend& backend() {
  static NoDeviceBackend instance;
  return instance;
}

}  // namespace kitusb
