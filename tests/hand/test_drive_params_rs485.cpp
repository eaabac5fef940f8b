// Drive parameters over RS485: requests leave as 12-byte wire frames through
// the hand's bus context, and 'X' replies fed into the RS485 decoder complete
// the pending read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "hand_core.h"
#include "morvane/morvane.h"
#include "protocol_helpers.h"
#include "test_drive_params_device.h"

namespace morvx {
namespace {

using Bytes = std::vector<uint8_t>;

// 'X', node id, the 8-byte parameter reply, CRC-16/MODBUS low byte first.
Bytes x_frame(uint8_t node, const Bytes& body) {
    Bytes frame{0x58, node};
    frame.insert(frame.end(), body.begin(), body.end());
    const uint16_t crc = crc16_modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

class Rs485ParamsTest : public ::testing::Test {
protected:
    Rs485ParamsTest()
        : send_([this](const uint8_t* data, unsigned len) {
              Bytes frame(data, data + len);
              if (len == 12 && data[0] == 0x60) {
                  {
                      std::lock_guard<std::mutex> lock(mutex_);
                      param_frames_.push_back(frame);
                  }
                  device_.on_request(data + 2, 8);
              }
              return true;
          }),
          hand_(),
          device_([this](const Bytes& reply) {
              const Bytes frame = x_frame(3, reply);
              hand_.set_rs485_data_decode(frame.data(), static_cast<int>(frame.size()));
          }) {
        hand_.set_send_rs485_callback_ex(&send_);
        device_.set_value(0x200E, 29, 6);  // model 6: an RS485 hand of type 0
    }
    ~Rs485ParamsTest() override { hand_.close(); }

    Bytes last_param_frame() {
        std::lock_guard<std::mutex> lock(mutex_);
        return param_frames_.empty() ? Bytes() : param_frames_.back();
    }

    std::mutex mutex_;
    std::vector<Bytes> param_frames_;
    send_data_callback send_;  // outlives the hand, which keeps a pointer to it
    Morvane hand_;
    morvx_test::FakeParamDevice device_;  // last: its thread stops before the hand goes
};

TEST_F(Rs485ParamsTest, ReadAndWriteTravelAsWireFrames) {
    ASSERT_EQ(hand_.initial(2, 3), 0);
    device_.set_value(0x2022, 21, 300);

    unsigned value = 0;
    ASSERT_EQ(hand_.get_sdo_drive_param(0x2022, 21, &value), 0);
    EXPECT_EQ(value, 300u);
    EXPECT_EQ(last_param_frame(), (Bytes{0x60, 0x03, 0x40, 0x22, 0x20, 0x15, 0, 0, 0, 0, 0x6B, 0xD8}));

    ASSERT_EQ(hand_.set_sdo_drive_param(0x2022, 21, 300), 0);
    EXPECT_EQ(last_param_frame(), (Bytes{0x60, 0x03, 0x2B, 0x22, 0x20, 0x15, 0x2C, 0x01, 0, 0, 0x75, 0x13}));
}

TEST_F(Rs485ParamsTest, DeviceSettingReadScalesTheReply) {
    ASSERT_EQ(hand_.initial(2, 3), 0);
    device_.set_value(0x201D, 5, 5000);
    int rate = 0;
    ASSERT_EQ(hand_.get_rs485_baudrate(&rate), 0);
    EXPECT_EQ(rate, 500000);
}

TEST_F(Rs485ParamsTest, IdentificationOverRs485) {
    for (uint16_t k = 0; k < 6; ++k) device_.set_value(static_cast<uint16_t>(0x2030 + 0x40 * k), 6, 0x10 + k);
    ASSERT_EQ(hand_.initial(2, 3), 0);
    char serial[32];
    ASSERT_EQ(hand_.get_serial_number(serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "1000110012001300140015");
    EXPECT_EQ(hand_.core()->bus_kind.load(), 2);
}

}  // namespace
}  // namespace morvx
