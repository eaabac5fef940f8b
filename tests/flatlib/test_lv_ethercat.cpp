// The EtherCAT path against simulated slaves on a veth pair in a private
// network namespace: the adapter filter, discovery, lv_init to OP, RxPDO
// writes into the hand's outputs, TxPDO images reaching the hand library,
// lost cycles and recovery, and the link's bounds on slave lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <algorithm>
#include <vector>

#include "ethercat_link.h"
#include "ethercat_sim/sim_bus.h"
#include "ethercat_sim/veth_namespace.h"
#include "lv_instance.h"
#include "morvane_lv/morvane_lv.h"
#include "pty_hand.h"

namespace {

using flatlib_test::wait_for;
using std::chrono::milliseconds;

TEST(AdapterFilter, HidesWirelessVirtualAndTunnelAdapters) {
  EXPECT_TRUE(lv::adapter_filtered_out("wlan0", "Intel(R) Wi-Fi 6 AX201"));
  EXPECT_TRUE(lv::adapter_filtered_out("lo", "lo (LOOPBACK)"));
  EXPECT_TRUE(lv::adapter_filtered_out("vmnet1", "VMware Network Adapter"));
  EXPECT_TRUE(lv::adapter_filtered_out("x", "Bluetooth Device (Personal Area Network)"));
  EXPECT_TRUE(lv::adapter_filtered_out("x", "TAP-Windows Adapter V9"));
  EXPECT_TRUE(lv::adapter_filtered_out("WAN Miniport (IP)", ""));
  EXPECT_TRUE(lv::adapter_filtered_out("x", "Some VPN client"));
  EXPECT_TRUE(lv::adapter_filtered_out("virbr0", "Linux virtual bridge"));
  // "tap" counts only with its hyphen.
  EXPECT_FALSE(lv::adapter_filtered_out("tap0", "Tapestry Ethernet"));
  EXPECT_FALSE(lv::adapter_filtered_out("eth0", "Intel I210 Gigabit Network Connection"));
  EXPECT_FALSE(lv::adapter_filtered_out("ecm0", "ecm0"));
}

// Every filter word hides an adapter in any letter case, whether it stands in
// the name or in the description; words that only resemble them do not.
TEST(AdapterFilter, EachOfTheThirteenWordsHidesInNameOrDescription) {
  const char* const words[] = {"WAN Miniport", "Wi-Fi",   "WiFi",   "Wireless", "BlueTooth",
                               "VMware",       "Virtual", "LoopBack", "TAP-",   "VPN",
                               "Wintun",       "Teredo",  "ISATAP"};
  for (const char* w : words) {
    const std::string word(w);
    EXPECT_TRUE(lv::adapter_filtered_out("eth" + word + "1", "Gigabit Ethernet")) << word;
    EXPECT_TRUE(lv::adapter_filtered_out("eth1", "Adapter " + word + " 2")) << word;
  }
  EXPECT_FALSE(lv::adapter_filtered_out("wan0", "Miniport"));
  EXPECT_FALSE(lv::adapter_filtered_out("wi_fi0", "Wi Fi"));
  EXPECT_FALSE(lv::adapter_filtered_out("enp3s0", "Realtek PCIe GbE Family Controller"));
}

// A TxPDO image with layout code 0x00: 27 joints of position, velocity and
// current from byte 2, status bytes from byte 164.
std::vector<uint8_t> tpdo_image(uint16_t first_position) {
  std::vector<uint8_t> img(192, 0);
  img[0] = 0x00;
  for (int j = 0; j < 27; ++j) {
    const uint16_t p = static_cast<uint16_t>(first_position + 10 * j);
    img[2 + 6 * j] = static_cast<uint8_t>(p);
    img[3 + 6 * j] = static_cast<uint8_t>(p >> 8);
    img[6 + 6 * j] = 7;
    img[164 + j] = 0x31;
  }
  return img;
}

class LvEthercat : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!ns_.create(&why)) GTEST_SKIP() << "EtherCAT tests need a private network namespace: " << why;
  }
  void TearDown() override {
    lv_close();
    if (sim_) sim_->stop();
  }
  bool start_slaves(int count = 1) { return start_slaves(std::vector<ecat_sim::SlaveConfig>(static_cast<size_t>(count))); }
  bool start_slaves(const std::vector<ecat_sim::SlaveConfig>& slaves) {
    sim_.reset(new ecat_sim::SimBus(slaves));
    bool ok = false;
    ns_.run_inside([&] { ok = sim_->start(ecat_sim::VethNamespace::slave_if()); });
    return ok;
  }
  // Discovery and lv_init inside the namespace; the link's threads start
  // there and stay in it.
  int index_of_master_port() {
    int index = -1;
    ns_.run_inside([&] {
      const int n = lv_ethercat_scan_device_count();
      for (int i = 0; i < n; ++i) {
        char buf[128];
        if (lv_ethercat_get_device_string(i, buf, sizeof buf) == 0 &&
            std::string(buf) == ecat_sim::VethNamespace::master_if()) {
          index = i;
        }
      }
    });
    return index;
  }
  int init_inside(int index, int slave) {
    int r = 999;
    ns_.run_inside([&] { r = lv_init(0, index, slave); });
    return r;
  }

  // lv_init on hand `slave` of the running bus: its inputs (first joint at
  // `position`) reach the hand library and a command reaches its outputs.
  void expect_hand_runs(int slave, uint16_t position) {
    const int index = index_of_master_port();
    ASSERT_GE(index, 0);
    sim_->set_inputs(slave, tpdo_image(position));
    ASSERT_EQ(init_inside(index, slave), 0);
    int pos = 0;
    EXPECT_TRUE(wait_for([&] { return lv_get_now_position(1, &pos) == 0 && pos != 0; }, milliseconds(5000)));
    EXPECT_EQ(pos, position);
    const uint64_t updates = sim_->output_updates(slave);
    EXPECT_EQ(lv_set_enable(0, 1), 0);
    EXPECT_TRUE(wait_for([&] { return sim_->output_updates(slave) > updates; }, milliseconds(3000)));
  }

  // Opens a link of our own on the master end of the veth pair and brings it
  // to OP; its cycle thread (and so any recovery) runs inside the namespace.
  bool start_link(lv::EtherCATLink& link) {
    bool op = false;
    ns_.run_inside([&] {
      const auto descriptions = link.list_adapters();
      for (size_t i = 0; i < descriptions.size(); ++i) {
        if (descriptions[i] == "ecm0" && link.open(static_cast<int>(i))) op = link.go_operational();
      }
      link.start_cycle();
    });
    return op;
  }

  ecat_sim::VethNamespace ns_;
  std::unique_ptr<ecat_sim::SimBus> sim_;
};

TEST_F(LvEthercat, DiscoveryListsTheVethPortButNotLoopback) {
  int n = 0;
  std::vector<std::string> names;
  ns_.run_inside([&] {
    n = lv_ethercat_scan_device_count();
    for (int i = 0; i < n; ++i) {
      char buf[128];
      if (lv_ethercat_get_device_string(i, buf, sizeof buf) == 0) names.push_back(buf);
    }
  });
  EXPECT_EQ(static_cast<int>(names.size()), n);
  EXPECT_NE(std::find(names.begin(), names.end(), "ecm0"), names.end());
  for (const auto& s : names) EXPECT_EQ(s.find("loopback"), std::string::npos) << s;
}

TEST_F(LvEthercat, NoSlaveGivesMinusOne) {
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  EXPECT_EQ(init_inside(index, 1), -1);
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST_F(LvEthercat, RunsTheHandThroughProcessData) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  sim_->set_inputs(1, tpdo_image(1500));
  ASSERT_EQ(init_inside(index, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  EXPECT_EQ(sim_->al_status(1) & 0x0F, 0x08);

  // Inputs reach the hand library after the first poll delay (1 s).
  int pos = 0;
  EXPECT_TRUE(wait_for([&] { return lv_get_now_position(1, &pos) == 0 && pos != 0; }, milliseconds(5000)));
  int cur = 0;
  EXPECT_EQ(lv_get_now_current(2, &cur), 0);
  EXPECT_EQ(cur, 7);

  // A command's RxPDO image reaches the slave's outputs.
  const uint64_t updates = sim_->output_updates(1);
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  EXPECT_TRUE(wait_for([&] { return sim_->output_updates(1) > updates; }, milliseconds(3000)));
  const std::vector<uint8_t> out = sim_->outputs(1);
  ASSERT_EQ(out.size(), 64u);
  uint8_t pre[64] = {};
  int len = 64;
  ASSERT_EQ(morvane_get_pre_send_rpdo_data(lv::current_instance()->hand, pre, &len), 0);
  EXPECT_TRUE(wait_for([&] { return sim_->outputs(1) == std::vector<uint8_t>(pre, pre + len); }, milliseconds(3000)));

  // A quiet bus: at most a few bad cycles on a loaded machine.
  EXPECT_LT(lv_get_lost_frames(), 50);
  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_EQ(lv_get_lost_frames(), 0);
}

// A hand whose SII lists no process data at all: lv_init sizes it from the
// CoE PDO assignment and runs it.
TEST_F(LvEthercat, CoeOnlyHandRunsThroughLvInit) {
  ecat_sim::SlaveConfig hand;
  hand.coe = true;
  hand.pdo_categories = false;
  hand.sii_sm_lengths = false;
  ASSERT_TRUE(start_slaves({hand}));
  expect_hand_runs(1, 1200);
}

// Six hands make an image of 1536 bytes, more than one frame carries: the
// sixth hand's inputs cross into the second LRW frame of the cycle.
TEST_F(LvEthercat, SixHandsOnOneBusRunTheLastHand) {
  ASSERT_TRUE(start_slaves(6));
  expect_hand_runs(6, 1700);
  const std::vector<uint8_t> zeros(64, 0);
  EXPECT_TRUE(wait_for([&] { return sim_->outputs(6) != zeros; }, milliseconds(3000)));
  EXPECT_EQ(sim_->outputs(5), zeros);  // the image of hand 6 only
  EXPECT_LT(lv_get_lost_frames(), 50);
}

// The input thread waits a second before its first poll, then passes the
// inputs on every 10 ms.
TEST_F(LvEthercat, FirstInputsReachTheHandOnlyAfterTheFirstPollDelay) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  sim_->set_inputs(1, tpdo_image(1500));
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(init_inside(index, 1), 0);
  // Checked only while less than 600 ms have passed since lv_init began, so a
  // slow machine can only shorten the check, never fail it.
  while (std::chrono::steady_clock::now() - t0 < milliseconds(600)) {
    int pos = -1;
    ASSERT_EQ(lv_get_now_position(1, &pos), 0);
    EXPECT_EQ(pos, 0);
    std::this_thread::sleep_for(milliseconds(20));
  }
  int pos = 0;
  EXPECT_TRUE(wait_for([&] { return lv_get_now_position(1, &pos) == 0 && pos != 0; }, milliseconds(5000)));
}

TEST_F(LvEthercat, SilentBusCountsLostCyclesAndRecovers) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  ASSERT_EQ(init_inside(index, 1), 0);
  sim_->set_silent(true);
  EXPECT_TRUE(wait_for([] { return lv_get_lost_frames() > 20; }, milliseconds(5000)));
  EXPECT_EQ(lv_is_connected(), 1);  // stays set while the link recovers
  sim_->set_silent(false);
  // A successful recovery resets the count; the bus is back in OP.
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() < 10 && (sim_->al_status(1) & 0x0F) == 0x08; },
                       milliseconds(20000)));
  const uint64_t updates = sim_->output_updates(1);
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  EXPECT_TRUE(wait_for([&] { return sim_->output_updates(1) > updates; }, milliseconds(3000)));
}

TEST_F(LvEthercat, NineBadCyclesStayInNormalModeTenStartLostMode) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  ASSERT_EQ(init_inside(index, 1), 0);
  // Lost mode would add one per cycle and then reset the count on recovery;
  // normal mode adds nothing on good cycles. A reply that a loaded machine
  // delays next to the nine makes ten in a row, so a run may be repeated:
  // a link that starts lost mode at nine fails every run.
  int c1 = 0, c2 = 0;
  for (int run = 0; run < 3; ++run) {
    const int base = lv_get_lost_frames();
    sim_->corrupt_wkc(9, -3);
    ASSERT_TRUE(wait_for([&] { return lv_get_lost_frames() >= base + 9; }, milliseconds(3000)));
    c1 = lv_get_lost_frames();
    std::this_thread::sleep_for(milliseconds(400));
    c2 = lv_get_lost_frames();
    if (c2 >= c1 && c2 - c1 < 9) break;
    // Let a recovery finish before the next run.
    ASSERT_TRUE(wait_for([&] { return (sim_->al_status(1) & 0x0F) == 0x08 && lv_get_lost_frames() < 10; },
                         milliseconds(20000)));
    std::this_thread::sleep_for(milliseconds(200));
  }
  EXPECT_GE(c2, c1);
  EXPECT_LT(c2 - c1, 9);
  // Ten in a row: lost mode, then a recovery 40 cycles later resets the count.
  sim_->corrupt_wkc(10, -3);
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() >= c2 + 20; }, milliseconds(5000)));
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() < 10; }, milliseconds(20000)));
}

TEST_F(LvEthercat, BusWithoutProcessDataCannotCarryTheHand) {
  ecat_sim::SlaveConfig bare;
  bare.output_bytes = 0;
  bare.input_bytes = 0;
  bare.pdo_categories = false;
  ASSERT_TRUE(start_slaves({bare}));
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  EXPECT_EQ(init_inside(index, 1), -1);
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST_F(LvEthercat, SlavesVanishingMidRunLeaveCloseQuick) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  ASSERT_EQ(init_inside(index, 1), 0);
  sim_->stop();
  // Lost mode and failed recoveries (nobody answers) count on.
  EXPECT_TRUE(wait_for([] { return lv_get_lost_frames() > 60; }, milliseconds(10000)));
  EXPECT_EQ(lv_is_connected(), 1);
  const uint8_t img[64] = {};
  lv::lv_send_rpdo(img, sizeof img);  // refused or staged; never blocks
  const auto t0 = std::chrono::steady_clock::now();
  lv_close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST_F(LvEthercat, WrongSlavePositionSendsNothing) {
  ASSERT_TRUE(start_slaves());
  const int index = index_of_master_port();
  ASSERT_GE(index, 0);
  ASSERT_EQ(init_inside(index, 5), 0);  // the bus has only slave 1
  const uint8_t img[64] = {1};
  EXPECT_FALSE(lv::lv_send_rpdo(img, sizeof img));
}

TEST_F(LvEthercat, LinkWritesOnlyTheBytesGivenAndRefusesTooMany) {
  ASSERT_TRUE(start_slaves());
  lv::EtherCATLink link;
  ASSERT_TRUE(start_link(link));
  EXPECT_EQ(link.input_size(1), 192);
  EXPECT_EQ(link.input_size(2), 0);
  uint8_t ten[10];
  for (int i = 0; i < 10; ++i) ten[i] = static_cast<uint8_t>(0xC0 + i);
  ASSERT_TRUE(link.write_outputs(1, ten, 10));
  std::vector<uint8_t> expected(64, 0);
  std::copy(ten, ten + 10, expected.begin());
  EXPECT_TRUE(wait_for([&] { return sim_->outputs(1) == expected; }, milliseconds(3000)));
  uint8_t big[65] = {};
  EXPECT_FALSE(link.write_outputs(1, big, 65));
  EXPECT_FALSE(link.write_outputs(2, big, 10));
  EXPECT_FALSE(link.write_outputs(1, nullptr, 10));
  EXPECT_FALSE(link.write_outputs(1, big, 0));
  uint8_t in[192];
  EXPECT_TRUE(link.read_inputs(1, in, 192));
  EXPECT_FALSE(link.read_inputs(1, in, 0));
  EXPECT_FALSE(link.read_inputs(3, in, 10));
  link.stop();
  EXPECT_FALSE(link.in_op());
  EXPECT_FALSE(link.write_outputs(1, ten, 10));
  EXPECT_EQ(link.lost_count(), 0u);
}

// A recovery rebuilds the output image from zeros: a later write of part of
// the image sends zeros in the rest of it, and the lost count starts again.
TEST_F(LvEthercat, RecoveryStartsTheOutputImageFromZeros) {
  ASSERT_TRUE(start_slaves());
  lv::EtherCATLink link;
  ASSERT_TRUE(start_link(link));
  const std::vector<uint8_t> full(64, 0x11);
  ASSERT_TRUE(link.write_outputs(1, full.data(), 64));
  ASSERT_TRUE(wait_for([&] { return sim_->outputs(1) == full; }, milliseconds(3000)));

  sim_->set_silent(true);
  ASSERT_TRUE(wait_for([&] { return link.lost_count() > 20; }, milliseconds(5000)));
  sim_->set_silent(false);
  ASSERT_TRUE(wait_for([&] { return link.in_op() && link.lost_count() < 10; }, milliseconds(20000)));

  uint8_t ten[10];
  for (int i = 0; i < 10; ++i) ten[i] = static_cast<uint8_t>(0xD0 + i);
  std::vector<uint8_t> expected(64, 0);
  std::copy(ten, ten + 10, expected.begin());
  ASSERT_TRUE(wait_for([&] { return link.write_outputs(1, ten, 10); }, milliseconds(3000)));
  EXPECT_TRUE(wait_for([&] { return sim_->outputs(1) == expected; }, milliseconds(3000)));
  link.stop();
  EXPECT_EQ(link.lost_count(), 0u);
}

// While the cycle is not taking images (lost mode here) a write is staged at
// once: nothing waits for a cycle that will not come.
TEST_F(LvEthercat, WritesDoNotWaitForACycleInLostMode) {
  ASSERT_TRUE(start_slaves());
  lv::EtherCATLink link;
  ASSERT_TRUE(start_link(link));
  sim_->set_silent(true);
  // Ten bad cycles start lost mode; the first recovery comes 40 cycles later.
  ASSERT_TRUE(wait_for([&] { return link.lost_count() >= 12; }, milliseconds(5000)));
  const uint8_t img[64] = {0x42};
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) link.write_outputs(1, img, sizeof img);
  // A wait per write (15 ms) would take 135 ms or more.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(60));
  link.stop();
}

// Two commands written back to back (enable, then home) are two images: the
// second must not replace the first before a cycle has carried it.
TEST_F(LvEthercat, BackToBackWritesEachReachTheSlave) {
  ASSERT_TRUE(start_slaves());
  lv::EtherCATLink link;
  ASSERT_TRUE(start_link(link));
  std::vector<uint8_t> first(64, 0x11), second(64, 0x22);
  // Judged from the slave's record of every image it took, not by a thread
  // sampling its outputs, which a loaded machine may keep from looking
  // during the one cycle that `first` stood.
  bool carried_both = false;
  for (int round = 0; round < 5 && !carried_both; ++round) {
    ASSERT_TRUE(link.write_outputs(1, first.data(), 64));
    ASSERT_TRUE(link.write_outputs(1, second.data(), 64));
    EXPECT_TRUE(wait_for([&] { return sim_->outputs(1) == second; }, milliseconds(3000)));
    const std::vector<std::vector<uint8_t>> changes = sim_->output_changes(1);
    carried_both = changes.size() >= 2 && changes[changes.size() - 2] == first && changes.back() == second;
  }
  EXPECT_TRUE(carried_both);
  link.stop();
}

}  // namespace
