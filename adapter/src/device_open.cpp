// USB-level and adapter-level open and close of a slot.
#include "adapter_protocol.h"
#include "pipe_io.h"
#include "slot_table.h"
#include "word_frame.h"

using namespace tavrix;

namespace {

constexpr uint32_t kRawReadTimeoutMs = 200;

std::unique_ptr<kitusb::UsbDevice> open_entry(int index) {
  Library& lib = library();
  if (static_cast<size_t>(index) >= lib.device_table.size()) return nullptr;
  try {
    return kitusb::backend().open(lib.device_table[static_cast<size_t>(index)]);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" int TAVRIX_CALL OpenUSBDev(int index) {
  if (!index_in_range(index)) return -1;
  Library& lib = library();
  if (!lib.scanned) CAN_ScanDevice();
  if (!index_scanned(index)) return -1;
  Slot& slot = lib.slots[index];
  slot.read_pipe = slot.write_pipe = slot.ack_pipe = kitusb::kNoPipe;
  {
    std::lock_guard<std::mutex> lock(slot.status_lock);
    slot.last_status_word = 0;
  }
  slot.usb.reset();  // a handle left from an earlier open is released first
  slot.usb = open_entry(index);
  if (!slot.usb) return -1;
  uint8_t pipes[3] = {kitusb::kNoPipe, kitusb::kNoPipe, kitusb::kNoPipe};
  for (uint8_t pos = 0; pos < 3; ++pos) {
    uint8_t id = 0;
    if (!slot.usb->query_pipe(pos, &id)) break;
    pipes[pos] = id;
  }
  if (pipes[0] == kitusb::kNoPipe || pipes[1] == kitusb::kNoPipe) return -1;
  slot.read_pipe = pipes[0];
  slot.write_pipe = pipes[1];
  slot.ack_pipe = pipes[2] != kitusb::kNoPipe ? pipes[2] : pipes[0];
  slot.read_timeout_ms = slot.write_timeout_ms = slot.ack_timeout_ms = kDefaultPipeTimeoutMs;
  flush(index);
  slot.usb->set_pipe_timeout(slot.write_pipe, kDefaultPipeTimeoutMs);
  return 0;
}

extern "C" int TAVRIX_CALL USB_OpenDev(int index, int pipes) {
  if (!index_scanned(index)) return -1;
  Slot& slot = library().slots[index];
  slot.write_pipe = static_cast<uint8_t>(pipes & 0xFF);
  slot.read_pipe = static_cast<uint8_t>((pipes >> 8) & 0xFF);
  slot.usb.reset();
  slot.usb = open_entry(index);
  if (!slot.usb) return -1;
  slot.read_timeout_ms = kRawReadTimeoutMs;
  slot.ack_timeout_ms = kDefaultPipeTimeoutMs;
  slot.usb->set_pipe_timeout(slot.read_pipe, kRawReadTimeoutMs);
  slot.usb->set_pipe_timeout(slot.write_pipe, slot.write_timeout_ms.load());
  flush(index);
  return 0;
}

extern "C" int TAVRIX_CALL CloseUSBDev(int index) {
  if (!index_in_range(index)) return -1;
  Library& lib = library();
  Slot& slot = lib.slots[index];
  slot.usb.reset();
  slot.open = false;
  slot.initialised = false;
  lib.previous_list_count = 0;
  lib.device_table.clear();
  lib.scanned = false;
  return 0;
}

extern "C" int TAVRIX_CALL CAN_OpenDevice(int index) {
  if (!index_in_range(index)) return -1;
  Slot& slot = library().slots[index];
  if (slot.open) return 0;
  slot.initialised = false;
  if (OpenUSBDev(index) != 0) {
    CloseUSBDev(index);
    return -1;
  }
  flush(index);
  uint32_t words[2] = {make_header(CMD_OPEN, kOpenParam, 1), 0};
  uint32_t reply[kMaxReplyWords];
  int n = -1;
  if (send_whole_request(index, words, 1)) n = await_reply(index, RSP_OPEN, reply);
  if (n != 2) {
    CloseUSBDev(index);
    return -1;
  }
  slot.clock_hz = reply[1];
  if (reply[1] < kMinAdapterClockHz) {
    CloseUSBDev(index);
    return -1;
  }
  slot.open = true;
  slot.compact_packing = ((reply[0] >> 8) & 0xFF) == kCompactPackingParam;
  flush(index);
  return 0;
}

extern "C" int TAVRIX_CALL CAN_CloseDevice(int index) {
  if (!index_in_range(index)) return -1;
  Slot& slot = library().slots[index];
  if (!slot.open) return -1;
  slot.open = false;
  slot.initialised = false;
  if (!index_scanned(index)) {
    CloseUSBDev(index);
    return -1;
  }
  uint32_t words[2] = {make_header(CMD_CLOSE, 0, 1), 0};
  bool written = send_whole_request(index, words, 1);
  CloseUSBDev(index);
  return written ? 0 : -1;
}
