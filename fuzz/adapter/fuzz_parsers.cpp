// Adapter replies straight into the parsers, as exact-size heap copies so
// that any read past the received bytes is caught.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device_info.h"
#include "device_scan.h"
#include "frame_receive.h"
#include "slot_table.h"
#include "word_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  const uint8_t* p = copy.empty() ? nullptr : copy.data();
  tavrix::FrameHeader h;
  tavrix::check_frame(p, size, 64, &h);
  tavrix::check_frame(p, size, 5000, &h);

  tavrix::Slot& slot = tavrix::library().slots[0];
  slot.compact_packing = size > 0 && (data[0] & 1);
  if (slot.ring.waiting() > 4000) slot.ring.read = slot.ring.write;
  tavrix::handle_poll_read(slot, p, size);
  tavrix::WireRecord last{};
  tavrix::unpack_frame_batch(p, size / 4, size > 0 && (data[0] & 2), &slot.ring, &last);

  CAN_DevInfo info;
  tavrix::decode_device_info(p, size, &info);
  tavrix::decode_serial(std::string(copy.begin(), copy.end()));
  return 0;
}
