// The master's Windows backend (wpcap.dll, the multimedia timer) under wine,
// against simulated slaves that run natively on the other end of a veth
// pair: run_wpcap_link.sh makes the pair in a private network namespace,
// starts the slaves and names the master's end in KIT_ECAT_IFNAME (wine's
// wpcap gives each interface an NPF name and its Linux name as the
// description). Without it the bus tests skip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ethercat/master.h"

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

TEST(WpcapAdapters, ListNamesAndDescriptions) {
  const std::vector<ecat::Adapter> list = ecat::list_adapters();
  if (list.empty()) GTEST_SKIP() << "no wpcap.dll or no interface";
  for (const ecat::Adapter& a : list) {
    EXPECT_FALSE(a.name.empty());
    EXPECT_FALSE(a.description.empty()) << a.name;
  }
  ecat::Master m;
  EXPECT_EQ(m.open("\\Device\\NPF_{no-such-adapter}"), 0);
  EXPECT_EQ(m.open(nullptr), 0);
  EXPECT_FALSE(m.is_open());
}

TEST(WpcapSleep, SleepsAtLeastTheTimeAsked) {
  EXPECT_EQ(ecat::sleep_us(-1), -1);
  for (int us : {300, 1000, 5000, 5500}) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ecat::sleep_us(us), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::microseconds(us));
  }
}

TEST(WpcapBus, CyclesWithTheSimulatedSlaves) {
  const std::string ifname = env("KIT_ECAT_IFNAME");
  if (ifname.empty()) GTEST_SKIP() << "KIT_ECAT_IFNAME not set: run through tests/ethercat/run_wpcap_link.sh";
  const int slaves = std::atoi(env("KIT_ECAT_SLAVES").c_str());
  ASSERT_GT(slaves, 0);

  std::string name;
  bool slave_end_seen = false;
  for (const ecat::Adapter& a : ecat::list_adapters()) {
    if (a.description == ifname) name = a.name;
    if (a.description == env("KIT_ECAT_SLAVE_IFNAME")) slave_end_seen = true;
  }
  ASSERT_FALSE(name.empty()) << ifname << " not in wpcap's list";
  EXPECT_TRUE(slave_end_seen);

  ecat::Master m;
  ASSERT_GT(m.open(name.c_str()), 0);
  ASSERT_EQ(m.config_init(), slaves);
  uint8_t image[4096] = {};
  ASSERT_GT(m.config_map_group(image, sizeof image), 0);
  ASSERT_EQ(m.state_check(0, ecat::kStateSafeOp, 2000000), ecat::kStateSafeOp);
  // The receive time-outs are far above a cycle's: the slaves share a loaded
  // machine, and this checks what comes back, not how fast.
  auto exchange = [&] { return m.send_process_data() > 0 ? m.receive_process_data(200000) : -2; };
  exchange();
  m.slave(0).state = ecat::kStateOp;
  m.write_state(0);
  for (int i = 0; i < 10 && m.slave(0).state != ecat::kStateOp; ++i) {
    exchange();
    m.state_check(0, ecat::kStateOp, 200000);
  }
  ASSERT_EQ(m.slave(0).state, ecat::kStateOp);

  const int expected = 2 * m.group().outputs_wkc + m.group().inputs_wkc;
  int bad = 0;
  for (int c = 0; c < 200; ++c) {
    for (size_t i = 0; i < m.group().output_bytes; ++i) image[i] = static_cast<uint8_t>(c + i);
    if (exchange() != expected) ++bad;
    ecat::sleep_us(5000);
  }
  EXPECT_EQ(bad, 0);
  m.slave(0).state = ecat::kStateInit;
  m.write_state(0);
  m.close();
  EXPECT_FALSE(m.is_open());
}

}  // namespace
