// Word frames: checksum, wire length with the extra byte, reply checks.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "word_frame.h"

using namespace tavrix;

TEST(WordFrame, ChecksumOfSingleHeaderWord) {
  const uint32_t words[] = {0x00010078};
  EXPECT_EQ(frame_checksum(words, 1), 0x6987DB2Eu);
}

TEST(WordFrame, OpenRequestBytes) {
  uint32_t words[] = {0x00015871};
  uint8_t out[16];
  ASSERT_EQ(encode_request(words, 1, out, sizeof(out)), 8u);
  const uint8_t expected[] = {0x71, 0x58, 0x01, 0x00, 0x27, 0x33, 0x88, 0x69};
  EXPECT_EQ(0, memcmp(out, expected, 8));
}

TEST(WordFrame, ExtraByteOnlyAfterWholePackets) {
  EXPECT_EQ(request_wire_length(14), 60u);
  EXPECT_EQ(request_wire_length(15), 65u);  // 64 + 1
  EXPECT_EQ(request_wire_length(16), 68u);
  EXPECT_EQ(request_wire_length(31), 129u);
  uint32_t words[16] = {0x000F00A2};
  uint8_t out[80];
  memset(out, 0xA5, sizeof(out));
  ASSERT_EQ(encode_request(words, 15, out, sizeof(out)), 65u);
  EXPECT_EQ(out[64], 0);
  EXPECT_EQ(encode_request(words, 15, out, 64), 0u);  // too small a buffer is refused
}

TEST(WordFrame, ReplyChecks) {
  FrameHeader h;
  auto good = tavrix_test::reply_bytes({0x0002007A, 1234});
  EXPECT_EQ(check_frame(good.data(), good.size(), 64, &h), FrameCheck::kOk);
  EXPECT_EQ(h.command, 0x7A);
  EXPECT_EQ(h.word_count, 2);
  // Checksum word missing.
  EXPECT_EQ(check_frame(good.data(), good.size() - 1, 64, &h), FrameCheck::kTruncated);
  EXPECT_EQ(check_frame(good.data(), 3, 64, &h), FrameCheck::kTooShort);
  auto bad = good;
  bad[5] ^= 1;
  EXPECT_EQ(check_frame(bad.data(), bad.size(), 64, &h), FrameCheck::kBadChecksum);
  // N = 65 with a correct checksum is still too long for a command reply.
  std::vector<uint32_t> words(65, 0);
  words[0] = 0x0041007A;
  auto longer = tavrix_test::reply_bytes(words);
  EXPECT_EQ(check_frame(longer.data(), longer.size(), 64, &h), FrameCheck::kTooLong);
  EXPECT_EQ(check_frame(longer.data(), longer.size(), 5000, &h), FrameCheck::kOk);
}
