// Per-thread last error of the USB layer on Windows. The codes are Windows
// error codes, so each one is also made the thread's Windows last error:
// a caller of the adapter library reads it with GetLastError().
#include <windows.h>

#include "kitusb/usb_layer.h"

namespace kitusb {
namespace {
thread_local UsbError g_last_error = UsbError::kNone;
}

UsbError last_error() { return g_last_error; }

void set_last_error(UsbError error) {
  g_last_error = error;
  SetLastError(static_cast<DWORD>(error));
}

}  // namespace kitusb
