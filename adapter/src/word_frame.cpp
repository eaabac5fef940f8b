#include "word_frame.h"

namespace tavrix {

uint32_t frame_checksum(const uint32_t* words, size_t n) {
  uint32_t sum = kChecksumSeed;
  for (size_t i = 0; i < n; ++i) sum = (i % 2 == 0) ? sum + words[i] : sum ^ words[i];
  return sum;
}

uint32_t frame_checksum_bytes(const uint8_t* bytes, size_t n) {
  uint32_t sum = kChecksumSeed;
  for (size_t i = 0; i < n; ++i) {
    uint32_t w = load_le32(bytes + 4 * i);
    sum = (i % 2 == 0) ? sum + w : sum ^ w;
  }
  return sum;
}

size_t encode_request(const uint32_t* words, size_t n, uint8_t* out, size_t capacity) {
  size_t len = request_wire_length(n);
  if (n == 0 || len > capacity) return 0;
  for (size_t i = 0; i < n; ++i) store_le32(out + 4 * i, words[i]);
  store_le32(out + 4 * n, frame_checksum(words, n));
  if (len > 4 * n + 4) out[4 * n + 4] = 0;
  return len;
}

FrameCheck check_frame(const uint8_t* data, size_t length, uint16_t max_words, FrameHeader* header) {
  if (length < 4) return FrameCheck::kTooShort;
  FrameHeader h;
  h.command = data[0];
  h.param = data[1];
  h.word_count = static_cast<uint16_t>(data[2] | data[3] << 8);
  if (header) *header = h;
  if (h.word_count == 0) return FrameCheck::kTruncated;
  if (h.word_count > max_words) return FrameCheck::kTooLong;
  // The checksum word must have arrived as well.
  if (4u * h.word_count + 4u > length) return FrameCheck::kTruncated;
  if (frame_checksum_bytes(data, h.word_count) != load_le32(data + 4u * h.word_count))
    return FrameCheck::kBadChecksum;
  return FrameCheck::kOk;
}

}  // namespace tavrix
