#include "slot_table.h"

#include <cstring>

namespace tavrix {

bool ReceiveRing::push(const uint32_t* words, size_t n) {
  uint16_t next = static_cast<uint16_t>((write + 1) % kRingEntries);
  if (next == read) return false;  // full: the newest frame is dropped
  WireRecord& e = entries[write];
  if (n > kRecordWords) n = kRecordWords;
  std::memcpy(e.words, words, n * sizeof(uint32_t));
  std::memset(e.words + n, 0, (kRecordWords - n) * sizeof(uint32_t));
  write = next;
  return true;
}

bool ReceiveRing::pop(WireRecord* out) {
  if (read == write) return false;
  *out = entries[read];
  read = static_cast<uint16_t>((read + 1) % kRingEntries);
  return true;
}

Library& library() {
  // Never destroyed: the hot-plug monitor thread of the USB layer may still
  // read the callback while statics are torn down at exit.
  // Default-initialised: the rings and staging areas (45 MB of address
  // space over 100 slots) are only touched when a slot uses them.
  static Library* instance = new Library;
  return *instance;
}

bool index_scanned(int index) {
  uint32_t count = library().adapter_count.load(std::memory_order_relaxed);
  return count != 0 && index_in_range(index) && static_cast<uint32_t>(index) < count;
}

bool slot_usable(int index) {
  return index_scanned(index) && library().slots[index].open.load(std::memory_order_relaxed);
}

void clear_status(Slot& slot) {
  std::lock_guard<std::mutex> lock(slot.status_lock);
  slot.status = CAN_Status{};
  slot.last_status_word = 0;
}

void reset_library_for_tests() {
  Library& lib = library();
  for (Slot& s : lib.slots) {
    s.usb.reset();
    s.serial.clear();
    s.type = 0;
    s.clock_hz = 0;
    s.read_pipe = s.write_pipe = s.ack_pipe = kitusb::kNoPipe;
    s.read_timeout_ms = s.write_timeout_ms = s.ack_timeout_ms = kDefaultPipeTimeoutMs;
    s.open = false;
    s.initialised = false;
    s.compact_packing = false;
    s.fd_records = false;
    std::memset(s.remembered_classic, 0, sizeof(s.remembered_classic));
    std::memset(s.remembered_fd, 0, sizeof(s.remembered_fd));
    s.classic_remembered = s.fd_remembered = false;
    clear_status(s);
    s.ring.read = s.ring.write = 0;
  }
  lib.device_table.clear();
  lib.adapter_count = 0;
  lib.previous_list_count = 0;
  lib.scanned = false;
  lib.write_reset_mark = false;
  lib.ack_reset_mark = false;
}

}  // namespace tavrix
