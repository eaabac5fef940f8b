// What every backend of the USB layer does the same way, whatever the system
// below it (see usb_layer.h for the contract): reads in whole packets with
// the surplus kept for the next read of the pipe, and the result of a write
// that moved fewer bytes than asked. Kept apart from the system calls so
// that the rules can be checked without a device.
#ifndef KITUSB_USB_RULES_H
#define KITUSB_USB_RULES_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "kitusb/usb_layer.h"

namespace kitusb {

// Packet size assumed when a pipe's wMaxPacketSize cannot be read: a
// multiple of every bulk packet size (8 to 64 full speed, 512 high speed,
// 1024 SuperSpeed).
constexpr uint32_t kFallbackPacketBytes = 1024;

// The length to ask the system for when a caller reads `length` bytes: whole
// packets. A device may fill every packet it sends, so a buffer that ends
// inside a packet would overflow (libusb: LIBUSB_ERROR_OVERFLOW, the packet
// lost; libusb0.sys alike). Lengths beyond what one transfer can take are
// rounded down instead: a read may always return fewer bytes than asked.
inline uint32_t whole_packet_length(uint32_t length, uint32_t packet_bytes) {
  constexpr uint32_t kMaxTransferBytes = 0x7FFFFFFF;  // libusb counts in int
  if (packet_bytes == 0) packet_bytes = kFallbackPacketBytes;
  uint64_t whole = (static_cast<uint64_t>(length) + packet_bytes - 1) / packet_bytes * packet_bytes;
  if (whole > kMaxTransferBytes) whole = kMaxTransferBytes / packet_bytes * packet_bytes;
  return static_cast<uint32_t>(whole);
}

// A write that the system reported as done: it succeeded only when every
// byte went out. A short one without an error ran into no time-out; the bus
// took part of it and no more, a failed transfer.
inline UsbError write_outcome(uint32_t moved, uint32_t length) {
  return moved == length ? UsbError::kNone : UsbError::kGeneralFailure;
}

// A read that the system ended with `error` after moving `moved` bytes: one
// that ran out of time after data arrived delivered that data.
inline UsbError read_outcome(UsbError error, uint32_t moved) {
  return error == UsbError::kTimeout && moved > 0 ? UsbError::kNone : error;
}

// A call's answer from its outcome: true for kNone, else false with the
// outcome as the thread's last error.
inline bool succeeded(UsbError outcome) {
  if (outcome == UsbError::kNone) return true;
  set_last_error(outcome);
  return false;
}

// Bytes that whole-packet reads brought beyond what their callers asked
// for, per endpoint, until the next read of that pipe takes them.
class ReadSurplus {
 public:
  // Moves up to `length` kept bytes of the endpoint into buffer; their count.
  uint32_t take(uint8_t endpoint, uint8_t* buffer, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t>& kept = bytes_[endpoint];
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(kept.size()));
    if (n == 0) return 0;
    std::memcpy(buffer, kept.data(), n);
    kept.erase(kept.begin(), kept.begin() + n);
    return n;
  }
  void keep(uint8_t endpoint, const uint8_t* bytes, uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_[endpoint].insert(bytes_[endpoint].end(), bytes, bytes + count);
  }
  void drop(uint8_t endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_[endpoint].clear();
  }

 private:
  std::mutex mutex_;
  std::array<std::vector<uint8_t>, 256> bytes_;
};

// UsbDevice::read_pipe over one system bulk read: bytes kept from an earlier
// read of the endpoint come first and alone; otherwise one transfer of whole
// packets, of which the caller gets `length` bytes and the rest is kept when
// the read succeeded. A failed read keeps nothing: its caller drops what it
// got, so the rest of that transfer must not come back as the start of the
// next read. A read of 0 bytes returns at once and touches neither the kept
// bytes nor the pipe: a transfer of no bytes would overflow on the device's
// next packet and lose it.
// transfer(target, size, &moved) runs the system's read and answers kNone or
// the layer's code for its failure; bytes it moved count in either case.
// The backends' read_pipe is this and only this.
template <typename Transfer>
bool read_whole_packets(ReadSurplus& surplus, uint8_t endpoint, uint32_t packet_bytes, uint8_t* buffer,
                        uint32_t length, uint32_t* transferred, Transfer transfer) {
  if (transferred) *transferred = 0;
  if (length == 0) return true;
  uint32_t got = surplus.take(endpoint, buffer, length);
  if (got > 0) {
    if (transferred) *transferred = got;
    return true;
  }
  const uint32_t whole = whole_packet_length(length, packet_bytes);
  uint8_t* target = buffer;
  static thread_local std::vector<uint8_t> packets;
  if (whole > length) {
    if (packets.size() < whole) packets.resize(whole);
    target = packets.data();
  }
  uint32_t moved = 0;
  UsbError error = transfer(target, whole, &moved);
  moved = std::min(moved, whole);
  error = read_outcome(error, moved);
  got = std::min(moved, length);
  if (target != buffer) {
    std::memcpy(buffer, target, got);
    if (moved > length && error == UsbError::kNone) surplus.keep(endpoint, target + length, moved - length);
  }
  if (transferred) *transferred = got;
  return succeeded(error);
}

}  // namespace kitusb

#endif  // KITUSB_USB_RULES_H
