// The demo programs' CAN transports against simulated hardware:
// CANFDMaster over the simulated USB adapter, PCANBus over kitpcan's
// simulated bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "canfd_master.h"
#include "kitpcan/pcan_sim.h"
#include "pcan_bus.h"
#include "simadapter/sim_adapter.h"
#include "simcan/sim_can_bus.h"
#include "slot_table.h"

using namespace std::chrono_literals;

namespace {

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// ---- CANFDMaster ----------------------------------------------------------

class CanfdMasterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
    bus_ = std::make_shared<simcan::CanBus>();
    node_ = std::make_shared<simcan::RecordingNode>();
    bus_->attach(node_);
    adapter_ = simadapter::SimAdapter::create(simadapter::SimAdapterConfig{}, bus_);
    simadapter::SimUsbBackend::instance().plug(adapter_);
  }
  void TearDown() override {
    master_.reset();
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
  }

  struct Received {
    unsigned id;
    std::vector<uint8_t> data;
  };
  std::mutex mutex_;
  std::vector<Received> received_;
  size_t received_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }

  std::shared_ptr<simcan::CanBus> bus_;
  std::shared_ptr<simcan::RecordingNode> node_;
  std::shared_ptr<simadapter::SimAdapter> adapter_;
  std::unique_ptr<demos::CANFDMaster> master_{new demos::CANFDMaster()};
};

TEST_F(CanfdMasterTest, ScanNamesEachAdapter) {
  const std::vector<std::string> list = demos::CANFDMaster::scan();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].rfind("0 ", 0), 0u) << list[0];
  EXPECT_GT(list[0].size(), 2u);
}

TEST_F(CanfdMasterTest, ConnectRefusesABadIndexAndDisconnectIsIdempotent) {
  ASSERT_EQ(demos::CANFDMaster::scan().size(), 1u);
  EXPECT_TRUE(master_->disconnect()) << "not connected: nothing to do";
  EXPECT_FALSE(master_->connect(-1, 1000000, 5000000));
  EXPECT_FALSE(master_->connected());
  const uint8_t b = 1;
  EXPECT_FALSE(master_->send(0x501, &b, 1, 0)) << "send while not connected";
  ASSERT_TRUE(master_->connect(0, 1000000, 5000000));
  EXPECT_TRUE(master_->connected());
  ASSERT_TRUE(master_->connect(0, 1000000, 5000000)) << "reconnect closes first";
  EXPECT_TRUE(master_->disconnect());
  EXPECT_FALSE(master_->connected());
  EXPECT_TRUE(master_->disconnect());
}

// On an 80 MHz adapter the timing is taken as given, so the init request
// carries the record exactly as connect() filled it.
TEST_F(CanfdMasterTest, InitRecordCarriesTheFixedTiming) {
  ASSERT_EQ(demos::CANFDMaster::scan().size(), 1u);
  ASSERT_TRUE(master_->connect(0, 1000000, 5000000));
  std::vector<uint32_t> init;
  for (const simadapter::SimRequest& r : adapter_->requests())
    if (r.command == 0x61) init = r.words;
  ASSERT_EQ(init.size(), 7u) << "CAN-FD init: header and six words";
  EXPECT_EQ(init[1], 1000000u);     // baud
  EXPECT_EQ(init[2], 5000000u);     // data_baud
  EXPECT_EQ(init[3], 0x05081F02u);  // prescaler 2, tseg1 31, tseg2 8, sjw 5
  EXPECT_EQ(init[4], 0x02040B01u);  // data: prescaler 1, tseg1 11, tseg2 4, sjw 2
  EXPECT_EQ(init[5], 0x00010007u);  // mode 7, option 0, fd_records 1
  EXPECT_TRUE(adapter_->fd_record_mode());
}

TEST_F(CanfdMasterTest, EveryFrameLeavesWith64DataBytes) {
  ASSERT_EQ(demos::CANFDMaster::scan().size(), 1u);
  ASSERT_TRUE(master_->connect(0, 1000000, 5000000));
  const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(master_->send(0x501, eight, 8, 0));
  std::vector<uint8_t> seventy(70);
  for (size_t i = 0; i < seventy.size(); ++i) seventy[i] = static_cast<uint8_t>(0x80 + i);
  ASSERT_TRUE(master_->send(0x9001, seventy.data(), 70, 1));
  ASSERT_TRUE(eventually([&] { return node_->count() >= 2; }));

  const std::vector<simcan::CanFrame> frames = node_->frames();
  EXPECT_EQ(frames[0].id, 0x501u);
  EXPECT_TRUE(frames[0].fd);
  EXPECT_FALSE(frames[0].brs);
  EXPECT_FALSE(frames[0].extended);
  EXPECT_EQ(frames[0].length(), 64u);
  EXPECT_EQ(std::vector<uint8_t>(frames[0].data, frames[0].data + 8), std::vector<uint8_t>(eight, eight + 8));
  for (size_t i = 8; i < 64; ++i) EXPECT_EQ(frames[0].data[i], 0) << i;
  EXPECT_EQ(frames[1].id, 0x9001u);
  EXPECT_TRUE(frames[1].extended);
  EXPECT_EQ(frames[1].length(), 64u);
  EXPECT_EQ(std::vector<uint8_t>(frames[1].data, frames[1].data + 64),
            std::vector<uint8_t>(seventy.begin(), seventy.begin() + 64));
}

TEST_F(CanfdMasterTest, ReceivedFramesReachTheCallbackWithTheirCodedLength) {
  ASSERT_EQ(demos::CANFDMaster::scan().size(), 1u);
  ASSERT_TRUE(master_->connect(0, 1000000, 5000000));
  master_->set_receive_callback([this](unsigned id, const std::vector<uint8_t>& data, uint64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(Received{id, data});
  });
  simcan::CanFrame f;
  f.id = 0x481;
  f.fd = true;
  f.dlc = 9;  // 12 bytes
  for (int i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(i);
  adapter_->receive_from_bus(f);
  f.id = 0x482;
  f.dlc = 15;  // 64 bytes
  adapter_->receive_from_bus(f);
  ASSERT_TRUE(eventually([&] { return received_count() >= 2; }));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(received_[0].id, 0x481u);
    EXPECT_EQ(received_[0].data.size(), 12u);
    EXPECT_EQ(received_[0].data[11], 11);
    EXPECT_EQ(received_[1].id, 0x482u);
    EXPECT_EQ(received_[1].data.size(), 64u);
  }
  // After disconnect the thread has ended: nothing more is delivered.
  ASSERT_TRUE(master_->disconnect());
  adapter_->receive_from_bus(f);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(received_count(), 2u);
}

TEST(CanfdDlc, LengthCodes) {
  const unsigned expected[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  for (unsigned dlc = 0; dlc < 16; ++dlc) EXPECT_EQ(demos::canfd_dlc_to_length(dlc), expected[dlc]);
  EXPECT_EQ(demos::canfd_dlc_to_length(16), 64u);
  EXPECT_EQ(demos::canfd_dlc_to_length(255), 64u);
}

// ---- PCANBus ----------------------------------------------------------------

constexpr uint16_t kChannel = 0x55;

class PcanBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kitpcan::sim_attach(kChannel, "test channel", [this](const kitpcan::SimMessage& m) {
      std::lock_guard<std::mutex> lock(mutex_);
      written_.push_back(m);
    });
  }
  void TearDown() override {
    bus_.reset();
    kitpcan::sim_detach(kChannel);
  }
  std::mutex mutex_;
  std::vector<kitpcan::SimMessage> written_;
  std::vector<demos::CANMessage> received_;
  std::unique_ptr<demos::PCANBus> bus_{new demos::PCANBus()};
};

TEST_F(PcanBusTest, ScanFindsChannelsWithANameOnly) {
  std::vector<uint16_t> channels = {1, 2};
  std::vector<std::string> names = {"old"};
  const int n = bus_->scan(&channels, &names);
  ASSERT_EQ(n, static_cast<int>(channels.size()));
  ASSERT_EQ(names.size(), channels.size());
  bool found = false;
  for (size_t i = 0; i < channels.size(); ++i)
    if (channels[i] == kChannel) found = names[i] == "test channel";
  EXPECT_TRUE(found);
}

TEST_F(PcanBusTest, SendCarriesAtMostEightBytesOnAStandardId) {
  const uint8_t payload[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_FALSE(bus_->send(0x10, {1}, false)) << "not connected";
  EXPECT_FALSE(bus_->connect(0x56, 0x0014)) << "no device on that channel";
  ASSERT_TRUE(bus_->connect(kChannel, 0x0014));
  ASSERT_TRUE(bus_->send(0x0A, std::vector<uint8_t>(payload, payload + 3), false));
  ASSERT_TRUE(bus_->send(0x0B, std::vector<uint8_t>(payload, payload + 12), false));
  ASSERT_TRUE(bus_->send(0x1234567, std::vector<uint8_t>(payload, payload + 2), true));
  ASSERT_TRUE(bus_->send(0x0C, {}, false));
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_EQ(written_.size(), 4u);
  EXPECT_EQ(written_[0].len, 3);
  EXPECT_EQ(written_[0].data[2], 3);
  EXPECT_EQ(written_[1].len, 8);
  EXPECT_EQ(written_[1].data[7], 8);
  EXPECT_TRUE(written_[2].extended);
  EXPECT_EQ(written_[2].id, 0x1234567u);
  EXPECT_EQ(written_[3].len, 0);
}

TEST_F(PcanBusTest, ReceiveThreadDeliversAndEndsWithDisconnect) {
  ASSERT_TRUE(bus_->connect(kChannel, 0x0014));
  std::atomic<int> count{0};
  bus_->set_receive_callback([&](const demos::CANMessage& m, const demos::CANTimestamp&) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(m);
    }
    ++count;
  });
  kitpcan::SimMessage a;
  a.id = 0x105;
  a.len = 8;
  a.data[0] = 0xA0;
  ASSERT_TRUE(kitpcan::sim_send_to_host(kChannel, a));
  kitpcan::SimMessage b;
  b.id = 0x1ABCDE;
  b.extended = true;
  b.len = 2;
  ASSERT_TRUE(kitpcan::sim_send_to_host(kChannel, b));
  ASSERT_TRUE(eventually([&] { return count.load() >= 2; }));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(received_[0].id, 0x105u);
    EXPECT_FALSE(received_[0].extended);
    EXPECT_EQ(received_[0].len, 8);
    EXPECT_EQ(received_[0].data[0], 0xA0);
    EXPECT_EQ(received_[1].id, 0x1ABCDEu);
    EXPECT_TRUE(received_[1].extended);
  }
  bus_->disconnect();
  EXPECT_FALSE(bus_->connected());
  EXPECT_FALSE(kitpcan::sim_send_to_host(kChannel, a)) << "the channel is closed";
  bus_->disconnect();  // twice: nothing
  // Connecting again and installing a callback gives a working thread again.
  ASSERT_TRUE(bus_->connect(kChannel, 0x0014));
  bus_->set_receive_callback([&](const demos::CANMessage&, const demos::CANTimestamp&) { ++count; });
  ASSERT_TRUE(kitpcan::sim_send_to_host(kChannel, a));
  EXPECT_TRUE(eventually([&] { return count.load() >= 3; }));
}

}  // namespace
