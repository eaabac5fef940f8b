// Linked into the Windows test programs: hands the simulated USB bus to the
// stand-in libusbK.dll, so the adapter library's tests run through the
// libusbK backend.
#include "simadapter/sim_adapter.h"
#include "standin_host.h"

namespace {

bool list_all(std::vector<kitusb::UsbDeviceEntry>* devices, uint32_t* total) {
  return simadapter::SimUsbBackend::instance().list_all(devices, total);
}

std::unique_ptr<kitusb::UsbDevice> open_device(const kitusb::UsbDeviceEntry& entry) {
  return simadapter::SimUsbBackend::instance().open_as_driver(entry);
}

}  // namespace

extern "C" __declspec(dllexport) const kitusb_standin::Host* kitusb_standin_host() {
  static const kitusb_standin::Host host{&list_all, &open_device, &simadapter::SimUsbBackend::instance(),
                                         &kitusb::last_error};
  return &host;
}
