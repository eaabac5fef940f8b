// The libusbK backend of the USB layer (Windows), through the stand-in
// libusbK.dll over the simulated adapter: the layer's contract, and what
// neither it nor the adapter library's own tests can see.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "sim_bus_rig.h"
#include "sim_fixture.h"
#include "standin_host.h"
#include "usb_layer_contract.h"

namespace tavrix_test {
INSTANTIATE_TYPED_TEST_SUITE_P(LibusbK, UsbLayerContract, SimBusRig<LinkedBackend>);
}  // namespace tavrix_test

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

// Time-outs are kept under the id the caller uses and applied to the
// endpoint a transfer uses; failures keep their Windows codes.
TEST_F(LibusbKBackend, PipeIdsTimeOutsAndWindowsCodes) {
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
}

// libusbK's UsbK_* calls drive devices bound to libusbK or libusb0, never
// WinUSB: every device call goes through the function set of the driver the
// device is bound to, and the stand-in's sets refuse any other driver's
// devices as the real ones do.
TEST_F(LibusbKBackend, EachDriverKindIsDrivenThroughItsOwnFunctionSet) {
  std::vector<kitusb::UsbDeviceEntry> none;
  uint32_t total = 0;
  ASSERT_TRUE(kitusb::backend().list_devices(0xA8FA, 0x8598, &none, &total));  // loads libusbK.dll
  auto served = reinterpret_cast<kitusb_standin::ServedFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("libusbK.dll"), kitusb_standin::kServedSymbol)));
  ASSERT_NE(served, nullptr);
  for (uint8_t kind : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "driver kind " << int(kind));
    simadapter::SimAdapterConfig c;
    c.driver_kind = kind;
    auto a = plug(c);
    std::vector<kitusb::UsbDeviceEntry> found;
    ASSERT_TRUE(kitusb::backend().list_devices(0xA8FA, 0x8598, &found, &total));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].driver_kind, kind);
    served(nullptr, 0);

    auto dev = kitusb::backend().open(found[0]);
    ASSERT_TRUE(dev) << "error " << static_cast<int>(kitusb::last_error());
    uint8_t pipe = 0;
    ASSERT_TRUE(dev->query_pipe(0, &pipe));
    a->inject_read({1, 2, 3, 4, 5, 6, 7, 8});
    dev->set_pipe_timeout(pipe, 500);
    uint8_t buf[64] = {};
    uint32_t got = 0;
    ASSERT_TRUE(dev->read_pipe(pipe, buf, sizeof buf, &got));
    EXPECT_EQ(got, 8u);
    uint8_t control[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    kitusb::UsbControlSetup setup{0x40, 0x10, 0, 0, 8};
    EXPECT_TRUE(dev->control_transfer(setup, control, &got));
    EXPECT_EQ(a->control_bytes()[0], 9);
    EXPECT_TRUE(dev->reset_pipe(simadapter::kWritePipe));
    EXPECT_EQ(a->pipe_resets(simadapter::kWritePipe), 1u);
    dev.reset();

    kitusb_standin::ServedCall calls[64];
    const unsigned n = served(calls, 64);
    std::set<std::string> functions;
    for (unsigned i = 0; i < n; ++i) {
      EXPECT_EQ(calls[i].driver_id, kind) << calls[i].function;
      functions.insert(calls[i].function);
    }
    for (const char* f : {"Init", "QueryPipe", "SetPipePolicy", "ReadPipe", "ControlTransfer", "ResetPipe", "Free"})
      EXPECT_EQ(functions.count(f), 1u) << f;
    simadapter::SimUsbBackend::instance().unplug(a);
  }
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
