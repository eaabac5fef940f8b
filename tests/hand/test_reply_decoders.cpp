// Reply decoders against hand-built replies: layouts, rejections, truncated
// and oversized input.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "protocol_helpers.h"
#include "reply_layout_table.h"
#include "rs485_bus_context.h"
#include "test_frame_support.h"

namespace morvx {
namespace test {
namespace {

using DecoderTest = HandFixture;

ByteView view(const Bytes& b) { return ByteView(b.data(), b.size()); }

void put16(Bytes& b, std::size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// 0x50 reply for six joints: items of (position 100 * (j + 1), velocity -200,
// current j + 1); the status bytes after all eight item places, at 50..55.
Bytes status_reply_50() {
    Bytes b(56, 0);
    b[0] = 0x50;
    b[1] = 0x06;
    for (int j = 0; j < 6; ++j) {
        put16(b, 2 + 6 * j, static_cast<uint16_t>(100 * (j + 1)));
        put16(b, 4 + 6 * j, static_cast<uint16_t>(-200));
        put16(b, 6 + 6 * j, static_cast<uint16_t>(j + 1));
        b[50 + j] = static_cast<uint8_t>(0x10 + j);
    }
    return b;
}

Bytes rs485_reply(uint8_t start, uint8_t node, const Bytes& body) {
    Bytes f(body.size() + 2);
    f[0] = start;
    f[1] = node;
    std::copy(body.begin(), body.end(), f.begin() + 2);
    const uint16_t crc = crc16_modbus(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

TEST_F(DecoderTest, CanfdStatusReplyFillsJoints) {
    make_hand(1);
    hand->canfd_node_id = 2;
    const Bytes b = status_reply_50();
    ASSERT_EQ(decode_canfd(*hand, 0x482, view(b)), 0);
    for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(hand->raw_position.read(j), 100 * (j + 1));
        EXPECT_EQ(hand->now_position_velocity.read(j), -2000);
        EXPECT_EQ(hand->now_current.read(j), j + 1);
        EXPECT_EQ(hand->status_byte.read(j), 0x10 + j);
    }
    // Joint 1 spans 60 degrees on hand type 0: -2000 * 60 / 10000.
    EXPECT_FLOAT_EQ(hand->now_angular_velocity.read(0), -12.0f);
    EXPECT_EQ(hand->raw_position.read(6), 0);
}

TEST_F(DecoderTest, CountAboveActiveJointsIsLowered) {
    make_hand(1);
    Bytes b = status_reply_50();
    b[1] = 9;
    ASSERT_EQ(decode_canfd(*hand, 0x481, view(b)), 0);
    EXPECT_EQ(hand->status_byte.read(5), 0x15);
    EXPECT_EQ(hand->raw_position.read(6), 0);
}

TEST_F(DecoderTest, ShortOrUnknownStatusReplyIsRejected) {
    make_hand(1);
    Bytes b = status_reply_50();
    b.pop_back();  // 55 bytes: the sixth status byte is missing
    EXPECT_EQ(decode_canfd(*hand, 0x481, view(b)), 8);
    EXPECT_EQ(hand->raw_position.read(0), 0);
    Bytes unknown = status_reply_50();
    unknown[0] = 0x57;
    EXPECT_EQ(decode_canfd(*hand, 0x481, view(unknown)), 8);
    EXPECT_EQ(decode_canfd(*hand, 0x481, view(Bytes{0x50, 0x06})), 8);
    EXPECT_EQ(decode_status_reply(*hand, view(Bytes{0x50, 0x00, 0x00})), 8);  // needs 50 bytes even for 0 joints
    EXPECT_EQ(decode_status_reply(*hand, ByteView()), 8);
    EXPECT_EQ(hand->status_byte.read(0), 0);
}

TEST_F(DecoderTest, CanfdChecksBusKindLengthAndId) {
    make_hand(0);
    const Bytes b = status_reply_50();
    EXPECT_EQ(decode_canfd(*hand, 0x481, view(b)), 8);
    hand->bus_kind = 1;
    EXPECT_EQ(decode_canfd(*hand, 0x123, view(b)), 0);  // other ids are ignored
    EXPECT_EQ(hand->raw_position.read(0), 0);
    EXPECT_EQ(decode_canfd(*hand, 0x481, ByteView(b.data(), 2)), 8);
}

TEST_F(DecoderTest, StatusItemReplyMasksAlarm) {
    make_hand(1);
    Bytes b(14, 0);
    b[0] = 0x5A;
    b[1] = 6;
    for (int j = 0; j < 6; ++j) {
        b[2 + 2 * j] = static_cast<uint8_t>(0x40 + j);
        b[3 + 2 * j] = 0x93;
    }
    ASSERT_EQ(decode_canfd(*hand, 0x481, view(b)), 0);
    EXPECT_EQ(hand->status_byte.read(3), 0x43);
    EXPECT_EQ(hand->alarm_byte.read(3), 0x03);
    b.pop_back();
    EXPECT_EQ(decode_canfd(*hand, 0x481, view(b)), 8);
}

TEST_F(DecoderTest, ReplyWithoutVelocityReadsCurrentAfterPosition) {
    make_hand(1);
    // 0x55: items of 4 bytes (position, current), 12 item places, then status.
    Bytes b(2 + 48 + 6, 0);
    b[0] = 0x55;
    b[1] = 6;
    put16(b, 2, 1234);
    put16(b, 4, static_cast<uint16_t>(-7));
    b[50] = 0x11;
    ASSERT_EQ(decode_status_reply(*hand, view(b)), 0);
    EXPECT_EQ(hand->raw_position.read(0), 1234);
    EXPECT_EQ(hand->now_current.read(0), -7);
    EXPECT_EQ(hand->status_byte.read(0), 0x11);
    EXPECT_EQ(hand->now_position_velocity.read(0), 0);
}

TEST_F(DecoderTest, WideVelocityFieldsKeepTheirValue) {
    make_hand(1);
    Bytes b = status_reply_50();
    put16(b, 4, static_cast<uint16_t>(-4000));
    put16(b, 10, 30000);
    ASSERT_EQ(decode_canfd(*hand, 0x481, view(b)), 0);
    EXPECT_EQ(hand->now_position_velocity.read(0), -40000);
    EXPECT_EQ(hand->now_position_velocity.read(1), 300000);
}

TEST_F(DecoderTest, SensorReplyChecksLengthAndChannels) {
    make_hand(1);
    Bytes b(2 + 2 * 30, 0);
    b[0] = 0x72;  // two blocks, items 0 and 1 -> channels 1 and 3
    b[1] = 2;
    b[2] = 255;   // first pressure byte of channel 1 (full block, /255)
    b[32] = 51;   // first pressure byte of channel 3
    ASSERT_EQ(decode_status_reply(*hand, view(b)), 0);
    EXPECT_EQ(hand->sensor_channels[1].sequence.load(), 2u);
    EXPECT_EQ(hand->sensor_channels[3].sequence.load(), 2u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 1).pressure.at(0), 1.0f);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 3).pressure.at(0), 0.2f);
    b.pop_back();
    EXPECT_EQ(decode_status_reply(*hand, view(b)), 8);
    EXPECT_EQ(hand->sensor_channels[1].sequence.load(), 2u);
}

TEST_F(DecoderTest, TpdoRejectsShortImagesAndOtherBuses) {
    make_hand(0);
    Bytes img(191, 0);
    EXPECT_EQ(decode_tpdo(*hand, view(img)), 8);
    img.resize(192);
    hand->bus_kind = 1;
    EXPECT_EQ(decode_tpdo(*hand, view(img)), 8);
}

TEST_F(DecoderTest, TpdoJointImageFillsAllSlots) {
    make_hand(0);
    Bytes img(192, 0);
    img[0] = 0x00;
    for (int i = 0; i < 27; ++i) {
        put16(img, 2 + 6 * i, static_cast<uint16_t>(1000 + i));
        put16(img, 4 + 6 * i, static_cast<uint16_t>(-200));
        put16(img, 6 + 6 * i, static_cast<uint16_t>(-i));
        img[164 + i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->raw_position.read(26), 1026);
    EXPECT_EQ(hand->now_current.read(26), -26);
    EXPECT_EQ(hand->status_byte.read(26), 26);
    EXPECT_EQ(hand->now_position_velocity.read(13), -2000);
    for (int c = 0; c < 12; ++c) EXPECT_EQ(hand->sensor_channels[c].sequence.load(), 0u);
}

TEST_F(DecoderTest, TpdoSensorImageOfSeventhItem) {
    make_hand(0);
    hand->sensor_map[6] = 4;
    Bytes img(192, 0);
    img[0] = 0x41;
    img[2] = 255;
    img[32] = 255;  // first byte of what would be a second block: not read
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->sensor_channels[4].sequence.load(), 2u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 4).pressure.at(0), 1.0f);
    for (int c : {0, 1, 3, 5}) EXPECT_EQ(hand->sensor_channels[c].sequence.load(), 0u) << c;
}

TEST_F(DecoderTest, TpdoOversizedImageIsFine) {
    make_hand(0);
    Bytes img(4096, 0x7F);
    img[0] = 0x06;
    EXPECT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->raw_position.read(5), 0x7F7F);
}

// ---- RS485 ---------------------------------------------------------------------

TEST_F(DecoderTest, Rs485FrameChecksLengthAndCrc) {
    make_hand(2);
    EXPECT_EQ(handle_rs485_frame(*hand, view(Bytes{'H', 1, 0})), 8);
    Bytes f = rs485_reply('H', 1, {0xD0, 0x00});
    f.back() ^= 1;
    EXPECT_EQ(handle_rs485_frame(*hand, view(f)), 8);
}

TEST_F(DecoderTest, Rs485StatusReplyForOwnNode) {
    make_hand(2);
    Bytes body(44, 0);  // 0xD0: six 6-byte items, then six status bytes
    body[0] = 0xD0;
    body[1] = 42;       // the frame's length byte doubles as the count: lowered to 6
    put16(body, 2, 4321);
    body[38] = 0x10;
    body[43] = 0x15;
    ASSERT_EQ(handle_rs485_frame(*hand, view(rs485_reply('H', 1, body))), 0);
    EXPECT_EQ(hand->raw_position.read(0), 4321);
    EXPECT_EQ(hand->status_byte.read(0), 0x10);
    EXPECT_EQ(hand->status_byte.read(5), 0x15);
}

TEST_F(DecoderTest, Rs485ReplyForAnotherNodeChangesNothing) {
    make_hand(2);
    Bytes body(44, 0x11);
    body[0] = 0xD0;
    body[1] = 42;
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('H', 2, body))), 0);
    EXPECT_EQ(hand->raw_position.read(0), 0);
    EXPECT_EQ(hand->status_byte.read(0), 0);
    // Any other start byte for our node: nothing to decode.
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('Q', 1, body))), 0);
}

TEST_F(DecoderTest, Rs485ShortStatusReplyIsZeroPadded) {
    make_hand(2);
    // A 0xDA reply of 4 bytes: its count (the length byte) is 4, so joints 3
    // and 4 are read from the zero padding; joint 5 is not touched.
    set_all_status(0x55);
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('H', 1, {0xDA, 0x04, 0x41, 0x00, 0x42, 0x00}))), 0);
    EXPECT_EQ(hand->status_byte.read(0), 0x41);
    EXPECT_EQ(hand->status_byte.read(1), 0x42);
    EXPECT_EQ(hand->status_byte.read(2), 0x00);
    EXPECT_EQ(hand->status_byte.read(3), 0x00);
    EXPECT_EQ(hand->status_byte.read(4), 0x55);
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('H', 1, {}))), 8);  // code 0: no layout
}

TEST_F(DecoderTest, Rs485RoutesParameterAndOtaReplies) {
    make_hand(2);
    // Model code 3 via an 'X' frame: CAN-FD, hand type 1.
    Bytes x = rs485_reply('X', 1, {0x4B, 0x0E, 0x20, 0x1D, 0x03, 0x00, 0x00, 0x00});
    ASSERT_EQ(x.size(), 12u);
    EXPECT_EQ(handle_rs485_frame(*hand, view(x)), 0);
    EXPECT_EQ(hand->bus_kind.load(), 1);
    EXPECT_EQ(hand->hand_type.load(), 1);
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('X', 1, {0x4C, 0, 0, 0, 0, 0, 0, 0}))), 3);

    hand->bus_kind = 2;
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('p', 1, {0x01, 0x02, 0x03}))), 0);
    uint8_t buf[8] = {};
    int n = 8;
    ASSERT_EQ(get_ota_recv_data(*hand, buf, &n), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(buf[2], 0x03);
}

TEST_F(DecoderTest, Rs485OtaRepliesOfEveryLengthAreKeptWhole) {
    // Length bytes 0 to 64: bodies (first byte, length byte, the rest) of 2 to 66 bytes.
    make_hand(2);
    for (int d = 0; d <= 64; ++d) {
        Bytes body{0xA5, static_cast<uint8_t>(d)};
        for (int i = 0; i < d; ++i) body.push_back(static_cast<uint8_t>(d + i));
        ASSERT_EQ(handle_rs485_frame(*hand, view(rs485_reply('p', 1, body))), 0) << "length byte " << d;
        uint8_t out[80];
        std::fill(std::begin(out), std::end(out), 0xEE);
        int n = sizeof out;
        ASSERT_EQ(get_ota_recv_data(*hand, out, &n), 0);
        ASSERT_EQ(Bytes(out, out + n), body) << "length byte " << d;
    }
}

TEST_F(DecoderTest, Rs485RawBytesNeedAContext) {
    make_hand(1);
    const Bytes b{1, 2, 3};
    EXPECT_EQ(decode_rs485(*hand, view(b)), 8);
    hand->bus_kind = 2;
    EXPECT_EQ(decode_rs485(*hand, ByteView()), 0);
    EXPECT_EQ(decode_rs485(*hand, view(b)), 2);
}

TEST_F(DecoderTest, Rs485RawBytesReachTheHandThroughItsContext) {
    make_hand(2);
    auto context = std::make_shared<RS485SharedBusContext>();
    auto endpoint = std::make_shared<RS485NodeEndpoint>(hand.get(), 1);
    ASSERT_TRUE(context->register_endpoint(endpoint));
    hand->bus_context = context;
    hand->bus_endpoint = endpoint;
    Bytes body(44, 0);
    body[0] = 0xD0;
    body[1] = 42;  // length byte of the wire frame
    put16(body, 2, 777);
    const Bytes frame = rs485_reply('H', 1, body);
    // Split in two chunks: the reply is decoded once its last byte arrived.
    EXPECT_EQ(decode_rs485(*hand, ByteView(frame.data(), 10)), 0);
    EXPECT_EQ(hand->raw_position.read(0), 0);
    EXPECT_EQ(decode_rs485(*hand, ByteView(frame.data() + 10, frame.size() - 10)), 0);
    EXPECT_EQ(hand->raw_position.read(0), 777);

    context->unregister_endpoint(endpoint);
    {
        std::lock_guard<std::mutex> lock(endpoint->mutex);
        endpoint->owner = nullptr;
    }
    hand->bus_endpoint.reset();
    hand->bus_context.reset();
}

// ---- CAN-FD parameter and OTA routing -------------------------------------------------

TEST_F(DecoderTest, CanfdRoutesParameterAndOtaReplies) {
    make_hand(1);
    EXPECT_EQ(decode_canfd(*hand, 0x581, view(Bytes{0x4B, 0x0E, 0x20, 0x1D, 0x03, 0x00})), 0);
    EXPECT_EQ(hand->hand_type.load(), 1);
    EXPECT_EQ(decode_canfd(*hand, 0x581, view(Bytes{0x4B, 0x0E, 0x20})), 3);
    EXPECT_EQ(decode_canfd(*hand, 0x7001, view(Bytes{7, 7, 7, 7})), 0);
    int n = 0;
    ASSERT_EQ(get_ota_recv_data(*hand, nullptr, &n), 0);
    EXPECT_EQ(n, 4);
    // A CAN-FD frame carries at most 64 bytes.
    EXPECT_EQ(decode_canfd(*hand, 0x7001, view(Bytes(64, 7))), 0);
    EXPECT_EQ(decode_canfd(*hand, 0x7001, view(Bytes(65, 7))), 8);
}

// ---- receive log --------------------------------------------------------------------

std::vector<std::string>& recv_lines() {
    static std::vector<std::string> lines;
    return lines;
}
void collect_recv(const char* line) { recv_lines().push_back(line); }

TEST_F(DecoderTest, ReceivedFramesAreLoggedUnlessRejected) {
    make_hand(1);
    recv_lines().clear();
    hand->frame_log.set_callback(&collect_recv);
    hand->frame_log.log_on(true, 10000);
    const int codes[] = {0x4B, 0xD0};
    hand->frame_log.set_filter(false, codes, 2);
    // Another id is still logged; a frame of 2 bytes is rejected unlogged.
    EXPECT_EQ(decode_canfd(*hand, 0x123, view(Bytes{0x4B, 0x01, 0x02})), 0);
    EXPECT_EQ(decode_canfd(*hand, 0x581, view(Bytes{0x4B, 0x01})), 8);
    ASSERT_EQ(recv_lines().size(), 1u);
    EXPECT_EQ(recv_lines()[0], "Recv:  4B 01 02 = ok");

    // RS485 status replies are logged as their 64-byte payload.
    hand->bus_kind = 2;
    Bytes body(44, 0);
    body[0] = 0xD0;
    body[1] = 42;
    EXPECT_EQ(handle_rs485_frame(*hand, view(rs485_reply('H', 1, body))), 0);
    ASSERT_EQ(recv_lines().size(), 2u);
    EXPECT_EQ(recv_lines()[1].size(), 6u + 3u * 64u + 5u);
    EXPECT_EQ(recv_lines()[1].substr(0, 15), "Recv:  D0 06 00");  // count lowered to 6
    hand->frame_log.set_callback(nullptr);
}

// ---- classic CAN ---------------------------------------------------------------------

TEST_F(DecoderTest, ClassicCanReplyFields) {
    make_hand(3, 0);
    // Status 0x11, position 2047, speed 0xFFF (-1), current 80.
    const Bytes b{0xA1, 0x11, 0xFF, 0xF7, 0xFF, 0x50, 0x00, 0x00};
    ASSERT_EQ(decode_can(*hand, 0x103, b.data(), 8), 0);
    EXPECT_EQ(hand->status_byte.read(2), 0x11);
    EXPECT_EQ(hand->raw_position.read(2), 2047);
    EXPECT_FLOAT_EQ(hand->now_angular_velocity.read(2), -0.08f);  // -1 * 0.001 * 80
    EXPECT_EQ(hand->now_position_velocity.read(2), -10);          // -1 * 0.001 * 10000
    EXPECT_EQ(hand->now_current.read(2), 1000);                   // 80 * 10 * 1000 / 800
    // 2047 of 4095 counts over 0..10000.
    EXPECT_EQ(hand->now_position.read(2), 4998);
}

TEST_F(DecoderTest, ClassicCanPositionEnds) {
    make_hand(3, 0);
    const Bytes top{0xA0, 0x00, 0xFF, 0x0F, 0, 0, 0, 0};
    ASSERT_EQ(decode_can(*hand, 0x101, top.data(), 8), 0);
    EXPECT_EQ(hand->now_position.read(0), 10000);
    EXPECT_FLOAT_EQ(hand->now_angle.read(0), 60.0f);
    const Bytes bottom{0xAA, 0x00, 0x00, 0x00, 0, 0, 0, 0};
    ASSERT_EQ(decode_can(*hand, 0x101, bottom.data(), 8), 0);
    EXPECT_EQ(hand->now_position.read(0), 0);
}

TEST_F(DecoderTest, ClassicCanRejections) {
    make_hand(3, 0);
    const Bytes b{0xA1, 0x11, 0xFF, 0x07, 0, 0, 0, 0};
    EXPECT_EQ(decode_can(*hand, 0xFF, b.data(), 8), 8);
    EXPECT_EQ(decode_can(*hand, 0x100, b.data(), 8), 8);
    EXPECT_EQ(decode_can(*hand, 0x107, b.data(), 8), 8);  // node 7 of a 6-joint hand
    EXPECT_EQ(decode_can(*hand, 0x101, b.data(), 7), 8);
    EXPECT_EQ(decode_can(*hand, 0x101, nullptr, 8), 8);
    EXPECT_EQ(decode_can(*hand, 0xFFFFFFFFu, b.data(), 8), 8);
    const Bytes other{0xB0, 0x11, 0xFF, 0x07, 0, 0, 0, 0};
    EXPECT_EQ(decode_can(*hand, 0x101, other.data(), 8), 0);
    EXPECT_EQ(hand->status_byte.read(0), 0);
    hand->bus_kind = 1;
    EXPECT_EQ(decode_can(*hand, 0x101, b.data(), 8), 8);
    EXPECT_EQ(hand->raw_position.read(0), 0);
}

TEST_F(DecoderTest, ClassicCanCoupledPairAngles) {
    make_hand(3, 2);
    // Joint 2 = node 1, joint 3 = node 2: servo counts 1820 and 1365 are
    // side 10 and flexion 30 degrees.
    const Bytes a{0xA0, 0x00, 0x1C, 0x07, 0, 0, 0, 0};  // 0x71C = 1820
    const Bytes b{0xA0, 0x00, 0x55, 0x05, 0, 0, 0, 0};  // 0x555 = 1365
    ASSERT_EQ(decode_can(*hand, 0x101, a.data(), 8), 0);
    ASSERT_EQ(decode_can(*hand, 0x102, b.data(), 8), 0);
    EXPECT_NEAR(hand->now_angle.read(1), 10.0f, 1e-3);
    EXPECT_NEAR(hand->now_angle.read(2), 30.0f, 1e-3);
}

TEST_F(DecoderTest, ClassicCanCoupledPairSwapsTheFirstPairOnDirectionOne) {
    make_hand(3, 2);
    hand->hand_direction = 1;
    // The first pair's servos are mounted the other way round: node 1 reports
    // the flexion servo (1365), node 2 the side servo (1820).
    const Bytes a{0xA0, 0x00, 0x55, 0x05, 0, 0, 0, 0};
    const Bytes b{0xA0, 0x00, 0x1C, 0x07, 0, 0, 0, 0};
    ASSERT_EQ(decode_can(*hand, 0x101, a.data(), 8), 0);
    ASSERT_EQ(decode_can(*hand, 0x102, b.data(), 8), 0);
    EXPECT_NEAR(hand->now_angle.read(1), 10.0f, 1e-3);
    EXPECT_NEAR(hand->now_angle.read(2), 30.0f, 1e-3);
}

// ---- layout tables ---------------------------------------------------------------------

TEST(ReplyLayouts, EveryRowOfTheStatusReplyTable) {
    // code, count, first, item size, position, velocity, current, sensor, status in item
    const uint8_t rows[20][9] = {
        {0x50, 8, 0, 6, 1, 1, 1, 0, 0},   {0x51, 8, 8, 6, 1, 1, 1, 0, 0},   {0x52, 8, 16, 6, 1, 1, 1, 0, 0},
        {0x53, 12, 0, 4, 1, 1, 0, 0, 0},  {0x54, 12, 12, 4, 1, 1, 0, 0, 0}, {0x55, 12, 0, 4, 1, 0, 1, 0, 0},
        {0x56, 12, 12, 4, 1, 0, 1, 0, 0}, {0x5A, 30, 0, 2, 0, 0, 0, 0, 1},  {0x70, 5, 0, 12, 0, 0, 0, 1, 0},
        {0x71, 1, 5, 36, 0, 0, 0, 1, 0},  {0x72, 2, 0, 30, 0, 0, 0, 1, 0},  {0x73, 2, 2, 30, 0, 0, 0, 1, 0},
        {0x74, 2, 4, 30, 0, 0, 0, 1, 0},  {0xD0, 6, 0, 6, 1, 1, 1, 0, 0},   {0xDA, 6, 0, 2, 0, 0, 0, 0, 1},
        {0xF0, 5, 0, 12, 0, 0, 0, 1, 0},  {0xF1, 1, 5, 36, 0, 0, 0, 1, 0},  {0xF2, 2, 0, 30, 0, 0, 0, 1, 0},
        {0xF3, 2, 2, 30, 0, 0, 0, 1, 0},  {0xF4, 2, 4, 30, 0, 0, 0, 1, 0},
    };
    ASSERT_EQ(reply_layout_table.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        const ReplyLayout& r = reply_layout_table[static_cast<std::size_t>(i)];
        const uint8_t got[9] = {r.code,         r.count,       r.first,     r.item_size,     r.has_position,
                                r.has_velocity, r.has_current, r.is_sensor, r.status_in_item};
        for (int k = 0; k < 9; ++k) EXPECT_EQ(got[k], rows[i][k]) << "row " << i << " field " << k;
        EXPECT_EQ(find_reply_layout(rows[i][0]), &r) << "row " << i;
    }
    for (uint8_t code : {0x00, 0x4F, 0x57, 0x59, 0x5B, 0x6F, 0x75, 0xCF, 0xD1, 0xD5, 0xEF, 0xF5, 0xFF})
        EXPECT_EQ(find_reply_layout(code), nullptr) << int(code);
}

TEST(ReplyLayouts, TpdoLayoutByCode) {
    struct Row {
        uint8_t code;
        int joints, status_offset, block_start, block_count;
        std::array<int, 6> sizes;
        int first_item;
    };
    const Row rows[] = {
        {0x00, 27, 164, 0, 0, {{0, 0, 0, 0, 0, 0}}, 0},
        {1, 16, 98, 114, 6, {{0, 0, 0, 0, 0, 0}}, 0},
        {2, 16, 98, 114, 6, {{0, 0, 0, 0, 0, 0}}, 0},
        {3, 12, 74, 86, 6, {{0, 0, 0, 0, 0, 0}}, 0},
        {5, 12, 74, 86, 6, {{0, 0, 0, 0, 0, 0}}, 0},
        {6, 6, 38, 44, 6, {{24, 24, 24, 24, 24, 26}}, 0},
        {10, 6, 38, 44, 6, {{24, 24, 24, 24, 24, 26}}, 0},
        {11, 4, 26, 30, 6, {{24, 24, 24, 24, 24, 26}}, 0},
        {16, 4, 26, 30, 6, {{24, 24, 24, 24, 24, 26}}, 0},
        {0x40, 0, 0, 2, 6, {{30, 30, 30, 30, 30, 30}}, 0},
        {0x41, 0, 0, 2, 1, {{30, 30, 30, 30, 30, 30}}, 6},
    };
    for (const Row& r : rows) {
        const TpdoLayout l = find_tpdo_layout(r.code);
        EXPECT_EQ(l.joints, r.joints) << int(r.code);
        EXPECT_EQ(l.status_offset, r.status_offset) << int(r.code);
        EXPECT_EQ(l.block_count, r.block_count) << int(r.code);
        if (r.block_count > 0) {
            EXPECT_EQ(l.block_start, r.block_start) << int(r.code);
            EXPECT_EQ(l.first_item, r.first_item) << int(r.code);
            for (int k = 0; k < r.block_count; ++k) EXPECT_EQ(l.block_size[k], r.sizes[k]) << int(r.code) << " " << k;
        }
    }
    for (uint8_t code : {17, 0x20, 0x3F, 0x42, 0x50, 0xFF}) {
        const TpdoLayout l = find_tpdo_layout(code);
        EXPECT_EQ(l.joints, 0) << int(code);
        EXPECT_EQ(l.block_count, 0) << int(code);
    }
}

// Each sensor item goes to its own channel, all of them full-format blocks.
void map_items_to_channels(HandCore& h) {
    for (int i = 0; i < 7; ++i) h.sensor_map[i] = i + 1;
}

TEST_F(DecoderTest, TpdoFingerImagesPlaceJointsStatusAndBlocks) {
    make_hand(0);
    map_items_to_channels(*hand);
    // Code 11: four joints, status bytes at 26, blocks from 30 (24 x 5, 26).
    Bytes img(192, 0);
    img[0] = 11;
    put16(img, 2 + 6 * 3, 777);
    img[26 + 3] = 0x33;
    img[30 + 24 * 5] = 255;  // first byte of the sixth block -> channel 6
    img[30 + 24 * 5 - 1] = 0xEE;
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->raw_position.read(3), 777);
    EXPECT_EQ(hand->status_byte.read(3), 0x33);
    EXPECT_EQ(hand->raw_position.read(4), 0);  // slot 4 is not in this layout
    for (int c = 1; c <= 6; ++c) EXPECT_EQ(hand->sensor_channels[c].sequence.load(), 2u) << c;
    EXPECT_EQ(hand->sensor_channels[7].sequence.load(), 0u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 6).pressure.at(0), 1.0f);

    // Code 6: six joints, status bytes at 38, blocks from 44.
    img.assign(192, 0);
    img[0] = 6;
    img[38 + 5] = 0x55;
    img[44 + 24] = 51;  // first byte of the second block -> channel 2
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->status_byte.read(5), 0x55);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 2).pressure.at(0), 0.2f);
}

TEST_F(DecoderTest, TpdoSensorImageOfSixBlocks) {
    make_hand(0);
    map_items_to_channels(*hand);
    Bytes img(192, 0);
    img[0] = 0x40;
    img[2 + 30 * 5] = 255;  // sixth block, item 5 -> channel 6
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    for (int c = 1; c <= 6; ++c) EXPECT_EQ(hand->sensor_channels[c].sequence.load(), 2u) << c;
    EXPECT_EQ(hand->sensor_channels[7].sequence.load(), 0u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 6).pressure.at(0), 1.0f);
}

TEST_F(DecoderTest, SensorRepliesStartAtTheirFirstItem) {
    make_hand(1);
    map_items_to_channels(*hand);
    // 0x71: one 36-byte block, item 5 -> channel 6.
    Bytes b(2 + 36, 0);
    b[0] = 0x71;
    b[2] = 255;
    ASSERT_EQ(decode_status_reply(*hand, view(b)), 0);
    EXPECT_EQ(hand->sensor_channels[6].sequence.load(), 2u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 6).pressure.at(0), 1.0f);
    b.pop_back();
    EXPECT_EQ(decode_status_reply(*hand, view(b)), 8);

    // 0xF3 (RS485 answer to poll 0x73): items 2 and 3 -> channels 3 and 4.
    Bytes f(2 + 60, 0);
    f[0] = 0xF3;
    f[32] = 51;
    ASSERT_EQ(decode_status_reply(*hand, view(f)), 0);
    EXPECT_EQ(hand->sensor_channels[3].sequence.load(), 2u);
    EXPECT_EQ(hand->sensor_channels[4].sequence.load(), 2u);
    EXPECT_EQ(hand->sensor_channels[5].sequence.load(), 0u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 4).pressure.at(0), 0.2f);

    // 0x70: five 12-byte blocks from item 0 -> channels 1 to 5.
    Bytes g(2 + 60, 0);
    g[0] = 0x70;
    ASSERT_EQ(decode_status_reply(*hand, view(g)), 0);
    EXPECT_EQ(hand->sensor_channels[1].sequence.load(), 2u);
    EXPECT_EQ(hand->sensor_channels[4].sequence.load(), 4u);  // also written by the 0xF3 reply
    EXPECT_EQ(hand->sensor_channels[5].sequence.load(), 2u);
    EXPECT_EQ(hand->sensor_channels[6].sequence.load(), 2u);  // item 5 is not in this layout
}

TEST_F(DecoderTest, PositionAndVelocityReplyHasNoCurrent) {
    make_hand(1);
    hand->now_current.write(0, 99);
    hand->now_current.publish();
    // 0x53: 4-byte items (position, velocity), 12 item places, then status.
    Bytes b(2 + 48 + 6, 0);
    b[0] = 0x53;
    b[1] = 6;
    put16(b, 2, 2345);
    put16(b, 4, static_cast<uint16_t>(-3));
    b[50] = 0x12;
    ASSERT_EQ(decode_status_reply(*hand, view(b)), 0);
    EXPECT_EQ(hand->raw_position.read(0), 2345);
    EXPECT_EQ(hand->now_position_velocity.read(0), -30);
    EXPECT_EQ(hand->now_current.read(0), 99);
    EXPECT_EQ(hand->status_byte.read(0), 0x12);
    b.pop_back();
    EXPECT_EQ(decode_status_reply(*hand, view(b)), 8);
}

}  // namespace
}  // namespace test
}  // namespace morvx
