// Reply decoders against hand-built replies: layouts, rejections, truncated
// and oversized input.
#include <gtest/gtest.h>

#include <string>

#include "protocol_helpers.h"
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
    EXPECT_EQ(hand->channel_sequence[1].load(), 2u);
    EXPECT_EQ(hand->channel_sequence[3].load(), 2u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 1).pressure.at(0), 1.0f);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 3).pressure.at(0), 0.2f);
    b.pop_back();
    EXPECT_EQ(decode_status_reply(*hand, view(b)), 8);
    EXPECT_EQ(hand->channel_sequence[1].load(), 2u);
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
    for (int c = 0; c < 12; ++c) EXPECT_EQ(hand->channel_sequence[c].load(), 0u);
}

TEST_F(DecoderTest, TpdoSensorImageOfSeventhItem) {
    make_hand(0);
    hand->sensor_map[6] = 4;
    Bytes img(192, 0);
    img[0] = 0x41;
    img[2] = 255;
    img[32] = 255;  // first byte of what would be a second block: not read
    ASSERT_EQ(decode_tpdo(*hand, view(img)), 0);
    EXPECT_EQ(hand->channel_sequence[4].load(), 2u);
    EXPECT_FLOAT_EQ(read_sensor_channel(*hand, 4).pressure.at(0), 1.0f);
    for (int c : {0, 1, 3, 5}) EXPECT_EQ(hand->channel_sequence[c].load(), 0u) << c;
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

}  // namespace
}  // namespace test
}  // namespace morvx
