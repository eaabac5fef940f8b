// Frame building and parsing, and the SII category parser, against
// hand-written bytes.
#include <gtest/gtest.h>

#include <vector>

#include "coe_codec.h"
#include "frame_codec.h"
#include "sii.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes padded(Bytes b) {
  b.resize(60, 0);
  return b;
}

TEST(FrameBuilder, BroadcastReadOfTheSlaveCountIsPaddedTo60Bytes) {
  ecat::FrameBuilder b;
  ASSERT_NE(b.add(7, 0, 0, nullptr, 2), nullptr);
  const size_t len = b.finish();
  const Bytes want = padded({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4,
                             0x0E, 0x10,                                                  // length 14, type 1
                             0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // BRD, idx 0, len 2
                             0x00, 0x00, 0x00, 0x00});
  ASSERT_EQ(len, 60u);
  EXPECT_EQ(Bytes(b.bytes(), b.bytes() + len), want);
}

TEST(FrameBuilder, ChainsDatagramsWithTheMoreBit) {
  ecat::FrameBuilder b;
  const uint8_t op[2] = {0x08, 0x00};
  b.add(4, 5, 0x01301001u, nullptr, 2);
  b.add(5, 5, 0x01201002u, op, 2);
  const size_t len = b.finish();
  const Bytes want = padded({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4,
                             0x1C, 0x10,
                             0x04, 0x05, 0x01, 0x10, 0x30, 0x01, 0x02, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x05, 0x05, 0x02, 0x10, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00});
  EXPECT_EQ(Bytes(b.bytes(), b.bytes() + len), want);
}

TEST(FrameBuilder, RefusesWhatDoesNotFitOneFrame) {
  ecat::FrameBuilder b;
  EXPECT_EQ(b.add(12, 0, 0, nullptr, 1487), nullptr);
  EXPECT_NE(b.add(12, 0, 0, nullptr, 1486), nullptr);
  EXPECT_EQ(b.add(7, 1, 0, nullptr, 1), nullptr);
  EXPECT_EQ(b.finish(), 1514u);
}

// Reply to the broadcast read: passed one slave (source 03:..), ADP 1, WKC 1.
const Bytes kBrdReply = padded({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4,
                                0x0E, 0x10, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                0x11, 0x00, 0x01, 0x00});

ecat::SentShape brd_shape(uint8_t idx) {
  ecat::SentShape s;
  s.count = 1;
  s.cmd[0] = 7;
  s.idx[0] = idx;
  s.length[0] = 2;
  return s;
}

TEST(ParseFrame, ReadsAPaddedReply) {
  ecat::FrameView v;
  ASSERT_TRUE(ecat::parse_frame(kBrdReply.data(), kBrdReply.size(), &v));
  ASSERT_EQ(v.count, 1u);
  EXPECT_EQ(v.datagrams[0].cmd, 7);
  EXPECT_EQ(v.datagrams[0].address, 0x00000001u);
  EXPECT_EQ(v.datagrams[0].length, 2);
  EXPECT_EQ(v.datagrams[0].data[0], 0x11);
  EXPECT_EQ(v.datagrams[0].wkc, 1);
  EXPECT_TRUE(ecat::is_reply_to(brd_shape(0), v));
  EXPECT_FALSE(ecat::is_reply_to(brd_shape(1), v));  // another request's index
  // Without padding too.
  EXPECT_TRUE(ecat::parse_frame(kBrdReply.data(), 30, &v));
}

TEST(ParseFrame, IgnoresOurOwnOutgoingFrame) {
  Bytes own = kBrdReply;
  own[6] = 0x01;  // no slave has set the bit
  ecat::FrameView v;
  ASSERT_TRUE(ecat::parse_frame(own.data(), own.size(), &v));
  EXPECT_FALSE(ecat::is_reply_to(brd_shape(0), v));
}

TEST(ParseFrame, RejectsLengthsThatDoNotFitWhatArrived) {
  ecat::FrameView v;
  auto parses = [&](const Bytes& f, size_t len) { return ecat::parse_frame(f.data(), len, &v); };
  EXPECT_FALSE(parses(kBrdReply, 29));  // cut inside the working counter
  EXPECT_FALSE(parses(kBrdReply, 15));  // cut inside the EtherCAT header
  Bytes f = kBrdReply;
  f[12] = 0x08;
  f[13] = 0x00;  // IPv4
  EXPECT_FALSE(parses(f, f.size()));
  f = kBrdReply;
  f[15] = 0x20;  // type 2: not datagrams
  EXPECT_FALSE(parses(f, f.size()));
  f = kBrdReply;
  f[14] = 0xFF;
  f[15] = 0x17;  // header length 0x7FF, far beyond the 60 bytes
  EXPECT_FALSE(parses(f, f.size()));
  f = kBrdReply;
  f[22] = 0x20;  // datagram length 32 inside a 14-byte header length
  EXPECT_FALSE(parses(f, f.size()));
  f = kBrdReply;
  f[23] = 0x80;  // M bit: claims a datagram that is not there
  EXPECT_FALSE(parses(f, f.size()));
  f = kBrdReply;
  f[14] = 0x10;  // header length 16: two stray bytes after the last datagram
  EXPECT_FALSE(parses(f, f.size()));
}

TEST(ParseFrame, AcceptsAtMostEightDatagrams) {
  ecat::FrameBuilder b;
  for (uint8_t i = 0; i < 8; ++i) b.add(0, i, 0, nullptr, 0);
  const size_t len = b.finish();
  Bytes f(b.bytes(), b.bytes() + len);
  ecat::FrameView v;
  ASSERT_TRUE(ecat::parse_frame(f.data(), f.size(), &v));
  EXPECT_EQ(v.count, 8u);
  // A ninth, hand-appended: NOP, length 0, after setting M on the eighth.
  f.resize(16 + 8 * 12);
  f[16 + 7 * 12 + 7] = 0x80;
  const Bytes ninth = {0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  f.insert(f.end(), ninth.begin(), ninth.end());
  f[14] = static_cast<uint8_t>(9 * 12);
  EXPECT_FALSE(ecat::parse_frame(f.data(), f.size(), &v));
}

// SII from word 0x40: Strings, General, SyncManager, TxPDO, RxPDO, end.
const Bytes kSiiCategories = {
    0x0A, 0x00, 0x03, 0x00, 0x01, 0x04, 'H', 'a', 'n', 'd',
    0x1E, 0x00, 0x08, 0x00, 0, 0, 0, 1, 0, 0x04, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0,
    0x29, 0x00, 0x08, 0x00,
    0x00, 0x11, 0x40, 0x00, 0x64, 0x00, 0x01, 0x03,
    0x00, 0x12, 0xC0, 0x00, 0x20, 0x00, 0x01, 0x04,
    0x32, 0x00, 0x0C, 0x00,
    0x00, 0x1A, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x60, 0x01, 0x00, 0x07, 0x20, 0x00, 0x00,
    0x00, 0x60, 0x02, 0x00, 0x05, 0x08, 0x00, 0x00,
    0x33, 0x00, 0x08, 0x00,
    0x00, 0x16, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00,  // assigned to no SyncManager
    0x00, 0x70, 0x01, 0x00, 0x07, 0x20, 0x00, 0x00,
    0xFF, 0xFF};

TEST(SiiParser, ReadsNameSyncManagersAndPdoSizes) {
  ecat::SiiInfo info;
  ecat::parse_sii_categories(kSiiCategories.data(), kSiiCategories.size(), &info);
  EXPECT_EQ(info.first_string, "Hand");
  EXPECT_EQ(info.coe_details, 0x04);
  EXPECT_EQ(info.flags, 0x02);
  ASSERT_EQ(info.sm_count, 2);
  EXPECT_EQ(info.sm[0].start, 0x1100);
  EXPECT_EQ(info.sm[0].length, 64);
  EXPECT_EQ(info.sm[0].control, 0x64);
  EXPECT_EQ(info.sm[1].type, 4);
  EXPECT_TRUE(info.has_tx_pdo);
  EXPECT_EQ(info.tx_bits_per_sm[3], 40u);
  EXPECT_TRUE(info.has_rx_pdo);
  for (uint32_t bits : info.rx_bits_per_sm) EXPECT_EQ(bits, 0u);
}

TEST(SiiParser, StopsAtACategoryLongerThanTheData) {
  // Every cut of the area parses without reading past it (ASan checks) and
  // keeps what came before the cut.
  for (size_t cut = 0; cut < kSiiCategories.size(); ++cut) {
    Bytes part(kSiiCategories.begin(), kSiiCategories.begin() + static_cast<long>(cut));
    ecat::SiiInfo info;
    ecat::parse_sii_categories(part.data(), part.size(), &info);
    if (cut >= 10) {
      EXPECT_EQ(info.first_string, "Hand") << cut;
    }
    EXPECT_EQ(info.has_tx_pdo, cut >= 78) << cut;
  }
}

}  // namespace

namespace {
ecat::SdoReply sdo_reply(const std::vector<uint8_t>& bytes) {
  ecat::MailboxView mbx;
  if (!ecat::parse_mailbox(bytes.data(), bytes.size(), &mbx)) return ecat::SdoReply();
  return ecat::parse_sdo_reply(mbx);
}
}  // namespace

TEST(CoeCodec, UploadRequestsAsTheSlaveReadsThem) {
  uint8_t b[16];
  ASSERT_EQ(ecat::build_sdo_upload_request(0x1C12, 1, 7, b), 16u);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 16),
            (std::vector<uint8_t>{0x0A, 0, 0, 0, 0, 0x73, 0x00, 0x20, 0x40, 0x12, 0x1C, 0x01, 0, 0, 0, 0}));
  ASSERT_EQ(ecat::build_sdo_segment_request(true, 1, b), 16u);
  EXPECT_EQ(b[5], 0x13);
  EXPECT_EQ(b[8], 0x70);
  EXPECT_EQ(ecat::next_mailbox_counter(7), 1);
  EXPECT_EQ(ecat::next_mailbox_counter(0), 1);
}

TEST(CoeCodec, ParsesEachKindOfUploadReply) {
  // Expedited, 2 of 4 bytes valid. (Views point into the named bytes.)
  const std::vector<uint8_t> expedited = {0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x4B, 0x13, 0x1C, 0x01, 0x00, 0x1A, 0xEE, 0xEE};
  ecat::SdoReply r = sdo_reply(expedited);
  EXPECT_EQ(r.kind, ecat::SdoReplyKind::kUploadExpedited);
  EXPECT_EQ(r.index, 0x1C13);
  EXPECT_EQ(r.data_length, 2u);
  EXPECT_EQ(r.data[1], 0x1A);
  // Normal: 10 bytes in all, 3 here.
  r = sdo_reply({0x0D, 0, 0, 0, 0, 0x23, 0x00, 0x30, 0x41, 0x08, 0x10, 0x00, 10, 0, 0, 0, 'a', 'b', 'c', 0xEE});
  EXPECT_EQ(r.kind, ecat::SdoReplyKind::kUploadNormal);
  EXPECT_EQ(r.complete_size, 10u);
  EXPECT_EQ(r.data_length, 3u);
  EXPECT_FALSE(r.last);
  // Last segment, toggle set, 4 of the 7 bytes valid.
  r = sdo_reply({0x0A, 0, 0, 0, 0, 0x33, 0x00, 0x30, 0x17, 'd', 'e', 'f', 'g', 0, 0, 0});
  EXPECT_EQ(r.kind, ecat::SdoReplyKind::kUploadSegment);
  EXPECT_TRUE(r.toggle);
  EXPECT_TRUE(r.last);
  EXPECT_EQ(r.data_length, 4u);
  // Abort, sent as a request.
  r = sdo_reply({0x0A, 0, 0, 0, 0, 0x43, 0x00, 0x20, 0x80, 0x00, 0x20, 0x03, 0x11, 0x00, 0x09, 0x06});
  EXPECT_EQ(r.kind, ecat::SdoReplyKind::kAbort);
  EXPECT_EQ(r.abort_code, 0x06090011u);
  EXPECT_EQ(r.subindex, 3);
  // An emergency and another protocol are not SDO replies.
  EXPECT_EQ(sdo_reply({0x0A, 0, 0, 0, 0, 0x53, 0x00, 0x10, 0, 0x50, 0x81, 0, 0, 0, 0, 0}).kind,
            ecat::SdoReplyKind::kOther);
  EXPECT_EQ(sdo_reply({0x0A, 0, 0, 0, 0, 0x14, 0x00, 0x30, 0x43, 0, 0, 0, 0, 0, 0, 0}).kind,
            ecat::SdoReplyKind::kOther);
}

TEST(CoeCodec, LengthsFromTheWireAreCheckedAgainstTheBytes) {
  ecat::MailboxView mbx;
  const std::vector<uint8_t> claims_more = {0x0B, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x43, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ecat::parse_mailbox(claims_more.data(), claims_more.size(), &mbx));
  EXPECT_FALSE(ecat::parse_mailbox(claims_more.data(), 5, &mbx));
  // A normal reply claiming 1000 bytes gives only the bytes that came.
  const ecat::SdoReply r = sdo_reply({0x0B, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x41, 0, 0x20, 0, 0xE8, 0x03, 0, 0, 'x'});
  EXPECT_EQ(r.kind, ecat::SdoReplyKind::kUploadNormal);
  EXPECT_EQ(r.data_length, 1u);
  // Too short for an SDO header, or a segment without its 7 bytes.
  EXPECT_EQ(sdo_reply({0x05, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x43, 0, 0}).kind, ecat::SdoReplyKind::kMalformed);
  EXPECT_EQ(sdo_reply({0x05, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x01, 'a', 'b'}).kind, ecat::SdoReplyKind::kMalformed);
}
