// The libusbK backend of the USB layer (Windows), through the stand-in
// libusbK.dll over the simulated adapter: what the adapter library's own
// tests cannot see.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "sim_fixture.h"

namespace {

using kitusb::UsbError;

class LibusbKBackend : public tavrix_test::SimAdapterTest {
 protected:
  std::unique_ptr<kitusb::UsbDevice> open_first(std::shared_ptr<simadapter::SimAdapter>* adapter) {
    simadapter::SimAdapterConfig c;
    c.serial = "F080000000000007";
    c.interface_number = 1;
    *adapter = plug(c);
    simadapter::SimUsbBackend::instance().set_other_devices(3);
    std::vector<kitusb::UsbDeviceEntry> found;
    uint32_t total = 0;
    EXPECT_TRUE(kitusb::backend().list_devices(0xA8FA, 0x8598, &found, &total));
    EXPECT_EQ(total, 4u);
    if (found.size() != 1) return nullptr;
    EXPECT_EQ(found[0].serial, "F080000000000007");
    EXPECT_EQ(found[0].interface_number, 1);
    return kitusb::backend().open(found[0]);
  }
};

TEST_F(LibusbKBackend, PipesTimeoutsResetsAndErrors) {
  std::shared_ptr<simadapter::SimAdapter> a;
  auto dev = open_first(&a);
  ASSERT_TRUE(dev);
  uint8_t pipes[3] = {};
  for (uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(dev->query_pipe(i, &pipes[i]));
  EXPECT_EQ(pipes[0], simadapter::kReadPipe);
  EXPECT_EQ(pipes[2], simadapter::kAckPipe);
  uint8_t none = 0;
  EXPECT_FALSE(dev->query_pipe(3, &none));

  // A time-out set under the id without the direction bit governs reads of it.
  dev->set_pipe_timeout(0x01, 60);
  uint8_t buf[64];
  uint32_t got = 99;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(dev->read_pipe(0x01, buf, sizeof buf, &got));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(kitusb::last_error(), UsbError::kTimeout);
  EXPECT_EQ(GetLastError(), 121u);

  // A read shorter than a packet loses nothing: the rest comes next.
  a->inject_ack({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  dev->set_pipe_timeout(simadapter::kAckPipe, 500);
  ASSERT_TRUE(dev->read_pipe(simadapter::kAckPipe, buf, 5, &got));
  ASSERT_EQ(got, 5u);
  EXPECT_EQ(buf[4], 5);
  ASSERT_TRUE(dev->read_pipe(simadapter::kAckPipe, buf, sizeof buf, &got));
  ASSERT_EQ(got, 7u);
  EXPECT_EQ(buf[0], 6);
  EXPECT_EQ(buf[6], 12);

  // Resets go to the endpoint the id names, direction bit included.
  EXPECT_TRUE(dev->reset_pipe(simadapter::kReadPipe));
  EXPECT_TRUE(dev->reset_pipe(simadapter::kWritePipe));
  EXPECT_EQ(a->pipe_resets(simadapter::kReadPipe), 1u);
  EXPECT_EQ(a->pipe_resets(simadapter::kWritePipe), 1u);
  EXPECT_EQ(a->pipe_resets(simadapter::kReadPipe & 0x7F), 0u);

  // Windows error codes pass through as they are.
  a->fail_reads(simadapter::kReadPipe, 1, UsbError::kGeneralFailure);
  EXPECT_FALSE(dev->read_pipe(simadapter::kReadPipe, buf, sizeof buf, &got));
  EXPECT_EQ(kitusb::last_error(), UsbError::kGeneralFailure);
  a->unplug();
  EXPECT_FALSE(dev->write_pipe(simadapter::kWritePipe, buf, 8, &got));
  EXPECT_EQ(kitusb::last_error(), UsbError::kNotConnected);
  EXPECT_EQ(GetLastError(), 1167u);
}

TEST_F(LibusbKBackend, HotplugNoticesCarryTheDevice) {
  std::vector<std::pair<std::string, kitusb::HotplugNotice>> seen;
  std::mutex m;
  auto a = plug();
  ASSERT_TRUE(kitusb::backend().add_hotplug_monitor([&](const kitusb::UsbDeviceEntry& e, kitusb::HotplugNotice n) {
    std::lock_guard<std::mutex> lock(m);
    seen.emplace_back(e.serial, n);
  }));
  simadapter::SimUsbBackend::instance().unplug(a);
  simadapter::SimUsbBackend::instance().wait_notices_delivered();
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, a->config().serial);
  EXPECT_EQ(seen[0].second, kitusb::HotplugNotice::kArrival);
  EXPECT_EQ(seen[1].second, kitusb::HotplugNotice::kRemoval);
}

}  // namespace
