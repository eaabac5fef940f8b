// Replies, refusals, pipe resets, raw USB access and hot-plug notices.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "pipe_io.h"
#include "sim_fixture.h"

using namespace tavrix_test;
using simadapter::SimAdapterConfig;

namespace {

SimAdapterConfig no_waiting() {
  SimAdapterConfig c;
  c.empty_read_waits = false;
  return c;
}

std::vector<uint8_t> junk() { return reply_bytes({header(0x6B, 0, 2), 1}, false); }  // no checksum word

}  // namespace

TEST_F(SimAdapterTest, FrameBatchBeforeReplyIsDropped) {
  auto a = open_one();
  // A batch with one compact record waits on the read pipe before the reply.
  a->inject_read(reply_bytes({header(0xA1, 0, 4), 0x20000000, 1, 0}));
  uint32_t stamp = 0;
  ASSERT_EQ(CAN_GetTimeStamp(0, &stamp), 0);
  EXPECT_EQ(a->queued_reads(), 0u);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);  // lost for the receive calls
}

TEST_F(SimAdapterTest, RefusalEndsTheWaitAfterOneRead) {
  auto a = open_one(no_waiting());
  a->inject_read(reply_bytes({header(0x90, 0, 1)}));
  for (int i = 0; i < 5; ++i) a->inject_read(junk());
  uint32_t id = 0;
  EXPECT_EQ(CAN_GetDevID(0, &id), -1);
  EXPECT_EQ(a->queued_reads(), 6u);  // five junk chunks and the real reply remain
}

TEST_F(SimAdapterTest, ReplyLongerThan64WordsIsNeverAccepted) {
  SimAdapterConfig c = no_waiting();
  c.device_id = 0x1234;
  auto a = open_one(c);
  std::vector<uint32_t> words(65, 0);
  words[0] = header(0x6B, 0, 65);
  words[1] = 0x9999;
  a->inject_read(reply_bytes(words));
  uint32_t id = 0;
  ASSERT_EQ(CAN_GetDevID(0, &id), 0);
  EXPECT_EQ(id, 0x1234u);
}

TEST_F(SimAdapterTest, ReplyWaitGivesUpAfterTenReads) {
  SimAdapterConfig c = no_waiting();
  c.device_id = 7;
  auto a = open_one(c);
  for (int i = 0; i < 9; ++i) a->inject_read(junk());
  uint32_t id = 0;
  EXPECT_EQ(CAN_GetDevID(0, &id), 0);  // the tenth read brings the reply
  for (int i = 0; i < 10; ++i) a->inject_read(junk());
  EXPECT_EQ(CAN_GetDevID(0, &id), -1);
  EXPECT_EQ(a->queued_reads(), 1u);
}

TEST_F(SimAdapterTest, WritePipeResetMarkFollowsTheRule) {
  auto a = open_one();
  const uint8_t w = simadapter::kWritePipe;
  // A general failure while the adapter is attached: reset and mark.
  a->fail_writes(1, kitusb::UsbError::kGeneralFailure);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_EQ(a->pipe_resets(w), 1u);
  EXPECT_TRUE(tavrix::library().write_reset_mark);
  // While marked, any failure resets.
  a->fail_writes(1, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_EQ(a->pipe_resets(w), 2u);
  // A good transfer clears the mark; a time-out then resets nothing.
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), 0);
  EXPECT_FALSE(tavrix::library().write_reset_mark);
  a->fail_writes(1, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_EQ(a->pipe_resets(w), 2u);
  // A general failure with the adapter no longer in the device list: no reset.
  simadapter::SimUsbBackend::instance().set_list_fails(true);
  a->fail_writes(1, kitusb::UsbError::kGeneralFailure);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_EQ(a->pipe_resets(w), 2u);
  simadapter::SimUsbBackend::instance().set_list_fails(false);
  // A write cut short is a failure that keeps the mark, whether it ran out
  // of time or ended short without an error.
  a->fail_writes(1, kitusb::UsbError::kGeneralFailure);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  a->cut_writes(1, 8, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  a->cut_writes(1, 8, kitusb::UsbError::kNone);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_TRUE(tavrix::library().write_reset_mark);
  EXPECT_EQ(a->pipe_resets(w), 5u);
  EXPECT_EQ(a->pipe_resets(w | 0x80), 0u);  // exactly the pipe named
}

TEST_F(SimAdapterTest, AckPipeResetAfterGeneralFailure) {
  auto a = open_one();
  a->fail_reads(simadapter::kAckPipe, 1, kitusb::UsbError::kGeneralFailure);
  CAN_Frame f;
  std::memset(&f, 0, sizeof(f));
  EXPECT_EQ(CAN_Transmit(0, &f, 1, 100), 1);  // the second attempt reads the acknowledgement
  EXPECT_EQ(a->pipe_resets(simadapter::kAckPipe), 1u);
  EXPECT_EQ(a->pipe_resets(simadapter::kAckPipe & 0x7F), 0u);  // exactly the pipe named
  EXPECT_FALSE(tavrix::library().ack_reset_mark);  // cleared by the good read
}

TEST_F(SimAdapterTest, FlushDrainsTheAckPipeUnderItsResetRule) {
  auto a = open_one(no_waiting());
  const uint8_t ack = simadapter::kAckPipe;
  // While marked, a drain that finds nothing resets the pipe; one that reads
  // something clears the mark.
  tavrix::library().ack_reset_mark = true;
  ASSERT_EQ(CAN_SetFilter(0, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(a->pipe_resets(ack), 1u);
  EXPECT_TRUE(tavrix::library().ack_reset_mark);
  a->inject_ack(junk());
  ASSERT_EQ(CAN_SetFilter(0, 0, 0, 0, 0, 0), 0);
  EXPECT_FALSE(tavrix::library().ack_reset_mark);
  EXPECT_EQ(a->pipe_resets(ack), 1u);
}

TEST_F(SimAdapterTest, RequestsCutShortFailWithoutReadingReplies) {
  auto a = open_one(no_waiting());
  // Replies wait on their pipes; a command whose request did not go out
  // whole must not take them.
  a->inject_read(reply_bytes({header(0x7A, 0, 2), 5}));
  a->inject_read(reply_bytes({header(0x6B, 0, 2), 9}));
  a->inject_ack(std::vector<uint8_t>(24, 0));
  uint32_t value = 0xA5A5A5A5;
  a->cut_writes(4, 4, kitusb::UsbError::kNone);
  EXPECT_EQ(CAN_GetTimeStamp(0, &value), -1);
  EXPECT_EQ(CAN_GetDevID(0, &value), -1);
  EXPECT_EQ(value, 0xA5A5A5A5u);
  EXPECT_EQ(CAN_SetDevID(0, 3), -1);
  CAN_DevInfo info;
  EXPECT_EQ(CAN_ReadDevInfo(0, &info), -1);
  EXPECT_EQ(a->queued_reads(), 2u);
  EXPECT_TRUE(a->requests().empty());
}

TEST_F(SimAdapterTest, TwoPipeAdapterAcknowledgesOnReadPipe) {
  SimAdapterConfig c;
  c.pipe_count = 2;
  auto a = open_one(c);
  CAN_Frame f;
  std::memset(&f, 0, sizeof(f));
  EXPECT_EQ(CAN_Transmit(0, &f, 1, 100), 1);
  CAN_DevInfo info;
  EXPECT_EQ(CAN_ReadDevInfo(0, &info), 0);
}

TEST_F(SimAdapterTest, PresenceCheckMatchesSerialText) {
  auto a = open_one();
  EXPECT_EQ(tavrix::adapter_present(0), 0);
  tavrix::library().slots[0].serial = "F080000000000009";
  EXPECT_EQ(tavrix::adapter_present(0), 1);
  EXPECT_EQ(tavrix::adapter_present(-1), 1);
}

TEST_F(SimAdapterTest, RawExports) {
  auto a = plug();
  ASSERT_EQ(CAN_ScanDevice(), 1);
  uint8_t raw[16];
  EXPECT_EQ(Readusb_devNum(0, raw, 16), 0);  // no USB device yet
  ASSERT_EQ(USB_OpenDev(0, 0x8102), 0);
  const uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t moved = 0;
  EXPECT_NE(USB_control_write_date(0, out, 0, &moved), 0);
  EXPECT_EQ(moved, 8u);
  uint8_t in[8] = {};
  EXPECT_NE(USB_control_read_date(0, in, 0, &moved), 0);
  EXPECT_EQ(0, std::memcmp(in, out, 8));
  // A hand-written time-stamp request, written as it stands.
  const uint8_t request[] = {0x78, 0x00, 0x01, 0x00, 0x2E, 0xDB, 0x87, 0x69};
  EXPECT_EQ(Writeusb_devNum(0, request, 8), 8);
  // A read takes at most the bytes asked for (what the transfer brought
  // beyond them is the USB layer's to keep).
  ASSERT_EQ(Readusb_devNum(0, raw, 5), 5);
  EXPECT_EQ(raw[0], 0x7A);
  EXPECT_EQ(Writeusb_devNum(0, request, 0), 0);
  EXPECT_EQ(Writeusb_devNum(100, request, 8), 0);
  EXPECT_EQ(USB_control_read_date(-1, in, 0, &moved), 0);
  EXPECT_EQ(a->bad_requests(), 0u);
  CAN_InitConfig c{};
  EXPECT_EQ(CAN_Init(0, &c), -1);  // USB open only: not an open adapter
}

namespace {
std::atomic<int> g_first_calls{0};
std::atomic<int> g_second_calls{0};
void first_callback() { g_first_calls++; }
void second_callback() { g_second_calls++; }
}  // namespace

TEST_F(SimAdapterTest, HotplugNoticesReachTheLastCallback) {
  auto& usb = simadapter::SimUsbBackend::instance();
  auto a = plug();
  size_t monitors_before = usb.monitor_count();
  int first_before = g_first_calls.load();
  ASSERT_EQ(Reg_HotPlug_Func(first_callback), 0);
  // Notices that come during a registration (here the present adapter's, to
  // the new monitor) go to the callback stored before it.
  EXPECT_EQ(g_first_calls.load(), first_before);
  ASSERT_EQ(Reg_HotPlug_Func(second_callback), 0);
  EXPECT_EQ(g_first_calls.load(), first_before + 1);
  EXPECT_EQ(g_second_calls.load(), 0);
  first_before = g_first_calls.load();
  EXPECT_EQ(usb.monitor_count(), monitors_before + 2);
  int second_before = g_second_calls.load();
  SimAdapterConfig other;
  other.serial = "F080000000000002";
  auto b = plug(other);
  usb.unplug(b);
  usb.wait_notices_delivered();
  // Two notices, each to every monitor of the kit (at least our two).
  EXPECT_GE(g_second_calls.load() - second_before, 4);
  EXPECT_EQ(g_first_calls.load(), first_before);
  usb.set_refuse_monitors(true);
  EXPECT_EQ(Reg_HotPlug_Func(first_callback), -1);
  EXPECT_EQ(tavrix::library().hotplug_callback.load(), &second_callback);
  tavrix::library().hotplug_callback = nullptr;
}
