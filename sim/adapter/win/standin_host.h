// How the stand-in libusbK.dll finds the simulated USB bus: a test program
// exports kitusb_standin_host(), and the stand-in looks it up in the program
// (GetModuleHandle(NULL)). Both sides are built by the same compiler, so the
// layer's C++ interface may cross between them.
#ifndef SIMADAPTER_WIN_STANDIN_HOST_H
#define SIMADAPTER_WIN_STANDIN_HOST_H

#include <cstdint>
#include <memory>
#include <vector>

#include "kitusb/usb_layer.h"

namespace kitusb_standin {

struct Host {
  // Every device of the simulated bus; *total counts other devices too.
  bool (*list_all)(std::vector<kitusb::UsbDeviceEntry>* devices, uint32_t* total);
  // Opens a device as a driver reaches it: each call one transfer as asked,
  // none of the USB layer's rules (those are the caller's to keep).
  std::unique_ptr<kitusb::UsbDevice> (*open)(const kitusb::UsbDeviceEntry& entry);
  // The simulated bus, for its hot-plug monitors.
  kitusb::UsbBackend* backend;
  // The layer's last error on the calling thread, as the program sees it.
  kitusb::UsbError (*last_error)();
};

constexpr const char* kHostSymbol = "kitusb_standin_host";
using HostFunction = const Host* (*)();

// One device call the stand-in answered, and the driver whose function set
// it went through (0 libusbK, 1 libusb0, 2 WinUSB). The stand-in exports
// kServedSymbol: it copies up to `capacity` calls answered since the last
// take, oldest first, forgets them all and returns how many it copied.
struct ServedCall {
  char function[24];  // "Init", "ReadPipe", ...
  int driver_id;
};
constexpr const char* kServedSymbol = "kitusb_standin_served";
using ServedFunction = unsigned (*)(ServedCall* calls, unsigned capacity);

}  // namespace kitusb_standin

#endif
