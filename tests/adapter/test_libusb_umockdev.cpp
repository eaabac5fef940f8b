// libTavrix.so over the real libusb and the kit's libusb backend, against a
// scripted usbfs device that answers as the adapter firmware does, and the
// USB layer's contract for that backend (a copy linked into this program).
// Runs under umockdev-wrapper; elsewhere it skips (77) unless
// KIT_REQUIRE_UMOCKDEV is set, as in CI, where it fails instead.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "tavrix/tavrix.h"
#include "usb_layer_contract.h"
#include "usbfs_adapter.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrix_test::UsbfsAdapter;

UsbfsAdapter* g_device = nullptr;
std::atomic<int> g_hotplug_notices{0};

void count_notice() { ++g_hotplug_notices; }

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

template <typename Pred>
bool wait_for(Pred pred, int seconds = 5) {
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The contract's rig: this program's libusb backend opens the scripted device;
// an unplugged device is plugged back in and found again by the library too.
class UsbfsRig {
 public:
  bool open() {
    g_device->sim().clear_pipes();
    device_ = tavrix_test::usb_contract::open_the_adapter(kitusb::backend());
    return device_ != nullptr;
  }
  kitusb::UsbDevice& device() { return *device_; }
  simadapter::SimAdapter& adapter() { return g_device->sim(); }
  void unplug() {
    g_device->unplug();
    unplugged_ = true;
  }
  // The library's scan, which the other tests here rely on, keeps its
  // device table while the device count stays the same: it must see the
  // device gone before it comes back.
  void close() {
    device_.reset();
    if (!unplugged_) return;
    EXPECT_TRUE(wait_for([] { return CAN_ScanDevice() == 0; }));
    g_device->plug();
    EXPECT_TRUE(wait_for([] { return CAN_ScanDevice() == 1; })) << "the device did not come back";
  }

 private:
  std::unique_ptr<kitusb::UsbDevice> device_;
  bool unplugged_ = false;
};

}  // namespace

namespace tavrix_test {
INSTANTIATE_TYPED_TEST_SUITE_P(Libusb, UsbLayerContract, UsbfsRig);
}  // namespace tavrix_test

namespace {

// The kit's CAN-FD set-up: 1 Mbit/s nominal, 5 Mbit/s data, 76-byte records.
CANFD_InitConfig kit_fd_config() {
  CANFD_InitConfig c = {1000000, 5000000, 2, 31, 8, 5, 1, 11, 4, 2, 7, 0, 1};
  return c;
}

// Scanned, opened and brought up as the kit's callers do; each test starts here.
class LibusbDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CAN_ScanDevice(), 1);
    ASSERT_EQ(CAN_OpenDevice(0), 0);
    CANFD_InitConfig c = kit_fd_config();
    ASSERT_EQ(CANFD_Init(0, &c), 0);
    sim().clear_requests();
  }
  void TearDown() override { CAN_CloseDevice(0); }
  static simadapter::SimAdapter& sim() { return g_device->sim(); }
};

TEST_F(LibusbDevice, ScanReadsSerialTextOpensAndInitialises) {
  // Type and clock come from the serial string descriptor: 'F', 080 MHz.
  EXPECT_EQ(CAN_GetDevType(0), 1);
  EXPECT_EQ(CAN_GetDevPlck(0), 80000000);
  CAN_DevInfo info;
  ASSERT_EQ(CAN_ReadDevInfo(0, &info), 0);  // 24-byte answer on the acknowledgement pipe
  EXPECT_STREQ(info.serial, "0000000042");
  EXPECT_STREQ(info.fw_version, "V1.2.3");

  CAN_InitConfig classic = {};
  classic.baud = 500000;
  ASSERT_EQ(CAN_Init(0, &classic), 0);
  EXPECT_EQ(classic.baud, 500000u);
  CANFD_InitConfig fd = kit_fd_config();
  fd.data_baud = 2000000;
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  int inits = 0;
  for (const auto& r : sim().requests()) {
    if (r.command != 0x61) continue;
    EXPECT_EQ(r.words.size(), inits == 0 ? 5u : 7u);
    ++inits;
  }
  EXPECT_EQ(inits, 2);
  EXPECT_TRUE(sim().fd_record_mode());

  // Vendor control transfers reach the adapter and come back.
  uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8}, in[8] = {};
  uint32_t moved = 0;
  EXPECT_NE(USB_control_write_date(0, out, 0, &moved), 0);
  EXPECT_NE(USB_control_read_date(0, in, 0, &moved), 0);
  EXPECT_EQ(std::memcmp(in, out, 8), 0);
}

TEST_F(LibusbDevice, TransmitBatchesAndReceivesFramesWithTimeStamps) {
  CANFD_Frame frames[30] = {};
  for (int i = 0; i < 30; ++i) {
    frames[i].id = 0x500u + static_cast<uint32_t>(i);
    frames[i].dlc = 15;
    frames[i].flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
    frames[i].data[0] = static_cast<uint8_t>(i);
    frames[i].data[63] = 0xA5;
  }
  EXPECT_EQ(CANFD_Transmit(0, frames, 30, 100), 30);  // batches of 25 and 5, both acknowledged
  int batches = 0;
  for (const auto& r : sim().requests()) batches += r.command == 0xA2;
  EXPECT_EQ(batches, 2);

  // The adapter echoes what it sent onto the read pipe.
  CANFD_Frame got[64] = {};
  int n = 0;
  for (int reads = 0; n < 30 && reads < 20; ++reads) n += CANFD_Receive(0, got + n, static_cast<uint32_t>(64 - n), 100);
  ASSERT_EQ(n, 30);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(got[i].id, 0x500u + static_cast<uint32_t>(i));
    EXPECT_EQ(got[i].dlc, 15);
    EXPECT_EQ(got[i].data[0], i);
    EXPECT_EQ(got[i].data[63], 0xA5);
    if (i > 0) {
      EXPECT_GE(got[i].time_stamp, got[i - 1].time_stamp);
    }
  }
  EXPECT_GT(got[29].time_stamp, 0u);
  uint32_t now = 0;
  ASSERT_EQ(CAN_GetTimeStamp(0, &now), 0);
  EXPECT_GE(now, got[29].time_stamp);
}

TEST_F(LibusbDevice, EmptyReadEndsAtThePipeTimeOut) {
  CANFD_Frame f;
  auto start = Clock::now();
  EXPECT_EQ(CANFD_Receive(0, &f, 1, 0), 0);  // 0 ms becomes 100 ms
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 90);
  EXPECT_LT(ms, 5000);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);  // 20 ms poll
}

TEST_F(LibusbDevice, GeneralFailuresResetThePipeWhileTheAdapterIsThere) {
  const size_t write_resets = sim().pipe_resets(simadapter::kWritePipe);
  sim().fail_writes(2);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);  // failure, adapter still listed: reset, mark set
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);  // mark set: reset at once
  EXPECT_EQ(sim().pipe_resets(simadapter::kWritePipe), write_resets + 2);
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), 0);  // success clears the mark

  const size_t ack_resets = sim().pipe_resets(simadapter::kAckPipe);
  sim().fail_reads(simadapter::kAckPipe, 1);
  CANFD_Frame f = {};
  f.id = 0x123;
  EXPECT_EQ(CANFD_Transmit(0, &f, 1, 100), 1);  // the acknowledgement read is tried again
  EXPECT_EQ(sim().pipe_resets(simadapter::kAckPipe), ack_resets + 1);
}

TEST_F(LibusbDevice, HotplugNoticesFollowTheDeviceAndAGoneDeviceIsNoPipeFailure) {
  ASSERT_EQ(Reg_HotPlug_Func(count_notice), 0);
  const size_t write_resets = sim().pipe_resets(simadapter::kWritePipe);
  const int before = g_hotplug_notices.load();
  g_device->unplug();
  EXPECT_TRUE(wait_for([&] { return g_hotplug_notices.load() > before; })) << "no removal notice";

  // Device gone is not a general failure: no pipe reset.
  EXPECT_EQ(CAN_SetTimeStamp(0, 1, 0), -1);
  EXPECT_EQ(sim().pipe_resets(simadapter::kWritePipe), write_resets);
  EXPECT_EQ(CAN_CloseDevice(0), -1);
  EXPECT_EQ(CAN_ScanDevice(), 0);

  const int removed = g_hotplug_notices.load();
  g_device->plug();
  EXPECT_TRUE(wait_for([&] { return g_hotplug_notices.load() > removed; })) << "no arrival notice";
  EXPECT_TRUE(wait_for([] { return CAN_ScanDevice() == 1; }));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The testbed exists before libusb and any thread start.
  UsbfsAdapter device;
  if (!umockdev_in_mock_environment()) {
    const bool required = std::getenv("KIT_REQUIRE_UMOCKDEV") != nullptr;
    std::printf("%s: umockdev's preload library is not loaded; run this test under umockdev-wrapper\n",
                required ? "FAILED (KIT_REQUIRE_UMOCKDEV is set)" : "SKIPPED");
    return required ? 1 : 77;
  }
  device.plug();
  g_device = &device;
  int rc = RUN_ALL_TESTS();
  g_device = nullptr;
  return rc;
}
