// How the libusb backend turns libusb's results into the layer's, kept apart
// from the libusb calls so that the rules can be checked without a device.
#ifndef KITUSB_USB_LIBUSB_RULES_H
#define KITUSB_USB_LIBUSB_RULES_H

#include <libusb.h>

#include <cstdint>

#include "kitusb/usb_layer.h"

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

// Packet size assumed when a pipe's wMaxPacketSize cannot be read: a
// multiple of every bulk packet size (8 to 64 full speed, 512 high speed,
// 1024 SuperSpeed).
constexpr uint32_t kFallbackPacketBytes = 1024;

// The length to ask libusb for when a caller reads `length` bytes: whole
// packets. A device may fill every packet it sends, so a buffer that ends
// inside a packet would overflow (LIBUSB_ERROR_OVERFLOW, all data lost).
// Lengths beyond what libusb can take in one transfer are rounded down
// instead: a read may always return fewer bytes than asked.
inline uint32_t whole_packet_length(uint32_t length, uint32_t packet_bytes) {
  constexpr uint32_t kMaxTransferBytes = 0x7FFFFFFF;  // libusb counts in int
  if (packet_bytes == 0) packet_bytes = kFallbackPacketBytes;
  uint64_t whole = (static_cast<uint64_t>(length) + packet_bytes - 1) / packet_bytes * packet_bytes;
  if (whole > kMaxTransferBytes) whole = kMaxTransferBytes / packet_bytes * packet_bytes;
  return static_cast<uint32_t>(whole);
}

// The outcome of one synchronous bulk transfer of `length` bytes that ended
// with rc after moving `moved` bytes; kNone when it succeeded.
// A write succeeds only when every byte went out: one that timed out after
// moving part of them is the time-out it is, and a short write without an
// error code is a failure on the bus. A read that timed out after data
// arrived delivered that data.
inline UsbError bulk_outcome(bool write, int rc, uint32_t moved, uint32_t length) {
  if (write) {
    if (rc != LIBUSB_SUCCESS) return map_libusb_error(rc);
    return moved == length ? UsbError::kNone : UsbError::kGeneralFailure;
  }
  if (rc == LIBUSB_ERROR_TIMEOUT && moved > 0) return UsbError::kNone;
  return map_libusb_error(rc);
}

}  // namespace kitusb

#endif  // KITUSB_USB_LIBUSB_RULES_H
