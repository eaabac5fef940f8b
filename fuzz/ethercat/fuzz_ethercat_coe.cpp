// Arbitrary bytes read from a slave's send mailbox through the mailbox and
// CoE SDO reply parsers, touching every byte the views point at.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coe_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> area(data, data + size);  // exact size: ASan sees over-reads
  ecat::MailboxView mbx;
  if (!ecat::parse_mailbox(area.data(), area.size(), &mbx)) return 0;
  volatile uint32_t sink = 0;
  for (size_t i = 0; i < mbx.length; ++i) sink = sink + mbx.data[i];
  const ecat::SdoReply r = ecat::parse_sdo_reply(mbx);
  for (size_t i = 0; i < r.data_length; ++i) sink = sink + r.data[i];
  (void)sink;
  return 0;
}
