// Arbitrary received frames through the master's receive parser and reply
// matcher, touching every byte the views point at.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> frame(data, data + size);  // exact size: ASan sees over-reads
  ecat::FrameView view;
  if (!ecat::parse_frame(frame.data(), frame.size(), &view)) return 0;
  // Match against the shape the frame itself suggests, and against an LRW.
  ecat::SentShape self;
  self.count = view.count;
  for (size_t i = 0; i < view.count; ++i) {
    self.cmd[i] = view.datagrams[i].cmd;
    self.idx[i] = view.datagrams[i].idx;
    self.length[i] = view.datagrams[i].length;
  }
  ecat::SentShape lrw;
  lrw.count = 1;
  lrw.cmd[0] = 12;
  lrw.length[0] = 256;
  volatile uint32_t sink = 0;
  if (ecat::is_reply_to(self, view) || ecat::is_reply_to(lrw, view)) {
    uint8_t image[ecat::kMaxDatagramDataBytes];
    const ecat::DatagramView& d = view.datagrams[0];
    std::memcpy(image, d.data, d.length);
    sink = sink + image[0] + d.wkc;
  }
  for (size_t i = 0; i < view.count; ++i) {
    const ecat::DatagramView& d = view.datagrams[i];
    for (size_t k = 0; k < d.length; ++k) sink = sink + d.data[k];
  }
  (void)sink;
  return 0;
}
