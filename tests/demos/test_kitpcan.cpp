// kitpcan over its simulated bus: the channel operations pcan_demo relies
// on, the receive event, and records as they cross the interface.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kitpcan/pcan.h"
#include "kitpcan/pcan_sim.h"

using namespace std::chrono_literals;

namespace {

constexpr uint16_t kChannel = 0x52;

class KitPcanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kitpcan::sim_attach(kChannel, "sim two", [this](const kitpcan::SimMessage& m) {
      seen_.push_back(m);
      if (echo_) {
        kitpcan::SimMessage r = m;
        r.id = m.id + 0x100;
        kitpcan::sim_send_to_host(kChannel, r);
      }
    });
  }
  void TearDown() override {
    kitpcan_uninitialize(kChannel);
    kitpcan::sim_detach(kChannel);
  }
  std::vector<kitpcan::SimMessage> seen_;
  bool echo_ = true;
};

TEST_F(KitPcanTest, HardwareNameOnlyWhereADeviceIs) {
  char name[256];
  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(kitpcan_get_value(kChannel, KITPCAN_PARAM_HARDWARE_NAME, name, sizeof name), KITPCAN_OK);
  EXPECT_STREQ(name, "sim two");
  char small[4];
  ASSERT_EQ(kitpcan_get_value(kChannel, KITPCAN_PARAM_HARDWARE_NAME, small, sizeof small), KITPCAN_OK);
  EXPECT_STREQ(small, "sim");
  EXPECT_NE(kitpcan_get_value(0x53, KITPCAN_PARAM_HARDWARE_NAME, name, sizeof name), KITPCAN_OK);
  EXPECT_NE(kitpcan_get_value(0x99, KITPCAN_PARAM_HARDWARE_NAME, name, sizeof name), KITPCAN_OK);
  EXPECT_NE(kitpcan_get_value(kChannel, KITPCAN_PARAM_HARDWARE_NAME, nullptr, 256), KITPCAN_OK);
}

TEST_F(KitPcanTest, InitializeWriteReadAndUninitialize) {
  kitpcan_message m;
  std::memset(&m, 0, sizeof m);
  EXPECT_EQ(kitpcan_write(kChannel, &m), KITPCAN_ERR_NOT_OPEN);
  EXPECT_EQ(kitpcan_initialize(kChannel, 0x1234, 0, 0, 0), KITPCAN_ERR_BAD_BITRATE);
  EXPECT_EQ(kitpcan_initialize(0x53, KITPCAN_BITRATE_1M, 0, 0, 0), KITPCAN_ERR_BAD_CHANNEL);
  ASSERT_EQ(kitpcan_initialize(kChannel, KITPCAN_BITRATE_1M, 0, 0, 0), KITPCAN_OK);
  EXPECT_EQ(kitpcan_initialize(kChannel, KITPCAN_BITRATE_1M, 0, 0, 0), KITPCAN_ERR_IN_USE);

  kitpcan_timestamp t;
  EXPECT_EQ(kitpcan_read(kChannel, &m, &t), KITPCAN_QUEUE_EMPTY);

  m.id = 0x005;
  m.type = KITPCAN_MESSAGE_STANDARD;
  m.len = 3;
  m.data[0] = 0xAA;
  m.data[1] = 0x01;
  m.data[2] = 0x02;
  ASSERT_EQ(kitpcan_write(kChannel, &m), KITPCAN_OK);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].len, 3);
  EXPECT_FALSE(seen_[0].extended);

  kitpcan_message r;
  std::memset(&r, 0xA5, sizeof r);
  ASSERT_EQ(kitpcan_read(kChannel, &r, &t), KITPCAN_OK);
  EXPECT_EQ(r.id, 0x105u);
  EXPECT_EQ(r.type, KITPCAN_MESSAGE_STANDARD);
  EXPECT_EQ(r.len, 3);
  EXPECT_EQ(r.data[0], 0xAA);
  EXPECT_EQ(r.data[3], 0) << "unused data bytes are cleared";
  EXPECT_LT(t.micros, 1000);
  EXPECT_EQ(kitpcan_read(kChannel, &r, &t), KITPCAN_QUEUE_EMPTY);

  // Extended identifiers keep their 29 bits; bad records are refused.
  m.id = 0x1ABCDEF0;
  m.type = KITPCAN_MESSAGE_EXTENDED;
  ASSERT_EQ(kitpcan_write(kChannel, &m), KITPCAN_OK);
  ASSERT_EQ(kitpcan_read(kChannel, &r, nullptr), KITPCAN_OK);
  EXPECT_EQ(r.type, KITPCAN_MESSAGE_EXTENDED);
  EXPECT_EQ(r.id, 0x1ABCDEF0u + 0x100);
  m.len = 9;
  EXPECT_EQ(kitpcan_write(kChannel, &m), KITPCAN_ERR_BAD_PARAM);
  m.len = 1;
  m.type = KITPCAN_MESSAGE_STANDARD;
  m.id = 0x800;
  EXPECT_EQ(kitpcan_write(kChannel, &m), KITPCAN_ERR_BAD_PARAM);
  EXPECT_EQ(kitpcan_write(kChannel, nullptr), KITPCAN_ERR_BAD_PARAM);

  // Reset empties the queue.
  m.id = 1;
  ASSERT_EQ(kitpcan_write(kChannel, &m), KITPCAN_OK);
  EXPECT_EQ(kitpcan_reset(kChannel), KITPCAN_OK);
  EXPECT_EQ(kitpcan_read(kChannel, &r, &t), KITPCAN_QUEUE_EMPTY);

  EXPECT_EQ(kitpcan_uninitialize(kChannel), KITPCAN_OK);
  EXPECT_EQ(kitpcan_uninitialize(kChannel), KITPCAN_ERR_NOT_OPEN);
  EXPECT_FALSE(kitpcan::sim_send_to_host(kChannel, kitpcan::SimMessage{})) << "nobody has the channel open";
}

TEST_F(KitPcanTest, ReceiveEventWakesAReaderAndIsForgottenOnUninitialize) {
  echo_ = false;
  ASSERT_EQ(kitpcan_initialize(kChannel, KITPCAN_BITRATE_1M, 0, 0, 0), KITPCAN_OK);
  kitpcan_event* ev = kitpcan_event_create();
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(kitpcan_set_value(kChannel, KITPCAN_PARAM_RECEIVE_EVENT, &ev, 1), KITPCAN_ERR_BAD_PARAM);
  ASSERT_EQ(kitpcan_set_value(kChannel, KITPCAN_PARAM_RECEIVE_EVENT, &ev, sizeof ev), KITPCAN_OK);
  EXPECT_EQ(kitpcan_event_wait(ev, 1), 0);

  std::atomic<int> got{0};
  std::thread reader([&] {
    while (got.load() < 100) {
      kitpcan_message m;
      kitpcan_timestamp t;
      if (kitpcan_read(kChannel, &m, &t) == KITPCAN_OK) {
        ++got;
        continue;
      }
      kitpcan_event_wait(ev, 1000);
    }
  });
  for (int i = 0; i < 100; ++i) {
    kitpcan::SimMessage m;
    m.id = static_cast<uint32_t>(i);
    m.len = 1;
    ASSERT_TRUE(kitpcan::sim_send_to_host(kChannel, m));
    if (i % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  reader.join();
  EXPECT_EQ(got.load(), 100);
  ASSERT_EQ(kitpcan_uninitialize(kChannel), KITPCAN_OK);
  kitpcan_event_close(ev);  // safe: the channel forgot it
  EXPECT_EQ(kitpcan_initialize(kChannel, KITPCAN_BITRATE_1M, 0, 0, 0), KITPCAN_OK);
  EXPECT_TRUE(kitpcan::sim_send_to_host(kChannel, kitpcan::SimMessage{}));
}

TEST(KitPcanEvent, AutoResetAndTimeout) {
  kitpcan_event* ev = kitpcan_event_create();
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(kitpcan_event_wait(ev, 0), 0);
  kitpcan_event_signal(ev);
  kitpcan_event_signal(ev);  // signals do not count up
  EXPECT_EQ(kitpcan_event_wait(ev, 0), 1);
  EXPECT_EQ(kitpcan_event_wait(ev, 5), 0);
  kitpcan_event_close(ev);
  kitpcan_event_signal(nullptr);
  EXPECT_EQ(kitpcan_event_wait(nullptr, 0), 0);
}

}  // namespace
