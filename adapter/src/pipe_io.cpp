#include "pipe_io.h"

#include <vector>

#include "word_frame.h"

namespace tavrix {
namespace {

// The reset rule of the write and acknowledgement pipes. The marks are
// library-wide: once one pipe needed a reset after a general failure, every
// later failure on that kind of pipe resets at once until a transfer succeeds.
void after_transfer(int index, uint8_t pipe, bool ok, kitusb::UsbError error, std::atomic<bool>& mark) {
  Slot& slot = library().slots[index];
  if (ok) {
    mark.store(false, std::memory_order_relaxed);
    return;
  }
  if (mark.load(std::memory_order_relaxed)) {
    slot.usb->reset_pipe(pipe);
    return;
  }
  if (error == kitusb::UsbError::kGeneralFailure && adapter_present(index) == 0) {
    slot.usb->reset_pipe(pipe);
    mark.store(true, std::memory_order_relaxed);
  }
}

}  // namespace

void set_read_timeout(Slot& slot, uint32_t timeout_ms) {
  if (slot.read_timeout_ms.load(std::memory_order_relaxed) == timeout_ms) return;
  slot.read_timeout_ms.store(timeout_ms, std::memory_order_relaxed);
  slot.usb->set_pipe_timeout(slot.read_pipe, timeout_ms);
}

bool read_from_read_pipe(Slot& slot, uint8_t* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  if (!slot.usb || slot.read_pipe == kitusb::kNoPipe) return false;
  uint32_t n = 0;
  bool ok = slot.usb->read_pipe(slot.read_pipe, buffer, length, &n);
  *got = n > length ? length : n;
  return ok;
}

bool read_from_ack_pipe(int index, uint8_t* buffer, uint32_t length, uint32_t* got) {
  Slot& slot = library().slots[index];
  *got = 0;
  if (!slot.usb || slot.ack_pipe == kitusb::kNoPipe) return false;
  uint32_t n = 0;
  kitusb::set_last_error(kitusb::UsbError::kNone);
  bool ok = slot.usb->read_pipe(slot.ack_pipe, buffer, length, &n);
  *got = n > length ? length : n;
  after_transfer(index, slot.ack_pipe, ok, kitusb::last_error(), library().ack_reset_mark);
  return ok;
}

bool write_to_write_pipe(int index, const uint8_t* buffer, uint32_t length, uint32_t* written) {
  Slot& slot = library().slots[index];
  *written = 0;
  if (!slot.usb || slot.write_pipe == kitusb::kNoPipe) return false;
  uint32_t n = 0;
  kitusb::set_last_error(kitusb::UsbError::kNone);
  bool ok = slot.usb->write_pipe(slot.write_pipe, buffer, length, &n);
  *written = n > length ? length : n;
  // The layer fails a write that moved only part of its bytes; a count short
  // of the length gets that answer whatever the layer said, and must not
  // clear the reset mark.
  if (ok && *written < length) {
    ok = false;
    kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
  }
  after_transfer(index, slot.write_pipe, ok, kitusb::last_error(), library().write_reset_mark);
  return ok;
}

size_t send_request(int index, uint32_t* words, uint16_t n) {
  if (!index_scanned(index) || n == 0) return 0;
  uint8_t bytes[kMaxRequestBytes];
  size_t len = encode_request(words, n, bytes, sizeof(bytes));
  if (len == 0) return 0;
  words[n] = load_le32(bytes + 4u * n);
  uint32_t written = 0;
  if (!write_to_write_pipe(index, bytes, static_cast<uint32_t>(len), &written)) return 0;
  return written;
}

bool send_whole_request(int index, uint32_t* words, uint16_t n) {
  return send_request(index, words, n) == request_wire_length(n);
}

int await_reply(int index, uint8_t code, uint32_t* reply) {
  if (!index_in_range(index)) return -1;
  Slot& slot = library().slots[index];
  uint8_t buffer[kReadBufferBytes];
  for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
    uint32_t got = 0;
    if (!read_from_read_pipe(slot, buffer, sizeof(buffer), &got) || got == 0) continue;
    FrameHeader h;
    if (check_frame(buffer, got, kMaxReplyWords, &h) != FrameCheck::kOk) continue;
    if (h.command == code) {
      for (uint16_t i = 0; i < h.word_count; ++i) reply[i] = load_le32(buffer + 4u * i);
      return h.word_count;
    }
    if (h.command == RSP_REFUSED || h.command == RSP_REFUSED_ALT) return -1;
    // Anything else (a frame batch that came first, say) is dropped.
  }
  return -1;
}

void flush(int index) {
  if (!index_in_range(index)) return;
  Slot& slot = library().slots[index];
  if (slot.usb) {
    // Both drains take the ordinary read paths, so a failed drain of the
    // acknowledgement pipe follows its reset rule like any other read there.
    static thread_local uint8_t scratch[kFlushReadBytes];
    uint32_t got = 0;
    if (slot.read_pipe != kitusb::kNoPipe) {
      slot.usb->set_pipe_timeout(slot.read_pipe, kFlushTimeoutMs);
      read_from_read_pipe(slot, scratch, sizeof(scratch), &got);
    }
    if (slot.ack_pipe != kitusb::kNoPipe) {
      slot.usb->set_pipe_timeout(slot.ack_pipe, kFlushTimeoutMs);
      read_from_ack_pipe(index, scratch, sizeof(scratch), &got);
    }
    if (slot.read_pipe != kitusb::kNoPipe)
      slot.usb->set_pipe_timeout(slot.read_pipe, slot.read_timeout_ms.load(std::memory_order_relaxed));
    if (slot.ack_pipe != kitusb::kNoPipe && slot.ack_pipe != slot.read_pipe)
      slot.usb->set_pipe_timeout(slot.ack_pipe, slot.ack_timeout_ms.load(std::memory_order_relaxed));
  }
  clear_status(slot);
}

int adapter_present(int index) {
  if (!index_in_range(index)) return 1;
  const std::string& serial = library().slots[index].serial;
  try {
    std::vector<kitusb::UsbDeviceEntry> found;
    uint32_t total = 0;
    if (!kitusb::backend().list_devices(kAdapterVendorId, kAdapterProductId, &found, &total)) return 1;
    for (const auto& e : found) {
      if (e.serial == serial) return 0;
    }
  } catch (...) {
  }
  return 1;
}

}  // namespace tavrix
