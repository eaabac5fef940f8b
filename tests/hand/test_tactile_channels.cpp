// Tactile channels: block decoding, the getters' count contract, channel
// set-up, sensor order, and the pressure reset sequence.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

namespace morvx {
namespace {

class TactileTest : public ::testing::Test {
protected:
    std::unique_ptr<HandCore> core_ = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core_;

    // Exact-size heap copy so ASan catches any read past the bytes given.
    void decode(int first_item, int item, const std::vector<uint8_t>& bytes) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        decode_tactile_block(h, first_item, item, copy.get(), bytes.size());
    }

    std::vector<float> list(int (*getter)(const HandCore&, int, float*, int*), int channel) {
        int n = 0;
        EXPECT_EQ(getter(h, channel, nullptr, &n), kOk);
        std::vector<float> v(static_cast<std::size_t>(n), -7.0f);
        EXPECT_EQ(getter(h, channel, v.data(), &n), kOk);
        return v;
    }
    std::vector<float> pressure(int channel) { return list(get_finger_pressure, channel); }

    void use_hand_type(int type) {
        h.hand_type.store(type);
        build_sensor_channels(h, default_channel_formats(type));
    }
};

// Channel 3 (item 1 of the default map), 9 taxels, format 1.
const std::vector<uint8_t> kFullBlock{
    0xFF, 0x00, 0x33, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x4D,  // pressure; 10th byte beyond 9 taxels
    0x10, 0x27, 0x96, 0x00,                                      // normal force 10000, 150
    0xFA, 0x00, 0x00, 0x00,                                      // tangential 250, 0
    0x34, 0x12, 0x01, 0x00,                                      // direction 0x1234, 1
    0x33, 0xFF,                                                  // proximity 51, 255
};

TEST_F(TactileTest, FullBlockFractionFormat) {
    decode(0, 1, kFullBlock);
    const std::vector<float> p = pressure(3);
    ASSERT_EQ(p.size(), 9u);
    EXPECT_FLOAT_EQ(p[0], 1.0f);
    EXPECT_FLOAT_EQ(p[1], 0.0f);
    EXPECT_FLOAT_EQ(p[2], 0.2f);
    EXPECT_FLOAT_EQ(p[8], 6.0f / 255.0f);

    float v = -1;
    EXPECT_EQ(get_finger_normal_force(h, 3, &v), kOk);
    EXPECT_FLOAT_EQ(v, 100.0f);
    EXPECT_EQ(list(get_finger_normal_force_ex, 3), (std::vector<float>{100.0f, 1.5f}));
    EXPECT_EQ(get_finger_tangential_force(h, 3, &v), kOk);
    EXPECT_FLOAT_EQ(v, 2.5f);
    EXPECT_EQ(get_finger_force_direction(h, 3, &v), kOk);
    EXPECT_FLOAT_EQ(v, 4660.0f);
    EXPECT_EQ(list(get_finger_force_direction_ex, 3), (std::vector<float>{4660.0f, 1.0f}));
    EXPECT_EQ(get_finger_proximity(h, 3, &v), kOk);
    EXPECT_FLOAT_EQ(v, 0.2f);
    EXPECT_EQ(list(get_finger_proximity_ex, 3), (std::vector<float>{51.0f / 255.0f, 1.0f}));
    EXPECT_EQ(h.sensor_channels[3].sequence.load(), 2u);

    // Other channels untouched.
    for (float x : pressure(5)) EXPECT_EQ(x, 0.0f);
}

TEST_F(TactileTest, NormalForceGetterTakesTheLarger) {
    std::vector<uint8_t> block(24, 0);
    block[10] = 0x96;  // 150 -> 1.5
    block[12] = 0xFA;  // 250 -> 2.5
    decode(0, 2, block);
    float v = 0;
    EXPECT_EQ(get_finger_normal_force(h, 5, &v), kOk);
    EXPECT_FLOAT_EQ(v, 2.5f);
}

TEST_F(TactileTest, FiveTaxelChannelIgnoresTheOtherPressureBytes) {
    std::vector<uint8_t> block(24, 0);
    for (int i = 0; i < 10; ++i) block[i] = static_cast<uint8_t>(10 * (i + 1));
    decode(0, 0, block);  // channel 1
    const std::vector<float> p = pressure(1);
    ASSERT_EQ(p.size(), 5u);
    EXPECT_FLOAT_EQ(p[4], 50.0f / 255.0f);
}

TEST_F(TactileTest, FiveTaxelFormatScalesInTenths) {
    EXPECT_EQ(set_sensor_data_format(h, 1), kOk);
    for (int ch = 1; ch <= 11; ++ch) {
        EXPECT_EQ(pressure(ch), std::vector<float>(5, 0.0f)) << "channel " << ch;
        int n = 0;
        EXPECT_EQ(get_finger_sensor_pos(h, ch, nullptr, nullptr, &n), kOk);
        EXPECT_EQ(n, 5);
    }
    std::vector<uint8_t> block(24, 0);
    block[0] = 200;
    block[1] = 255;
    block[2] = 1;
    decode(0, 5, block);  // channel 11, now a full block
    const std::vector<float> p = pressure(11);
    EXPECT_FLOAT_EQ(p[0], 20.0f);
    EXPECT_FLOAT_EQ(p[1], 25.5f);
    EXPECT_FLOAT_EQ(p[2], 0.1f);

    // Any other value restores the defaults, every value back to 0.
    EXPECT_EQ(set_sensor_data_format(h, 0), kOk);
    EXPECT_EQ(pressure(11), std::vector<float>(26, 0.0f));
    EXPECT_EQ(pressure(1).size(), 5u);
    EXPECT_EQ(pressure(3).size(), 9u);
}

TEST_F(TactileTest, PackedBlockWritesOnlyPressure) {
    std::vector<uint8_t> block(26, 0);
    block[0] = 200;
    block[1] = 255;
    block[25] = 7;
    decode(0, 5, block);  // channel 11, format 0
    const std::vector<float> p = pressure(11);
    ASSERT_EQ(p.size(), 26u);
    EXPECT_FLOAT_EQ(p[0], 20.0f);
    EXPECT_FLOAT_EQ(p[1], 25.5f);
    EXPECT_FLOAT_EQ(p[25], 0.7f);
    EXPECT_EQ(list(get_finger_normal_force_ex, 11), (std::vector<float>{0.0f, 0.0f}));
    EXPECT_EQ(list(get_finger_proximity_ex, 11), (std::vector<float>{0.0f, 0.0f}));
}

TEST_F(TactileTest, ShortBlocksReadOnlyWhatArrived) {
    // A packed 26-taxel channel given 10 bytes: the other 16 keep their values.
    decode(0, 5, std::vector<uint8_t>(10, 100));
    std::vector<float> p = pressure(11);
    for (int i = 0; i < 10; ++i) EXPECT_FLOAT_EQ(p[i], 10.0f);
    for (int i = 10; i < 26; ++i) EXPECT_EQ(p[i], 0.0f);

    // A 12-byte item read as a full block: pressure and the first normal
    // force only.
    std::vector<uint8_t> item(12, 0xFF);
    item[10] = 0x64;  // 100 -> 1.0
    item[11] = 0x00;
    decode(0, 1, item);
    p = pressure(3);
    for (float x : p) EXPECT_FLOAT_EQ(x, 1.0f);
    EXPECT_EQ(list(get_finger_normal_force_ex, 3), (std::vector<float>{1.0f, 0.0f}));
    EXPECT_EQ(list(get_finger_proximity_ex, 3), (std::vector<float>{0.0f, 0.0f}));

    decode_tactile_block(h, 0, 1, nullptr, 24);
    EXPECT_EQ(h.sensor_channels[3].sequence.load() % 2, 0u);
}

TEST_F(TactileTest, ItemsOutsideTheMapAreIgnored) {
    const std::vector<uint8_t> block(30, 50);
    decode(27, 0, block);
    decode(5, 22, block);
    decode(-1, 1, block);
    decode(0, -1, block);
    decode(0x7FFFFFFF, 0x7FFFFFFF, block);
    h.sensor_map[7] = 12;
    h.sensor_map[8] = -3;
    h.sensor_map[9] = 1000;
    decode(7, 0, block);
    decode(0, 8, block);
    decode(9, 0, block);
    for (const auto& c : h.sensor_channels) EXPECT_EQ(c.sequence.load(), 0u);
    for (int ch = 1; ch <= 11; ++ch)
        for (float x : pressure(ch)) EXPECT_EQ(x, 0.0f);

    // An item that maps to channel 0 lands there; no getter reads it.
    decode(6, 0, block);
    EXPECT_EQ(h.sensor_channels[0].sequence.load(), 2u);
    EXPECT_FLOAT_EQ(h.sensor_channels[0].record.pressure[8], 5.0f);
    int n = 0;
    EXPECT_EQ(get_finger_pressure(h, 0, nullptr, &n), kBadArgument);
}

TEST_F(TactileTest, GetterArguments) {
    float v = 3.0f;
    int n = 4;
    float buf[4] = {-7, -7, -7, -7};
    for (int ch : {0, 12, -1}) {
        EXPECT_EQ(get_finger_pressure(h, ch, buf, &n), kBadArgument);
        EXPECT_EQ(get_finger_normal_force(h, ch, &v), kBadArgument);
        EXPECT_EQ(get_finger_proximity_ex(h, ch, nullptr, &n), kBadArgument);
        EXPECT_EQ(get_finger_sensor_pos(h, ch, buf, buf, &n), kBadArgument);
    }
    EXPECT_EQ(n, 4);
    EXPECT_EQ(v, 3.0f);
    EXPECT_EQ(get_finger_pressure(h, 1, buf, nullptr), kBadArgument);
    EXPECT_EQ(get_finger_tangential_force(h, 1, nullptr), kBadArgument);
    EXPECT_EQ(get_finger_force_direction(h, 1, nullptr), kBadArgument);
    EXPECT_EQ(get_finger_sensor_pos(h, 1, buf, buf, nullptr), kBadArgument);

    n = -1;
    EXPECT_EQ(get_finger_pressure(h, 3, buf, &n), kBadArgument);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(buf[0], -7.0f);
}

TEST_F(TactileTest, CountContract) {
    decode(0, 5, std::vector<uint8_t>(26, 1));
    float buf[30];
    std::fill(std::begin(buf), std::end(buf), -7.0f);
    int n = 3;
    EXPECT_EQ(get_finger_pressure(h, 11, buf, &n), kOk);
    EXPECT_EQ(n, 3);
    EXPECT_FLOAT_EQ(buf[2], 0.1f);
    EXPECT_EQ(buf[3], -7.0f);

    n = 30;
    EXPECT_EQ(get_finger_pressure(h, 11, buf, &n), kOk);
    EXPECT_EQ(n, 26);
    EXPECT_EQ(buf[26], -7.0f);

    n = 0;
    EXPECT_EQ(get_finger_normal_force_ex(h, 11, buf, &n), kOk);
    EXPECT_EQ(n, 0);

    float x[3], y[3];
    n = 2;
    EXPECT_EQ(get_finger_sensor_pos(h, 11, x, y, &n), kOk);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(x[1], 0.58f);
    EXPECT_EQ(y[1], 0.90f);
    n = 99;
    EXPECT_EQ(get_finger_sensor_pos(h, 11, x, nullptr, &n), kOk);
    EXPECT_EQ(n, 26);
}

TEST_F(TactileTest, SingleValueGetterOnEmptyListReports4) {
    h.sensor_channels[4].record.proximity.clear();
    h.sensor_channels[4].record.normal_force.clear();
    float v = 3.0f;
    EXPECT_EQ(get_finger_proximity(h, 4, &v), kNoSensorData);
    EXPECT_EQ(get_finger_normal_force(h, 4, &v), kNoSensorData);
    EXPECT_EQ(v, 3.0f);
}

TEST_F(TactileTest, TaxelCountsByHandTypeAndDirection) {
    const int type0[12] = {0, 5, 9, 9, 9, 9, 9, 9, 9, 5, 9, 26};
    for (int ch = 1; ch <= 11; ++ch) EXPECT_EQ(pressure(ch).size(), static_cast<std::size_t>(type0[ch]));
    EXPECT_EQ(h.channel_format[3], 1);
    EXPECT_EQ(h.channel_format[11], 0);

    float x[1], y[1];
    int n = 1;
    EXPECT_EQ(set_hand_direction(h, 1), kOk);
    EXPECT_EQ(h.hand_direction.load(), 1);
    EXPECT_EQ(get_finger_sensor_pos(h, 11, x, y, &n), kOk);
    EXPECT_EQ(x[0], 1.0f - 0.74f);

    use_hand_type(1);
    for (int ch = 1; ch <= 10; ++ch) EXPECT_EQ(pressure(ch).size(), 12u);
    EXPECT_EQ(pressure(11).size(), 36u);
    for (int ch = 1; ch <= 11; ++ch) EXPECT_EQ(h.channel_format[ch], 0) << "channel " << ch;
    n = 1;
    EXPECT_EQ(get_finger_sensor_pos(h, 11, x, y, &n), kOk);
    EXPECT_EQ(x[0], 0.37f);  // direction 1 is the unmirrored side here

    use_hand_type(2);
    for (int ch = 1; ch <= 11; ++ch) EXPECT_EQ(pressure(ch).size(), 9u);
    EXPECT_EQ(h.channel_format[11], 0);
    EXPECT_EQ(h.channel_format[0], 0);
    EXPECT_EQ(h.channel_format[12], 0);
}

TEST_F(TactileTest, RebuildClearsReadings) {
    decode(0, 1, kFullBlock);
    EXPECT_EQ(set_hand_direction(h, 0), kOk);
    EXPECT_EQ(pressure(3), std::vector<float>(9, 0.0f));
    EXPECT_EQ(list(get_finger_normal_force_ex, 3), (std::vector<float>{0.0f, 0.0f}));
}

TEST_F(TactileTest, SensorOrder) {
    const int order[] = {2, 4};
    EXPECT_EQ(set_sensor_order(h, order, 2), kOk);
    const int expected[] = {2, 4, 5, 7, 9, 11, 0};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(h.sensor_map[i], expected[i]);
    decode(0, 1, kFullBlock);
    EXPECT_FLOAT_EQ(pressure(4)[0], 1.0f);
    EXPECT_EQ(pressure(3)[0], 0.0f);

    const int dup[] = {1, 1};
    const int zero[] = {0};
    const int twelve[] = {12};
    const int thirteen[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(set_sensor_order(h, dup, 2), kBadArgument);
    EXPECT_EQ(set_sensor_order(h, zero, 1), kBadArgument);
    EXPECT_EQ(set_sensor_order(h, twelve, 1), kBadArgument);
    EXPECT_EQ(set_sensor_order(h, thirteen, 13), kBadArgument);
    EXPECT_EQ(set_sensor_order(h, order, 0), kBadArgument);
    EXPECT_EQ(set_sensor_order(h, nullptr, 1), kBadArgument);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(h.sensor_map[i], expected[i]);

    const int swapped[] = {11, 2};
    EXPECT_EQ(set_sensor_order(h, swapped, 2), kOk);
    EXPECT_EQ(h.sensor_map[0], 11);
    EXPECT_EQ(h.sensor_map[1], 2);
    EXPECT_EQ(h.sensor_map[2], 5);
}

TEST_F(TactileTest, PressureResetSendsThreeModeRequests) {
    struct Sent {
        std::vector<uint8_t> body;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<Sent> sent;
    send_canfd_callback send = [&](unsigned, const uint8_t* data, unsigned len, int) {
        sent.push_back({std::vector<uint8_t>(data, data + len), std::chrono::steady_clock::now()});
        return true;
    };
    h.bus_kind.store(1);
    h.active_send_canfd = &send;
    h.joint_mode.fill(3);
    h.joint_command.fill(5);

    EXPECT_EQ(set_finger_pressure_reset(h), kOk);
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t commands[3] = {0x00, 0x0B, 0x00};
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint8_t>& b = sent[k].body;
        ASSERT_EQ(b.size(), 14u) << "request " << k;
        EXPECT_EQ(b[0], 0x01);
        EXPECT_EQ(b[1], 0x06);
        for (int j = 0; j < 6; ++j) {
            EXPECT_EQ(b[2 + 2 * j] & 0x07, 0) << "mode of joint " << j;
            EXPECT_EQ(b[3 + 2 * j], commands[k]) << "request " << k << " joint " << j;
        }
    }
    // The CAN-FD spacing is 5 ms; only the lower bound holds on a loaded machine.
    EXPECT_GE(sent[1].at - sent[0].at, std::chrono::milliseconds(4));
    EXPECT_GE(sent[2].at - sent[1].at, std::chrono::milliseconds(4));
    for (int i = 0; i < kJointSlots; ++i) {
        EXPECT_EQ(h.joint_mode[i], 0);
        EXPECT_EQ(h.joint_command[i], 0);
    }
}

}  // namespace
}  // namespace morvx
