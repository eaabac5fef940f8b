#include "canfd_frames.h"

#include <cstring>

#include "kitcanfd/length_code.h"

namespace lv {

uint8_t canfd_dlc_for_length(unsigned length) { return static_cast<uint8_t>(kitcanfd::code_for_length(length)); }

int canfd_length_for_dlc(uint8_t dlc) {
  // The I/O thread counts a frame with a code the adapter never delivers as
  // lost rather than decode it with a guessed length.
  if (dlc > kitcanfd::kMaxLengthCode) return -1;
  return static_cast<int>(kitcanfd::length_of_code(dlc));
}

void build_tx_record(const CanfdTxEntry& entry, CANFD_Frame* out) {
  std::memset(out, 0, sizeof *out);
  out->id = entry.id;
  out->flags = TAVRIX_FLAG_FD;
  const unsigned length = entry.length < 0 ? 0u : (entry.length > 64 ? 64u : static_cast<unsigned>(entry.length));
  out->dlc = canfd_dlc_for_length(length);
  std::memcpy(out->data, entry.data, length);
}

CANFD_InitConfig kit_canfd_init_config() {
  CANFD_InitConfig c;
  std::memset(&c, 0, sizeof c);
  c.baud = 1000000;
  c.data_baud = 5000000;
  c.prescaler = 2;
  c.tseg1 = 31;
  c.tseg2 = 8;
  c.sjw = 5;
  c.data_prescaler = 1;
  c.data_tseg1 = 11;
  c.data_tseg2 = 4;
  c.data_sjw = 2;
  c.mode = 7;
  c.option = 0;
  c.fd_records = 1;
  return c;
}

}  // namespace lv
