// Transmit and receive through the simulated adapter: record conversion,
// batching, packing, acknowledgements, the receive ring and the bus status.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_fixture.h"

using namespace tavrix_test;
using simadapter::SimAdapterConfig;

namespace {

SimAdapterConfig full_packing() {
  SimAdapterConfig c;
  c.compact_packing = false;
  return c;
}

CAN_Frame can_frame(uint32_t id, uint8_t dlc) {
  CAN_Frame f;
  std::memset(&f, 0, sizeof(f));
  f.id = id;
  f.dlc = dlc;
  for (int i = 0; i < 8; ++i) f.data[i] = static_cast<uint8_t>(i + 1);
  return f;
}

CANFD_Frame fd_frame(uint32_t id, uint8_t dlc) {
  CANFD_Frame f;
  std::memset(&f, 0, sizeof(f));
  f.id = id;
  f.dlc = dlc;
  f.flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
  for (int i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(i);
  return f;
}

simcan::CanFrame bus_frame(uint32_t id, uint8_t dlc, bool fd = false) {
  simcan::CanFrame f;
  f.id = id;
  f.extended = id > 0x7FF;
  f.dlc = dlc;
  f.fd = fd;
  for (int i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(0x40 + i);
  return f;
}

}  // namespace

TEST_F(SimAdapterTest, ClassicFrameRecordAndDlcClamp) {
  auto a = open_one(full_packing());
  CAN_Frame f = can_frame(0x123, 12);
  f.time_stamp = 7;
  f.flags = TAVRIX_FLAG_TX_40 | TAVRIX_FLAG_TX_10;  // 0x10 only passes in the Rt form
  ASSERT_EQ(CAN_Transmit(0, &f, 1, 100), 1);
  EXPECT_EQ(f.dlc, 8);
  auto r = a->requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].words, (std::vector<uint32_t>{0x000602A2, 0x24600000, 7, 0x00400400, 0x04030201, 0x08070605}));
}

TEST_F(SimAdapterTest, ExtendedRemoteAndRtFlags) {
  auto a = open_one(full_packing());
  CAN_Frame f = can_frame(0x1ABCDEF0, 2);
  f.extended = 1;
  f.remote = 1;
  f.flags = TAVRIX_FLAG_TX_10 | TAVRIX_FLAG_TX_20 | TAVRIX_FLAG_FD;  // 0x04 is not a classic flag
  a->set_ack(-1, 0xFE, 0);
  int status = 0;
  ASSERT_EQ(CAN_TransmitRt(0, &f, 1, &status, 100), 1);
  EXPECT_EQ(status, -2);
  auto w = a->requests().back().words;
  EXPECT_EQ(w[1], 0xD5E6F786u);
  EXPECT_EQ(w[3], (2u << 7) | (1u << 12) | (1u << 13));
  // Values other than 1 do not count as extended or remote.
  f.extended = 2;
  f.remote = 2;
  f.id = 0x7FF;
  ASSERT_EQ(CAN_Transmit(0, &f, 1, 100), 1);
  EXPECT_EQ(a->requests().back().words[1], 0xFFE00000u);
}

TEST_F(SimAdapterTest, FdFlagsReachTheControlWord) {
  auto a = open_one(full_packing());
  CANFD_InitConfig c = kit_fd_config();
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  a->clear_requests();
  CANFD_Frame f = fd_frame(0x501, 20);
  f.flags |= TAVRIX_FLAG_TX_20;
  ASSERT_EQ(CANFD_Transmit(0, &f, 1, 100), 1);
  EXPECT_EQ(f.dlc, 15);
  auto w = a->requests().back().words;
  ASSERT_EQ(w.size(), 20u);
  EXPECT_EQ(w[3], (15u << 7) | (1u << 20) | (1u << 21));
  EXPECT_EQ(w[19], 0x3F3E3D3Cu);
  ASSERT_EQ(CANFD_TransmitRt(0, &f, 1, nullptr, 100), 1);
  EXPECT_EQ(a->requests().back().words[3], (15u << 7) | (1u << 20) | (1u << 21) | (1u << 13));
}

TEST_F(SimAdapterTest, ThousandFramesInBatchesOfHundred) {
  auto a = open_one(full_packing());
  std::vector<CAN_Frame> frames(1500, can_frame(0x100, 8));
  a->set_ack(50, 0, 0);
  EXPECT_EQ(CAN_Transmit(0, frames.data(), 1500, 100), 500);
  auto r = a->requests();
  ASSERT_EQ(r.size(), 10u);
  for (const auto& req : r) EXPECT_EQ(req.words.size(), 501u);
  EXPECT_EQ(a->transmitted_frames(), 1000u);
  std::vector<CAN_Frame> rt(150, can_frame(0x100, 8));
  a->set_ack(-1, 0, 0);
  EXPECT_EQ(CAN_TransmitRt(0, rt.data(), 150, nullptr, 100), 100);
}

TEST_F(SimAdapterTest, FdRecordModeBatchesOf25) {
  auto a = open_one(full_packing());
  CANFD_InitConfig c = kit_fd_config(1);
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  a->clear_requests();
  std::vector<CANFD_Frame> frames(30, fd_frame(0x200, 15));
  EXPECT_EQ(CANFD_Transmit(0, frames.data(), 30, 100), 30);
  auto r = a->requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].words.size(), 1u + 25 * 19);
  EXPECT_EQ(r[1].words.size(), 1u + 5 * 19);
}

TEST_F(SimAdapterTest, CompactPackingSizesRecordsByLength) {
  auto a = open_one();  // compact packing
  CANFD_Frame frames[2] = {fd_frame(1, 15), fd_frame(2, 0)};
  ASSERT_EQ(CANFD_Transmit(0, frames, 2, 100), 2);
  EXPECT_EQ(a->requests().back().words.size(), 1u + 19 + 3);
}

TEST_F(SimAdapterTest, CompactBatchesNeverOverflowTheRequest) {
  auto a = open_one();
  auto node = std::make_shared<simcan::RecordingNode>();
  bus_->attach(node);
  std::vector<CANFD_Frame> frames(100, fd_frame(0x300, 15));
  EXPECT_EQ(CANFD_Transmit(0, frames.data(), 100, 100), 100);
  size_t records = 0;
  for (const auto& r : a->requests()) {
    EXPECT_LE((r.words.size() - 1) * 4, 4096u);
    records += (r.words.size() - 1) / 19;
  }
  EXPECT_EQ(records, 100u);
  ASSERT_EQ(node->count(), 100u);
  EXPECT_EQ(node->frames()[99].data[63], 63);
  EXPECT_TRUE(node->frames()[0].fd);
  bus_->detach(node.get());
}

TEST_F(SimAdapterTest, TimeOutBecomesParameterByte) {
  auto a = open_one();
  CAN_Frame f = can_frame(1, 1);
  const std::pair<int, uint8_t> cases[] = {{30, 2}, {-1, 200}, {20000, 200}, {150, 3}, {0, 2}, {10000, 200}};
  for (const auto& c : cases) {
    ASSERT_EQ(CAN_Transmit(0, &f, 1, c.first), 1);
    EXPECT_EQ(a->requests().back().param, c.second) << c.first;
  }
}

TEST_F(SimAdapterTest, AcknowledgementSetsStatusByTransmitRule) {
  auto a = open_one();
  a->set_ack(-1, 0, 0x0A0B3075);
  CAN_Frame f = can_frame(1, 1);
  ASSERT_EQ(CAN_Transmit(0, &f, 1, 100), 1);
  CAN_Status s;
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0x35);
  EXPECT_EQ(s.error_code, 7);
  EXPECT_EQ(s.tx_error_count, 0x0B);
  EXPECT_EQ(s.rx_error_count, 0x0A);
  a->set_ack(-1, 0, 0x0000C000);  // status bits 14-15 only count here, not on receive
  ASSERT_EQ(CAN_Transmit(0, &f, 1, 100), 1);
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0xC8);
  EXPECT_EQ(s.error_code, 0);
}

TEST_F(SimAdapterTest, TransmitFailuresAndEmptyCalls) {
  auto a = open_one();
  CAN_Frame f = can_frame(1, 1);
  EXPECT_EQ(CAN_Transmit(0, &f, 0, 100), 0);
  EXPECT_TRUE(a->requests().empty());
  EXPECT_EQ(CAN_Transmit(0, nullptr, 1, 100), -1);
  EXPECT_EQ(CAN_Transmit(1, &f, 1, 100), -1);
  a->fail_writes(1, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_Transmit(0, &f, 1, 100), -1);
  // A batch without acknowledgement adds nothing.
  a->fail_reads(simadapter::kAckPipe, 10, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_Transmit(0, &f, 1, 100), 0);
  // A short acknowledgement lacks the status fields and counts as none.
  a->set_drop_acks(true);
  uint8_t stale[100];
  EXPECT_EQ(CAN_GetTransmitNum(0, stale), 1);  // the acknowledgement nobody read
  a->inject_ack({1, 0, 0});
  EXPECT_EQ(CAN_Transmit(0, &f, 1, 100), 0);
}

TEST_F(SimAdapterTest, ReceivesFramesFromTheBus) {
  open_one();
  simcan::CanFrame in = bus_frame(0x12345, 15, true);
  in.extended = true;
  in.brs = true;
  bus_->send(in, nullptr);
  CANFD_Frame out[4];
  std::memset(out, 0xA5, sizeof(out));
  ASSERT_EQ(CANFD_Receive(0, out, 4, 100), 1);
  EXPECT_EQ(out[0].id, 0x12345u);
  EXPECT_EQ(out[0].extended, 1);
  EXPECT_EQ(out[0].remote, 0);
  EXPECT_EQ(out[0].dlc, 15);
  EXPECT_EQ(out[0].flags, TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS);
  EXPECT_EQ(out[0].bus_state, 8);
  EXPECT_EQ(out[0].error_code, 0);
  EXPECT_EQ(out[0].data[0], 0x40);
  EXPECT_EQ(out[0].data[63], 0x7F);
  // The same frame as a classic record: length clamped, 8 data bytes.
  bus_->send(in, nullptr);
  CAN_Frame classic;
  ASSERT_EQ(CAN_Receive(0, &classic, 1, 100), 1);
  EXPECT_EQ(classic.dlc, 8);
  EXPECT_EQ(classic.flags, 0);
  EXPECT_EQ(classic.data[7], 0x47);
}

TEST_F(SimAdapterTest, ReceivedFlagsRemoteAndStatusFields) {
  auto a = open_one(full_packing());
  simcan::CanFrame remote = bus_frame(0x7FF, 8);
  remote.remote = true;
  a->receive_from_bus(remote, 1u << 3, true);                                       // frame flag, marker
  a->receive_from_bus(bus_frame(0x10, 2), (1u << 3) | (3u << 4) | (5u << 16), false);  // error code 3
  a->receive_from_bus(bus_frame(0x11, 2), (1u << 3) | (1u << 11), false);            // error flag
  CANFD_Frame out[3];
  ASSERT_EQ(CANFD_Receive(0, out, 3, 100), 3);
  EXPECT_EQ(out[0].remote, 1);
  EXPECT_EQ(out[0].dlc, 0);
  EXPECT_EQ(out[0].id, 0x7FFu);
  EXPECT_EQ(out[0].flags, TAVRIX_FLAG_FRAME | TAVRIX_FLAG_MARKER);
  EXPECT_EQ(out[1].flags, TAVRIX_FLAG_FRAME | TAVRIX_FLAG_ERROR);
  EXPECT_EQ(out[1].error_code, 3);
  EXPECT_EQ(out[1].tx_error_count, 5);
  EXPECT_EQ(out[2].flags, TAVRIX_FLAG_FRAME | TAVRIX_FLAG_ERROR);
}

TEST_F(SimAdapterTest, ClassicTypeSlotNeverReportsFdFrames) {
  SimAdapterConfig c;
  c.serial = "CLASSIC00000001";
  open_one(c);
  bus_->send(bus_frame(0x55, 15, true), nullptr);
  CANFD_Frame out;
  ASSERT_EQ(CANFD_Receive(0, &out, 1, 100), 1);
  EXPECT_EQ(out.flags & TAVRIX_FLAG_FD, 0);
  EXPECT_EQ(out.dlc, 8);
}

TEST_F(SimAdapterTest, ReceiveCountLimits) {
  open_one();
  for (uint32_t i = 0; i < 3000; ++i) bus_->send(bus_frame(0x10000 + i, 8), nullptr);
  int waiting = 0;
  for (int i = 0; i < 5 && waiting < 3000; ++i) waiting = CAN_GetReceiveNum(0);
  ASSERT_EQ(waiting, 3000);
  std::vector<CAN_Frame> out(3000);
  EXPECT_EQ(CAN_Receive(0, out.data(), 0, 100), 1);
  EXPECT_EQ(out[0].id, 0x10000u);
  EXPECT_EQ(CAN_Receive(0, out.data(), 3000, 100), 2500);
  EXPECT_EQ(out[0].id, 0x10001u);
  EXPECT_EQ(out[2499].id, 0x10000u + 2500);
  EXPECT_EQ(CANFD_GetReceiveNum(0), 499);
}

TEST_F(SimAdapterTest, FullRingDropsNewFramesAndKeepsOrder) {
  open_one();
  // 8-byte frames make batches of 1900 bytes or more, so each poll reads on.
  for (uint32_t i = 0; i < 6000; ++i) bus_->send(bus_frame(0x10000 + i, 8), nullptr);
  int waiting = 0;
  for (int i = 0; i < 8; ++i) waiting = CAN_GetReceiveNum(0);
  EXPECT_EQ(waiting, 4999);
  std::vector<CAN_Frame> out(2500);
  uint32_t expected = 0x10000;
  int got;
  while ((got = CAN_Receive(0, out.data(), 2500, 100)) > 0) {
    for (int i = 0; i < got; ++i) ASSERT_EQ(out[static_cast<size_t>(i)].id, expected++);
    if (expected >= 0x10000 + 4999) break;
  }
  EXPECT_EQ(expected, 0x10000u + 4999);
}

TEST_F(SimAdapterTest, RingSurvivesCloseAndReopen) {
  open_one();
  bus_->send(bus_frame(0x42, 1), nullptr);
  ASSERT_EQ(CAN_GetReceiveNum(0), 1);
  ASSERT_EQ(CAN_CloseDevice(0), 0);
  CAN_Frame out;
  EXPECT_EQ(CAN_Receive(0, &out, 1, 100), -1);
  ASSERT_EQ(CAN_OpenDevice(0), 0);
  ASSERT_EQ(CAN_Receive(0, &out, 1, 100), 1);
  EXPECT_EQ(out.id, 0x42u);
}

TEST_F(SimAdapterTest, StatusReportsAndBatchesSetBusStatus) {
  auto a = open_one();
  a->send_status_report(0x0A0B3075);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  CAN_Status s;
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0x35);
  EXPECT_EQ(s.error_code, 7);
  EXPECT_EQ(s.rx_error_count, 0x0A);
  EXPECT_EQ(s.time_stamp, 0u);  // a status report carries no time stamp
  a->send_status_report(0x000030F0);  // error code bits without error counts
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0x30);
  EXPECT_EQ(s.error_code, 0);
  // A batch: the last record's control word and time stamp.
  a->receive_from_bus(bus_frame(1, 1), 0);
  a->receive_from_bus(bus_frame(2, 1), 0x00010002);
  EXPECT_EQ(CAN_GetReceiveNum(0), 2);
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 2);
  EXPECT_EQ(s.tx_error_count, 1);
  EXPECT_NE(s.time_stamp, 0u);
}

TEST_F(SimAdapterTest, GetStatusOnClosedSlotLeavesRecord) {
  plug();
  ASSERT_EQ(CAN_ScanDevice(), 1);
  CAN_Status s;
  std::memset(&s, 0xA5, sizeof(s));
  EXPECT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0xA5);
  EXPECT_EQ(s.time_stamp, 0xA5A5A5A5u);
  EXPECT_EQ(CAN_GetStatus(1, &s), -1);
  EXPECT_EQ(CAN_GetStatus(0, nullptr), -1);
}

TEST_F(SimAdapterTest, MalformedBatchesAreDroppedSafely) {
  auto a = open_one(full_packing());
  // Wrong checksum.
  auto bad = reply_bytes({header(0xA1, 0, 6), 0x20000000, 1, 1u << 7, 0xAA, 0});
  bad.back() ^= 0xFF;
  a->inject_read(bad);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  // N claims more words than arrived.
  auto truncated = reply_bytes({header(0xA1, 0, 6), 0x20000000, 1, 1u << 7, 0xAA, 0});
  truncated.resize(truncated.size() - 8);
  a->inject_read(truncated);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  // One good classic record, then one claiming 19 words with only 5 present.
  a->inject_read(reply_bytes({header(0xA1, 0, 11), 0x20000000, 1, 1u << 7, 0xAA, 0, 0x40000000, 2,
                              (15u << 7) | (1u << 14), 0xBB, 0}));
  EXPECT_EQ(CAN_GetReceiveNum(0), 1);
  CAN_Frame out;
  ASSERT_EQ(CAN_Receive(0, &out, 1, 100), 1);
  EXPECT_EQ(out.id, 0x100u);
  EXPECT_EQ(out.data[0], 0xAA);
  // Single bytes and empty batches.
  a->inject_read({0xA1});
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  a->inject_read(reply_bytes({header(0xA1, 0, 1)}));
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
}

TEST_F(SimAdapterTest, ReceiveWaitsForTheTimeOutWhenNothingArrives) {
  open_one();
  CAN_Frame out;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CAN_Receive(0, &out, 1, 10), 0);  // 10 ms is raised to 100 ms
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_EQ(CAN_Receive(0, nullptr, 1, 10), -1);
}

TEST_F(SimAdapterTest, PollStopsAfterStatusReportAndShortBatch) {
  auto a = open_one(full_packing());
  // A status report ends the poll: the batch behind it stays on the pipe.
  a->inject_read(reply_bytes({header(0x86, 0, 2), 0x00000001}));
  a->inject_read(reply_bytes({header(0xA1, 0, 6), 0x20000000, 1, 1u << 7, 0xAA, 0}));
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  EXPECT_EQ(a->queued_reads(), 1u);
  // A batch shorter than 1900 bytes ends the poll as well.
  a->inject_read(reply_bytes({header(0xA1, 0, 6), 0x40000000, 2, 1u << 7, 0xBB, 0}));
  EXPECT_EQ(CAN_GetReceiveNum(0), 1);
  EXPECT_EQ(a->queued_reads(), 1u);
  EXPECT_EQ(CAN_GetReceiveNum(0), 2);
  // Another command's reply with a good checksum is dropped and the poll reads on.
  a->inject_read(reply_bytes({header(0x7A, 0, 2), 5}));
  a->inject_read(reply_bytes({header(0xA1, 0, 6), 0x60000000, 3, 1u << 7, 0xCC, 0}));
  EXPECT_EQ(CAN_GetReceiveNum(0), 3);
  EXPECT_EQ(a->queued_reads(), 0u);
}

TEST_F(SimAdapterTest, FlushClearsStatusButKeepsRing) {
  auto a = open_one();
  a->send_status_report(0x0A0B3075);
  a->receive_from_bus(bus_frame(0x21, 1), 0);
  // The status report ends the first poll; the second fetches the frame.
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  EXPECT_EQ(CAN_GetReceiveNum(0), 1);
  ASSERT_EQ(CAN_SetFilter(0, 0, 0, 0, 0, 0), 0);  // flushes
  CAN_Status s;
  std::memset(&s, 0xA5, sizeof(s));
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0);
  EXPECT_EQ(s.error_code, 0);
  EXPECT_EQ(s.tx_error_count, 0);
  EXPECT_EQ(s.rx_error_count, 0);
  EXPECT_EQ(s.time_stamp, 0u);
  CAN_Frame out;
  ASSERT_EQ(CAN_Receive(0, &out, 1, 100), 1);
  EXPECT_EQ(out.id, 0x21u);
}

TEST_F(SimAdapterTest, TransmitNumRetriesOnlyEmptyFailures) {
  auto a = open_one();
  uint8_t ack[100];
  a->inject_ack({3, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  a->fail_reads(simadapter::kAckPipe, 9, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_GetTransmitNum(0, ack), 1);  // the tenth attempt reads it
  EXPECT_EQ(ack[0], 3);
  a->inject_ack({4, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  a->fail_reads(simadapter::kAckPipe, 10, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_GetTransmitNum(0, ack), 0);
  EXPECT_EQ(CAN_GetTransmitNum(100, ack), 0);
  EXPECT_EQ(CAN_GetTransmitNum(-1, ack), 0);
}

TEST_F(SimAdapterTest, RefusedOrEmptyTransmitLeavesRecordsAndStatus) {
  auto a = open_one();
  a->set_ack(-1, 0x11, 0x0A0B3075);
  CAN_Frame f = can_frame(1, 12);
  EXPECT_EQ(CAN_Transmit(1, &f, 1, 100), -1);  // beyond the adapter count
  EXPECT_EQ(f.dlc, 12);                         // untouched
  int status = 55;
  EXPECT_EQ(CAN_TransmitRt(0, &f, 0, &status, 100), 0);
  EXPECT_EQ(status, 55);
  EXPECT_TRUE(a->requests().empty());
  CAN_Status s;
  ASSERT_EQ(CAN_GetStatus(0, &s), 0);
  EXPECT_EQ(s.bus_state, 0);  // as the open's flush left it
}
