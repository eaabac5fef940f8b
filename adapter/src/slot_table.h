// The adapter slot table and the library-wide state every call indexes.
#ifndef TAVRIX_SLOT_TABLE_H
#define TAVRIX_SLOT_TABLE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter_protocol.h"
#include "frame_records.h"
#include "kitusb/usb_layer.h"
#include "tavrix/tavrix.h"

namespace tavrix {

constexpr size_t kRingEntries = 5000;
constexpr size_t kStagingRecords = 1000;

// Receive ring: at most kRingEntries - 1 frames wait. Only touched under the
// slot's receive lock.
struct ReceiveRing {
  WireRecord entries[kRingEntries];
  uint16_t read = 0;
  uint16_t write = 0;

  size_t waiting() const { return (write + kRingEntries - read) % kRingEntries; }
  // Copies words[0..n) into the next entry (rest zero); false when full.
  bool push(const uint32_t* words, size_t n);
  bool pop(WireRecord* out);
};

struct Slot {
  // From the scan.
  std::string serial;
  std::atomic<int> type{0};
  std::atomic<uint32_t> clock_hz{0};

  std::unique_ptr<kitusb::UsbDevice> usb;
  uint8_t read_pipe = kitusb::kNoPipe;
  uint8_t write_pipe = kitusb::kNoPipe;
  uint8_t ack_pipe = kitusb::kNoPipe;
  // Transfer time-outs last set on each pipe; set again only when they change.
  std::atomic<uint32_t> read_timeout_ms{kDefaultPipeTimeoutMs};
  std::atomic<uint32_t> write_timeout_ms{kDefaultPipeTimeoutMs};
  std::atomic<uint32_t> ack_timeout_ms{kDefaultPipeTimeoutMs};

  std::atomic<bool> open{false};
  std::atomic<bool> initialised{false};
  std::atomic<bool> compact_packing{false};
  std::atomic<bool> fd_records{false};

  std::mutex command_lock;  // transmit calls
  std::mutex receive_lock;  // every reader of the read pipe

  // The record of the last init of each kind, for the "same init as last
  // time" shortcut. An init of one kind forgets the other kind's record: the
  // adapter has left that mode, so its next init must be sent again.
  uint8_t remembered_classic[sizeof(CAN_InitConfig)] = {};
  uint8_t remembered_fd[sizeof(CANFD_InitConfig)] = {};
  bool classic_remembered = false;
  bool fd_remembered = false;

  // Written by transmit (command lock) and poll (receive lock) which may run
  // at once, so the status has its own small lock.
  std::mutex status_lock;
  CAN_Status status{};
  uint32_t last_status_word = 0;

  ReceiveRing ring;
  WireRecord staging[kStagingRecords];
};

struct Library {
  std::vector<kitusb::UsbDeviceEntry> device_table;
  std::atomic<uint32_t> adapter_count{0};  // 0 = no scan result
  uint32_t previous_list_count = 0;        // scan cache key
  bool scanned = false;
  std::atomic<bool> write_reset_mark{false};
  std::atomic<bool> ack_reset_mark{false};
  std::atomic<void (*)(void)> hotplug_callback{nullptr};
  Slot slots[kSlotCount];
};

Library& library();

inline bool index_in_range(int index) { return index >= 0 && index < kSlotCount; }
// A scan result exists and the index lies below the adapter count and 100.
bool index_scanned(int index);
// index_scanned and the slot is open.
bool slot_usable(int index);

void clear_status(Slot& slot);

// Returns the library to its state at load time (slots closed and released,
// no scan). For in-process tests only; not exported.
void reset_library_for_tests();

}  // namespace tavrix

#endif  // TAVRIX_SLOT_TABLE_H
