// Per-thread last error of the USB layer, shared by every backend.
#include "kitusb/usb_layer.h"

namespace kitusb {
namespace {
thread_local UsbError g_last_error = UsbError::kNone;
}

UsbError last_error() { return g_last_error; }
void set_last_error(UsbError error) { g_last_error = error; }

}  // namespace kitusb
