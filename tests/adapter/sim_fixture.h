// Test fixture: a fresh simulated USB bus and a fresh adapter library for
// every test, plus helpers to write raw adapter replies by hand.
#ifndef TESTS_ADAPTER_SIM_FIXTURE_H
#define TESTS_ADAPTER_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "simadapter/sim_adapter.h"
#include "simcan/sim_can_bus.h"
#include "slot_table.h"
#include "tavrix/tavrix.h"

namespace tavrix_test {

// Independent of the library: little-endian words plus the add/XOR checksum.
inline std::vector<uint8_t> reply_bytes(const std::vector<uint32_t>& words, bool with_checksum = true) {
  std::vector<uint8_t> out;
  uint32_t sum = 0x6986DAB6u;
  for (size_t i = 0; i < words.size(); ++i) {
    sum = (i % 2 == 0) ? sum + words[i] : sum ^ words[i];
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(words[i] >> (8 * b)));
  }
  if (with_checksum) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(sum >> (8 * b)));
  }
  return out;
}

inline uint32_t header(uint8_t command, uint8_t param, uint16_t n) {
  return command | static_cast<uint32_t>(param) << 8 | static_cast<uint32_t>(n) << 16;
}

class SimAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
  }

  std::shared_ptr<simadapter::SimAdapter> plug(const simadapter::SimAdapterConfig& config = {}) {
    auto a = simadapter::SimAdapter::create(config, bus_);
    simadapter::SimUsbBackend::instance().plug(a);
    return a;
  }

  // Plugs one adapter, scans and opens slot 0; requests are cleared after.
  std::shared_ptr<simadapter::SimAdapter> open_one(const simadapter::SimAdapterConfig& config = {}) {
    auto a = plug(config);
    EXPECT_EQ(CAN_ScanDevice(), 1);
    EXPECT_EQ(CAN_OpenDevice(0), 0);
    a->clear_requests();
    return a;
  }

  static CANFD_InitConfig kit_fd_config(uint8_t fd_records = 1) {
    CANFD_InitConfig c{};
    c.baud = 1000000;
    c.data_baud = 5000000;
    c.prescaler = 2;
    c.tseg1 = 31;
    c.tseg2 = 8;
    c.sjw = 5;
    c.data_prescaler = 1;
    c.data_tseg1 = 11;
    c.data_tseg2 = 4;
    c.data_sjw = 2;
    c.mode = 7;
    c.option = 0;
    c.fd_records = fd_records;
    return c;
  }

  // Commands of the recorded requests, in order.
  static std::vector<uint8_t> commands(const simadapter::SimAdapter& a) {
    std::vector<uint8_t> out;
    for (const auto& r : a.requests()) out.push_back(r.command);
    return out;
  }

  std::shared_ptr<simcan::CanBus> bus_ = std::make_shared<simcan::CanBus>();
};

}  // namespace tavrix_test

#endif  // TESTS_ADAPTER_SIM_FIXTURE_H
