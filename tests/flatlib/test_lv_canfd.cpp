// The CAN-FD path through the adapter library with the simulated adapter
// behind it (linked in-process): open sequence and its failures, transmit
// records and length codes, received frames reaching the hand library, and
// the lost-frame count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "canfd_frames.h"
#include "lv_identity.h"
#include "lv_instance.h"
#include "morvane_lv/morvane_lv.h"
#include "simadapter/sim_adapter.h"
#include "simcan/sim_can_bus.h"
#include "slot_table.h"
#include "temp_dir.h"
#include "wait_for.h"

namespace {

using flatlib_test::wait_for;
using flatlib_test::wait_for_firmware;
using flatlib_test::wait_for_hand_direction;
using std::chrono::milliseconds;

// ---- transmit records and length codes (golden values by hand) ----------

TEST(CanfdFrames, LengthCodesFollowTheCanFdTable) {
  const unsigned lengths[] = {0, 3, 8, 9, 10, 12, 13, 16, 17, 20, 21, 24, 25, 32, 33, 48, 49, 64, 70};
  const uint8_t codes[] = {0, 3, 8, 9, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 15};
  for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
    EXPECT_EQ(lv::canfd_dlc_for_length(lengths[i]), codes[i]) << lengths[i];
  }
  const int back[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  for (uint8_t c = 0; c < 16; ++c) EXPECT_EQ(lv::canfd_length_for_dlc(c), back[c]);
  EXPECT_EQ(lv::canfd_length_for_dlc(16), -1);
  EXPECT_EQ(lv::canfd_length_for_dlc(255), -1);
}

TEST(CanfdFrames, TransmitRecordIsFdWithoutBitRateSwitchAndZeroPadded) {
  lv::CanfdTxEntry e;
  e.id = 0x501;
  for (int i = 0; i < 10; ++i) e.data[i] = static_cast<uint8_t>(0xB0 + i);
  e.length = 10;
  CANFD_Frame f;
  std::memset(&f, 0xA5, sizeof f);
  lv::build_tx_record(e, &f);
  EXPECT_EQ(f.id, 0x501u);
  EXPECT_EQ(f.time_stamp, 0u);
  EXPECT_EQ(f.flags, 0x04);
  EXPECT_EQ(f.dlc, 9);
  EXPECT_EQ(f.extended, 0);
  EXPECT_EQ(f.remote, 0);
  EXPECT_EQ(f.bus_state, 0);
  EXPECT_EQ(f.error_code, 0);
  EXPECT_EQ(f.tx_error_count, 0);
  EXPECT_EQ(f.rx_error_count, 0);
  EXPECT_EQ(f.data[0], 0xB0);
  EXPECT_EQ(f.data[9], 0xB9);
  EXPECT_EQ(f.data[10], 0);
  EXPECT_EQ(f.data[11], 0);
  EXPECT_EQ(f.data[63], 0);
}

TEST(CanfdFrames, InitRecordBytes) {
  const CANFD_InitConfig c = lv::kit_canfd_init_config();
  const uint8_t expected[20] = {0x40, 0x42, 0x0F, 0x00, 0x40, 0x4B, 0x4C, 0x00, 0x02, 0x00,
                                0x1F, 0x08, 0x05, 0x01, 0x0B, 0x04, 0x02, 0x07, 0x00, 0x01};
  EXPECT_EQ(std::memcmp(&c, expected, sizeof expected), 0);
}

// ---- the simulated hand node on the CAN-FD bus ------------------------------

// Answers parameter reads on 0x580 + node and records what the host sent.
class HandNode : public simcan::CanNode {
 public:
  explicit HandNode(std::shared_ptr<simcan::CanBus> bus) : bus_(std::move(bus)) {}
  void on_frame(const simcan::CanFrame& f) override {
    {
      std::lock_guard<std::mutex> l(mutex_);
      frames_.push_back(f);
    }
    if (silent_ || f.id != 0x601 || f.dlc < 8 || f.data[0] != 0x40) return;
    const uint16_t index = static_cast<uint16_t>(f.data[1] | f.data[2] << 8);
    const uint8_t sub = f.data[3];
    uint16_t v = 0;
    if (index == 0x200E && sub == 29) v = 3;  // model code: CAN-FD, hand type 1
    if (index == 0x200E && sub == 30) v = 145;
    if (index == 0x2030 && sub == 5) v = 2;
    simcan::CanFrame r;
    r.id = 0x581;
    r.fd = true;
    r.dlc = 8;
    const uint8_t body[8] = {0x4B, f.data[1], f.data[2], sub, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), 0, 0};
    std::memcpy(r.data, body, 8);
    bus_->send(r, this);
  }
  std::vector<simcan::CanFrame> frames() const {
    std::lock_guard<std::mutex> l(mutex_);
    return frames_;
  }
  std::atomic<bool> silent_{false};

 private:
  std::shared_ptr<simcan::CanBus> bus_;
  mutable std::mutex mutex_;
  std::vector<simcan::CanFrame> frames_;
};

class LvCanfd : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    hand_ = std::make_shared<HandNode>(bus_);
    bus_->attach(hand_);
  }
  void TearDown() override {
    lv_close();
    bus_->detach(hand_.get());
    reset();
  }
  static void reset() {
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
  }
  std::shared_ptr<simadapter::SimAdapter> plug(simadapter::SimAdapterConfig c = {}) {
    auto a = simadapter::SimAdapter::create(c, bus_);
    simadapter::SimUsbBackend::instance().plug(a);
    return a;
  }
  // A 6-joint status report as the hand sends it on 0x480 + node.
  static simcan::CanFrame status_report(uint16_t first_position) {
    simcan::CanFrame f;
    f.id = 0x481;
    f.fd = true;
    f.dlc = 15;
    f.data[0] = 0x50;
    f.data[1] = 0x06;
    for (int j = 0; j < 6; ++j) {
      const uint16_t p = static_cast<uint16_t>(first_position + j);
      f.data[2 + 6 * j] = static_cast<uint8_t>(p);
      f.data[3 + 6 * j] = static_cast<uint8_t>(p >> 8);
      f.data[6 + 6 * j] = 20;  // current
      f.data[50 + j] = 0x31;   // status bytes follow the eight item slots
    }
    return f;
  }

  std::shared_ptr<simcan::CanBus> bus_ = std::make_shared<simcan::CanBus>();
  std::shared_ptr<HandNode> hand_;
};

TEST_F(LvCanfd, DiscoveryNamesTheAdapter) {
  plug();
  EXPECT_EQ(lv_canfd_scan_device_count(), 1);
  char buf[64];
  ASSERT_EQ(lv_canfd_get_device_string(0, buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf).substr(0, 2), "0 ");
  EXPECT_GT(std::strlen(buf), 2u);
  char one[1] = {'x'};
  EXPECT_EQ(lv_canfd_get_device_string(0, one, 1), 0);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(lv_canfd_get_device_string(0, one, 0), -1);
  EXPECT_EQ(lv_canfd_get_device_string(3, buf, sizeof buf), -2);
}

TEST_F(LvCanfd, OpensIdentifiesSendsAndDecodes) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  EXPECT_TRUE(adapter->fd_record_mode());

  float fw = 0;
  EXPECT_TRUE(wait_for_firmware(1.45f, &fw)) << "firmware " << fw;
  int dir = -1;
  EXPECT_TRUE(wait_for_hand_direction(1, &dir)) << "direction " << dir;

  // Every frame the host sent went out as CAN-FD without bit-rate switch.
  const auto frames = hand_->frames();
  ASSERT_FALSE(frames.empty());
  for (const auto& f : frames) {
    EXPECT_TRUE(f.fd);
    EXPECT_FALSE(f.brs);
  }

  adapter->receive_from_bus(status_report(2000));
  int pos = 0;
  EXPECT_TRUE(wait_for([&] { return lv_get_now_position(1, &pos) == 0 && pos != 0; }, milliseconds(3000)));
  int cur = 0;
  EXPECT_EQ(lv_get_now_current(2, &cur), 0);
  EXPECT_EQ(cur, 20);
  EXPECT_EQ(lv_get_lost_frames(), 0);

  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
  // After close nothing is queued any more.
  const uint8_t d[3] = {1, 2, 3};
  EXPECT_FALSE(lv::lv_send_canfd(0x501, d, 3, 0));
}

// The hand library gets as many bytes as the received length code stands for:
// code 9 is 12 bytes. Its frame log shows what it got.
TEST_F(LvCanfd, ReceivedLengthCodeNineIsDeliveredAsTwelveBytes) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  std::vector<int> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = i;
  ASSERT_EQ(lv_log_recv(all.data(), 256), 0);
  lv_log_on(1, 100);
  simcan::CanFrame f;
  f.id = 0x7F1;  // no reply id of node 1: logged, otherwise ignored
  f.fd = true;
  f.dlc = 9;
  for (int i = 0; i < 12; ++i) f.data[i] = static_cast<uint8_t>(0xA0 + i);
  adapter->receive_from_bus(f);

  char dir_template[] = "/tmp/lv_canfd_log_XXXXXX";
  ASSERT_NE(kit_make_temp_dir(dir_template), nullptr);
  const std::string dir = dir_template;
  int attempt = 0;
  std::string text;
  const bool seen = wait_for([&] {
    const std::string path = dir + "/log" + std::to_string(attempt++) + ".txt";
    if (lv_log_save(path.c_str()) != 0) return false;
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    std::remove(path.c_str());
    return text.find("Recv:  A0") != std::string::npos;
  }, milliseconds(3000));
  ::rmdir(dir.c_str());
  ASSERT_TRUE(seen) << text;
  EXPECT_NE(text.find("Recv:  A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB = ok"), std::string::npos) << text;
}

TEST_F(LvCanfd, ErroredFramesAreCountedAndStillDecoded) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  // Error code 1 with a non-zero error count, then a clean frame.
  adapter->receive_from_bus(status_report(3000), (1u << 4) | (1u << 16));
  adapter->receive_from_bus(status_report(4000));
  int pos = 0;
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() == 1; }, milliseconds(3000)));
  EXPECT_TRUE(wait_for([&] { return lv_get_now_position(1, &pos) == 0 && pos != 0; }, milliseconds(3000)));
  EXPECT_EQ(lv_get_lost_frames(), 1);
}

TEST_F(LvCanfd, RejectedTransmitIsLostAndTheNextFrameStillGoes) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  hand_->silent_ = true;
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  const int lost_before = lv_get_lost_frames();
  adapter->set_ack(0, 0, 0);  // the adapter takes nothing
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() > lost_before; }, milliseconds(3000)));
  // One setting may queue more than one frame: let the I/O thread drain them
  // all (the count stays put for half a second) before the adapter recovers.
  EXPECT_TRUE(wait_for([&] {
    const int seen = lv_get_lost_frames();
    std::this_thread::sleep_for(milliseconds(500));
    return lv_get_lost_frames() == seen;
  }, milliseconds(5000)));
  const int lost_after = lv_get_lost_frames();
  adapter->set_ack(-1, 0, 0);
  const size_t sent_before = hand_->frames().size();
  EXPECT_EQ(lv_set_enable(0, 0), 0);
  EXPECT_TRUE(wait_for([&] { return hand_->frames().size() > sent_before; }, milliseconds(3000)));
  EXPECT_EQ(lv_get_lost_frames(), lost_after);
}

TEST_F(LvCanfd, FramesAreCutTo64BytesAndPadded) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  hand_->silent_ = true;
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  std::vector<uint8_t> big(70);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i + 1);
  ASSERT_TRUE(lv::lv_send_canfd(0x123, big.data(), 70, 0));
  const uint8_t ten[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0xEE};
  ASSERT_TRUE(lv::lv_send_canfd(0x124, ten, 10, 1));
  simcan::CanFrame a, b;
  auto find = [&](uint32_t id, simcan::CanFrame* out) {
    for (const auto& f : hand_->frames()) {
      if (f.id == id) {
        *out = f;
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(wait_for([&] { return find(0x123, &a) && find(0x124, &b); }, milliseconds(3000)));
  EXPECT_EQ(a.id, 0x123u);
  EXPECT_EQ(a.dlc, 15);
  EXPECT_EQ(a.data[63], 64);
  EXPECT_EQ(b.id, 0x124u);
  EXPECT_FALSE(b.extended);  // the OTA flag changes nothing on the wire
  EXPECT_EQ(b.dlc, 9);
  EXPECT_EQ(b.data[9], 0xEE);
  EXPECT_EQ(b.data[10], 0);
  EXPECT_EQ(b.data[11], 0);
}

TEST_F(LvCanfd, OpenFailuresUndoEverything) {
  simadapter::SimAdapterConfig classic;
  classic.serial = "C036000000000001";  // not CAN-FD capable: init refused
  plug(classic);
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  EXPECT_EQ(lv_init(1, 5, 1), -1);  // no such adapter
  EXPECT_EQ(lv_init(1, 0, 1), -2);  // opened, init refused, closed again
  EXPECT_EQ(lv_is_connected(), 0);
  int v = 0;
  EXPECT_EQ(lv_get_hand_type(&v), 2);
  // The adapter was closed again: it opens once more.
  EXPECT_EQ(CAN_OpenDevice(0), 0);
  EXPECT_EQ(CAN_CloseDevice(0), 0);
}

TEST_F(LvCanfd, NodeIdTooLargeFailsInitialAndClosesTheAdapter) {
  plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  EXPECT_EQ(lv_init(1, 0, 256), -4);
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_EQ(lv_init(1, 0, 1), 0);
}

TEST_F(LvCanfd, AdapterUnpluggedMidRunCountsLossesAndCloses) {
  auto adapter = plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  adapter->unplug();
  const int before = lv_get_lost_frames();
  EXPECT_EQ(lv_set_enable(0, 1), 0);  // queued; the transmit then fails
  EXPECT_TRUE(wait_for([&] { return lv_get_lost_frames() > before; }, milliseconds(3000)));
  EXPECT_EQ(lv_is_connected(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  lv_close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST_F(LvCanfd, DiscoveryBesideAnOpenInstance) {
  plug();
  ASSERT_EQ(lv_canfd_scan_device_count(), 1);
  ASSERT_EQ(lv_init(1, 0, 1), 0);
  char buf[64];
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lv_set_enable(0, 1), 0);
    EXPECT_EQ(lv_canfd_get_device_string(0, buf, sizeof buf), 0);
  }
  EXPECT_EQ(lv_is_connected(), 1);
}

}  // namespace
