#include "canfd_master.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "kitcanfd/length_code.h"
#include "tavrix/tavrix.h"

namespace demos {

unsigned canfd_dlc_to_length(unsigned dlc) { return kitcanfd::length_of_code(dlc); }

CANFDMaster::~CANFDMaster() {
  if (connected()) disconnect();
  // A failed close still must not leave the thread running.
  running_.store(false, std::memory_order_release);
  if (rx_thread_.joinable()) rx_thread_.join();
  std::lock_guard<std::mutex> lock(callback_mutex_);
  callback_ = nullptr;
}

std::vector<std::string> CANFDMaster::scan() {
  std::vector<std::string> out;
  int n = CAN_ScanDevice();
  for (int i = 0; i < n; ++i) {
    CAN_DevInfo info;
    std::memset(&info, 0, sizeof info);
    if (CAN_ReadDevInfo(i, &info) == 0) {
      // The text is 32 bytes and need not end in 0.
      std::string model(info.model, strnlen(info.model, sizeof info.model));
      out.push_back(std::to_string(i) + " " + model);
    } else {
      out.push_back(std::to_string(i));
    }
  }
  return out;
}

bool CANFDMaster::connect(int index, int nominal_bitrate, int data_bitrate) {
  if (connected()) disconnect();
  if (CAN_OpenDevice(index) != 0) return false;
  CANFD_InitConfig config;
  std::memset(&config, 0, sizeof config);
  config.baud = static_cast<uint32_t>(nominal_bitrate);
  config.data_baud = static_cast<uint32_t>(data_bitrate);
  config.prescaler = 2;
  config.tseg1 = 31;
  config.tseg2 = 8;
  config.sjw = 5;
  config.data_prescaler = 1;
  config.data_tseg1 = 11;
  config.data_tseg2 = 4;
  config.data_sjw = 2;
  config.mode = 7;
  config.option = 0;
  config.fd_records = 1;
  if (CANFD_Init(index, &config) != 0) {
    CAN_CloseDevice(index);
    return false;
  }
  // A thread left from a failed close is stopped already; join it first.
  if (rx_thread_.joinable()) rx_thread_.join();
  channel_.store(index, std::memory_order_release);
  connected_.store(true, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  rx_thread_ = std::thread(&CANFDMaster::rx_loop, this);
  return true;
}

bool CANFDMaster::disconnect() {
  if (!connected()) return true;
  running_.store(false, std::memory_order_release);
  if (rx_thread_.joinable()) rx_thread_.join();
  if (CAN_CloseDevice(channel_.load(std::memory_order_acquire)) != 0) return false;
  channel_.store(-1, std::memory_order_release);
  connected_.store(false, std::memory_order_release);
  return true;
}

bool CANFDMaster::send(unsigned id, const uint8_t* data, unsigned len, int extended) {
  if (!connected()) return false;
  CANFD_Frame frame;
  std::memset(&frame, 0, sizeof frame);
  frame.id = id;
  frame.flags = TAVRIX_FLAG_FD;  // CAN-FD, bit-rate switch off
  frame.dlc = 15;                // every frame carries 64 data bytes
  frame.extended = static_cast<uint8_t>(extended ? 1 : 0);
  if (data != nullptr) std::memcpy(frame.data, data, std::min<unsigned>(len, sizeof frame.data));
  return CANFD_Transmit(channel_.load(std::memory_order_acquire), &frame, 1, kTransmitTimeoutMs) == 1;
}

void CANFDMaster::set_receive_callback(ReceiveCallback callback) {
  ReceiveCallback old;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    old.swap(callback_);
    callback_ = std::move(callback);
  }
}

void CANFDMaster::rx_loop() {
  std::vector<CANFD_Frame> frames(kFramesPerReceive);
  while (running_.load(std::memory_order_acquire)) {
    if (!connected()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    int n = CANFD_Receive(channel_.load(std::memory_order_acquire), frames.data(), kFramesPerReceive,
                          kReceiveTimeoutMs);
    if (n > 0) {
      // One copy of the callable per cycle: it may be replaced meanwhile.
      ReceiveCallback callback;
      {
        std::lock_guard<std::mutex> lock(callback_mutex_);
        callback = callback_;
      }
      if (callback) {
        const int count = std::min(n, kFramesPerReceive);
        for (int i = 0; i < count; ++i) {
          const CANFD_Frame& f = frames[static_cast<size_t>(i)];
          const unsigned len = canfd_dlc_to_length(f.dlc);
          std::vector<uint8_t> bytes(f.data, f.data + len);
          callback(f.id, bytes, static_cast<uint64_t>(f.time_stamp));
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace demos
