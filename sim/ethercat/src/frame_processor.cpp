// Walks a received frame datagram by datagram through the simulated slaves.
#include "ethercat_sim/esc_model.h"
#include "le_bytes.h"

namespace ecat_sim {

bool process_frame(std::vector<EscModel>& slaves, uint8_t* frame, size_t len, bool* logical) {
  *logical = false;
  if (len < 16 || frame[12] != 0x88 || frame[13] != 0xA4) return false;
  const uint16_t header = le16(frame + 14);
  if ((header >> 12) != 1) return false;
  const size_t ecat_len = header & 0x07FF;
  if (ecat_len > len - 16) return false;
  // Check the whole chain before touching anything, so a malformed frame
  // changes no slave.
  size_t pos = 16;
  const size_t end = 16 + ecat_len;
  for (;;) {
    if (end - pos < 12) return false;
    const uint16_t flags = le16(frame + pos + 6);
    const size_t dlen = flags & 0x07FF;
    if (dlen > end - pos - 12) return false;
    pos += 12 + dlen;
    if ((flags & 0x8000) == 0) break;
  }
  if (pos != end) return false;
  pos = 16;
  for (;;) {
    uint8_t* h = frame + pos;
    const uint8_t cmd = h[0];
    const uint16_t flags = le16(h + 6);
    const uint16_t dlen = flags & 0x07FF;
    uint32_t address = le32(h + 2);
    uint16_t wkc = le16(h + 10 + dlen);
    if (cmd >= 10 && cmd <= 12) *logical = true;
    for (EscModel& s : slaves) s.process(cmd, &address, h + 10, dlen, &wkc);
    set_le32(h + 2, address);
    set_le16(h + 10 + dlen, wkc);
    pos += 12 + dlen;
    if ((flags & 0x8000) == 0) break;
  }
  for (EscModel& s : slaves) s.end_frame();
  frame[6] = static_cast<uint8_t>(frame[6] | 0x02);  // passed a processing unit
  return true;
}

}  // namespace ecat_sim
