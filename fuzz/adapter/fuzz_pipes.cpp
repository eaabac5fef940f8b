// Arbitrary bytes through the simulated adapter's read and acknowledgement
// pipes into the reply wait, the receive poll and the transmit
// acknowledgement path. Input: one selector byte, then chunks of
// [length low, length high, bytes...], each chunk one USB transfer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "simadapter/sim_adapter.h"
#include "slot_table.h"
#include "tavrix/tavrix.h"

namespace {

std::shared_ptr<simadapter::SimAdapter> setup() {
  simadapter::SimAdapterConfig c;
  c.empty_read_waits = false;  // nothing to read: the read times out at once
  auto a = simadapter::SimAdapter::create(c, nullptr);
  simadapter::SimUsbBackend::instance().plug(a);
  if (CAN_ScanDevice() != 1 || CAN_OpenDevice(0) != 0) __builtin_trap();
  a->set_drop_acks(true);
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::shared_ptr<simadapter::SimAdapter> adapter = setup();
  static std::vector<CANFD_Frame> frames(2500);
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const bool to_ack = (selector % 4) == 2;
  size_t pos = 1;
  while (pos + 2 <= size) {
    size_t len = static_cast<size_t>(data[pos] | data[pos + 1] << 8) % 4200;
    pos += 2;
    if (len > size - pos) len = size - pos;
    std::vector<uint8_t> chunk(data + pos, data + pos + len);
    if (to_ack) {
      adapter->inject_ack(std::move(chunk));
    } else {
      adapter->inject_read(std::move(chunk));
    }
    pos += len;
  }
  tavrix::library().slots[0].compact_packing = (selector & 0x10) != 0;
  tavrix::library().slots[0].fd_records = (selector & 0x20) != 0;
  switch (selector % 4) {
    case 0: {
      uint32_t id = 0;
      CAN_GetDevID(0, &id);
      break;
    }
    case 1:
      CANFD_GetReceiveNum(0);
      CANFD_Receive(0, frames.data(), 2500, 0);
      break;
    case 2: {
      std::memset(frames.data(), 0, sizeof(CANFD_Frame) * 30);
      for (int i = 0; i < 30; ++i) frames[static_cast<size_t>(i)].dlc = static_cast<uint8_t>(selector >> 4);
      int status = 0;
      CANFD_TransmitRt(0, frames.data(), 30, &status, 100);
      CAN_Status s;
      CAN_GetStatus(0, &s);
      break;
    }
    default: {
      CAN_Frame classic[4];
      CAN_Receive(0, classic, 4, 0);
      uint32_t stamp = 0;
      CAN_GetTimeStamp(0, &stamp);
      break;
    }
  }
  adapter->clear_pipes();
  return 0;
}
