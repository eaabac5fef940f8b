// How the libusb backend turns libusb's results into the layer's codes; the
// rules it shares with the other backends are in usb_rules.h.
#ifndef KITUSB_USB_LIBUSB_RULES_H
#define KITUSB_USB_LIBUSB_RULES_H

#include <libusb.h>

#include <cstdint>

#include "kitusb/usb_layer.h"
#include "usb_rules.h"

namespace kitusb {

inline UsbError map_libusb_error(int rc) {
  switch (rc) {
    case LIBUSB_SUCCESS:
      return UsbError::kNone;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return UsbError::kNotConnected;
    case LIBUSB_ERROR_TIMEOUT:
      return UsbError::kTimeout;
    case LIBUSB_ERROR_INVALID_PARAM:
      return UsbError::kInvalidArgument;
    default:
      return UsbError::kGeneralFailure;
  }
}

// The outcome of one synchronous bulk transfer of `length` bytes that ended
// with rc after moving `moved` bytes; kNone when it succeeded.
inline UsbError bulk_outcome(bool write, int rc, uint32_t moved, uint32_t length) {
  if (write) return rc != LIBUSB_SUCCESS ? map_libusb_error(rc) : write_outcome(moved, length);
  return read_outcome(map_libusb_error(rc), moved);
}

}  // namespace kitusb

#endif  // KITUSB_USB_LIBUSB_RULES_H
