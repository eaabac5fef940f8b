// The simulated slave's datagram semantics, checked without a network, so
// that the bus tests rest on a slave that behaves like an ESC.
#include <gtest/gtest.h>

#include <vector>

#include "ethercat_sim/esc_model.h"

namespace {

using ecat_sim::EscModel;
using ecat_sim::SlaveConfig;

struct Line {
  std::vector<EscModel> slaves;
  explicit Line(int n, const SlaveConfig& config = SlaveConfig()) {
    for (int i = 0; i < n; ++i) slaves.emplace_back(config, i + 1 == n);
  }
  // One datagram through every slave; returns the working counter.
  uint16_t pass(uint8_t cmd, uint16_t adp, uint16_t ado, std::vector<uint8_t>& data, uint16_t* adp_out = nullptr) {
    uint32_t address = adp | (static_cast<uint32_t>(ado) << 16);
    uint16_t wkc = 0;
    for (EscModel& s : slaves) s.process(cmd, &address, data.data(), static_cast<uint16_t>(data.size()), &wkc);
    for (EscModel& s : slaves) s.end_frame();
    if (adp_out != nullptr) *adp_out = static_cast<uint16_t>(address);
    return wkc;
  }
  uint16_t write16(uint8_t cmd, uint16_t adp, uint16_t ado, uint16_t v) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    return pass(cmd, adp, ado, d);
  }
  uint16_t logical_write(uint8_t cmd, uint32_t logical, std::vector<uint8_t>& data) {
    return pass(cmd, static_cast<uint16_t>(logical), static_cast<uint16_t>(logical >> 16), data);
  }
};

TEST(SimEsc, BroadcastReadCountsSlavesAndAdvancesTheAddress) {
  Line line(3);
  std::vector<uint8_t> d(2, 0);
  uint16_t adp = 0;
  EXPECT_EQ(line.pass(7, 0, 0x0000, d, &adp), 3);
  EXPECT_EQ(adp, 3);
  EXPECT_EQ(d[0], 0x11);  // type register
}

TEST(SimEsc, AutoIncrementAddressesOnePosition) {
  Line line(3);
  EXPECT_EQ(line.write16(2, 0xFFFF, 0x0010, 0x1002), 1);  // second slave
  std::vector<uint8_t> d(2, 0);
  EXPECT_EQ(line.pass(4, 0x1002, 0x0010, d), 1);
  EXPECT_EQ(d[0], 0x02);
  EXPECT_EQ(line.slaves[0].read16(0x0010), 0);
  EXPECT_EQ(line.slaves[2].read16(0x0010), 0);
}

TEST(SimEsc, AlStateMachineRefusesJumpsAndWaitsForAcknowledge) {
  Line line(1);
  EscModel& s = line.slaves[0];
  line.write16(8, 0, 0x0120, 0x0008);  // INIT -> OP
  EXPECT_EQ(s.al_status(), 0x0011);
  EXPECT_EQ(s.al_status_code(), 0x0011);
  line.write16(8, 0, 0x0120, 0x0002);  // no acknowledge: ignored
  EXPECT_EQ(s.al_status(), 0x0011);
  line.write16(8, 0, 0x0120, 0x0012);  // PRE-OP with acknowledge
  EXPECT_EQ(s.al_status(), 0x0002);
  EXPECT_EQ(s.al_status_code(), 0);
  line.write16(8, 0, 0x0120, 0x0004);  // SAFE-OP without SyncManagers
  EXPECT_EQ(s.al_status(), 0x0012);
  EXPECT_EQ(s.al_status_code(), 0x001D);
  line.write16(8, 0, 0x0120, 0x0001);  // INIT always clears
  EXPECT_EQ(s.al_status(), 0x0001);
}

TEST(SimEsc, LogicalReadWriteCountsThreeAndAppliesOutputsOnlyInOp) {
  Line line(1);
  EscModel& s = line.slaves[0];
  line.write16(2, 0, 0x0010, 0x1001);
  // SM2 outputs 0x1100/64, SM3 inputs 0x1200/192, enabled.
  std::vector<uint8_t> sm = {0x00, 0x11, 64, 0, 0x64, 0, 1, 0, 0x00, 0x12, 192, 0, 0x20, 0, 1, 0};
  EXPECT_EQ(line.pass(5, 0x1001, 0x0810, sm), 1);
  std::vector<uint8_t> f0 = {0, 0, 0, 0, 64, 0, 0, 7, 0x00, 0x11, 0, 2, 1, 0, 0, 0};
  std::vector<uint8_t> f1 = {64, 0, 0, 0, 192, 0, 0, 7, 0x00, 0x12, 0, 1, 1, 0, 0, 0};
  line.pass(5, 0x1001, 0x0600, f0);
  line.pass(5, 0x1001, 0x0610, f1);
  line.write16(5, 0x1001, 0x0120, 0x0002);
  line.write16(5, 0x1001, 0x0120, 0x0004);
  ASSERT_EQ(s.al_status(), 0x0004);
  std::vector<uint8_t> in(192);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 3);
  s.set_inputs(in.data(), in.size());

  std::vector<uint8_t> image(256, 0xEE);
  for (int i = 0; i < 64; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(line.logical_write(12, 0, image), 3);
  EXPECT_EQ(image[64], 0);
  EXPECT_EQ(image[65], 3);
  EXPECT_EQ(image[0], 0xA0);            // outputs come back as sent
  EXPECT_EQ(s.output_updates(), 0u);    // SAFE-OP: the hand keeps its safe state
  line.write16(5, 0x1001, 0x0120, 0x0008);
  std::vector<uint8_t> image2(256, 0);
  image2[0] = 0x55;
  EXPECT_EQ(line.logical_write(12, 0, image2), 3);
  EXPECT_EQ(s.output_updates(), 1u);
  EXPECT_EQ(s.applied_outputs()[0], 0x55);
  // The same image again is an update but no change; each new one is recorded.
  EXPECT_EQ(line.logical_write(12, 0, image2), 3);
  image2[0] = 0x56;
  EXPECT_EQ(line.logical_write(12, 0, image2), 3);
  ASSERT_EQ(s.output_changes().size(), 2u);
  EXPECT_EQ(s.output_changes()[0][0], 0x55);
  EXPECT_EQ(s.output_changes()[1][0], 0x56);
  EXPECT_EQ(s.output_updates(), 3u);
  // A range that touches no FMMU is not counted.
  std::vector<uint8_t> far(4, 0);
  EXPECT_EQ(line.logical_write(12, 0x10000, far), 0);
}

TEST(SimEsc, EepromReadsReturnSiiWords) {
  Line line(1);
  line.write16(2, 0, 0x0010, 0x1001);
  std::vector<uint8_t> cmd = {0x00, 0x01, 0x08, 0x00, 0x00, 0x00};  // read from word 8
  EXPECT_EQ(line.pass(5, 0x1001, 0x0502, cmd), 1);
  std::vector<uint8_t> d(8, 0);
  line.pass(4, 0x1001, 0x0508, d);
  EXPECT_EQ(d[0], 0x5A);  // vendor id 0x00000A5A
  EXPECT_EQ(d[1], 0x0A);
  EXPECT_EQ(d[4], 0x01);  // product code 0x00010001
  EXPECT_EQ(d[6], 0x01);
}

// The CoE mailbox as a master meets it: a read of the empty send mailbox is
// refused, a request is answered once even when it is written twice (the
// master's resend carries the same counter).
TEST(SimEsc, MailboxAnswersEachRequestOnceAndRefusesEmptyReads) {
  SlaveConfig c;
  c.coe = true;
  Line line(1, c);
  line.write16(2, 0, 0x0010, 0x1001);
  std::vector<uint8_t> sms = {0x00, 0x10, 128, 0, 0x26, 0, 1, 0, 0x80, 0x10, 128, 0, 0x22, 0, 1, 0};
  ASSERT_EQ(line.pass(5, 0x1001, 0x0800, sms), 1);
  line.write16(5, 0x1001, 0x0120, 0x0002);
  ASSERT_EQ(line.slaves[0].al_status(), 0x0002);
  std::vector<uint8_t> in(128, 0);
  EXPECT_EQ(line.pass(4, 0x1001, 0x1080, in), 0);
  // Upload 0x1018:1 (vendor id), counter 1.
  std::vector<uint8_t> request(128, 0);
  const uint8_t head[16] = {0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x20, 0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0};
  std::copy(head, head + 16, request.begin());
  std::vector<uint8_t> copy = request;
  ASSERT_EQ(line.pass(5, 0x1001, 0x1000, copy), 1);
  EXPECT_EQ(line.slaves[0].read16(0x080C) & 0x0800, 0x0800);  // SyncManager 1: mailbox full
  ASSERT_EQ(line.pass(4, 0x1001, 0x1080, in), 1);
  EXPECT_EQ(in[8], 0x43);  // expedited, 4 bytes
  EXPECT_EQ(in[12] | in[13] << 8, 0x0A5A);
  EXPECT_EQ(line.slaves[0].read16(0x080C) & 0x0800, 0);
  copy = request;
  ASSERT_EQ(line.pass(5, 0x1001, 0x1000, copy), 1);
  EXPECT_EQ(line.slaves[0].read16(0x080C) & 0x0800, 0);  // the resend is not answered again
}

}  // namespace
