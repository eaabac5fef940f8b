// Transmit and receive on two threads, and an adapter that disappears
// while a transfer waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "sim_fixture.h"

using namespace tavrix_test;
using simadapter::SimAdapterConfig;

TEST_F(SimAdapterTest, TransmitAndReceiveOnTwoThreads) {
  SimAdapterConfig c;
  c.echo_transmit = true;  // every sent frame comes back on the read pipe
  open_one(c);
  CANFD_InitConfig init = kit_fd_config();
  ASSERT_EQ(CANFD_Init(0, &init), 0);
  constexpr uint32_t kFrames = 1000;
  std::atomic<bool> sending_done{false};
  std::atomic<uint32_t> received{0};
  std::atomic<bool> in_order{true};
  std::thread receiver([&] {
    std::vector<CANFD_Frame> frames(500);
    uint32_t next = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (next < kFrames && std::chrono::steady_clock::now() < deadline) {
      int n = CANFD_Receive(0, frames.data(), 500, 50);
      for (int i = 0; i < n; ++i) {
        if (frames[static_cast<size_t>(i)].id != 0x10000 + next) in_order = false;
        ++next;
      }
      CAN_Status s;
      CAN_GetStatus(0, &s);
    }
    received = next;
  });
  int sent = 0;
  for (uint32_t i = 0; i < kFrames; ++i) {
    CANFD_Frame f;
    std::memset(&f, 0, sizeof(f));
    f.id = 0x10000 + i;
    f.extended = 1;
    f.dlc = 15;
    f.flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
    sent += CANFD_Transmit(0, &f, 1, 100);
  }
  sending_done = true;
  receiver.join();
  EXPECT_EQ(sent, static_cast<int>(kFrames));
  EXPECT_EQ(received.load(), kFrames);
  EXPECT_TRUE(in_order);
}

TEST_F(SimAdapterTest, UnplugWakesAWaitingReceive) {
  auto a = open_one();
  auto& usb = simadapter::SimUsbBackend::instance();
  std::atomic<int> result{99};
  auto start = std::chrono::steady_clock::now();
  std::thread receiver([&] {
    CANFD_Frame f;
    result = CANFD_Receive(0, &f, 1, 20000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  usb.unplug(a);
  receiver.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  CANFD_Frame f;
  std::memset(&f, 0, sizeof(f));
  EXPECT_EQ(CANFD_Transmit(0, &f, 1, 100), -1);
  EXPECT_EQ(CAN_GetReceiveNum(0), 0);
  EXPECT_EQ(CAN_CloseDevice(0), -1);
  EXPECT_EQ(CAN_ScanDevice(), 0);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  // Plugged in again, it opens as before.
  usb.plug(a);
  EXPECT_EQ(CAN_ScanDevice(), 1);
  EXPECT_EQ(CAN_OpenDevice(0), 0);
}

TEST_F(SimAdapterTest, UnplugDuringTransmitAcknowledgement) {
  auto a = open_one();
  a->set_drop_acks(true);
  std::atomic<int> result{99};
  std::thread sender([&] {
    CAN_Frame f;
    std::memset(&f, 0, sizeof(f));
    result = CAN_Transmit(0, &f, 1, 100);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  simadapter::SimUsbBackend::instance().unplug(a);
  sender.join();
  EXPECT_EQ(result.load(), 0);  // written, never acknowledged
}
