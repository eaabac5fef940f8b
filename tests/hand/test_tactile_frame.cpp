// Tactile frame decoder: frame finder, binary frame, text line and float
// array parsers, including inputs that are too short or malformed.
#include "tactile_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace morvx {
namespace tactile {
namespace {

// Appends the little-endian checksum (sum of all bytes so far) to a frame.
std::vector<uint8_t> with_checksum(std::vector<uint8_t> frame) {
    unsigned sum = 0;
    for (uint8_t b : frame) sum += b;
    frame.push_back(static_cast<uint8_t>(sum));
    frame.push_back(static_cast<uint8_t>(sum >> 8));
    return frame;
}

// Long frame, 65 bytes, written out by hand:
//   header 55 AA 00 85 00 0C
//   12 readings: 1,000,000 (40 42 0F) then 0x000001 .. 0x00000B
//   triplet 1: normal 1234 (D2 04), tangential 250 (FA 00), direction 90 (5A 00)
//   triplet 2: normal 0, tangential 100 (64 00), direction 0xFFFF
//   group B: 1,500,000 (60 E3 16), 7; group C: 250,000 (90 D0 03)
std::vector<uint8_t> long_frame() {
    return with_checksum({
        0x55, 0xAA, 0x00, 0x85, 0x00, 0x0C,
        0x40, 0x42, 0x0F, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x00,
        0x04, 0x00, 0x00, 0x05, 0x00, 0x00, 0x06, 0x00, 0x00, 0x07, 0x00, 0x00,
        0x08, 0x00, 0x00, 0x09, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x0B, 0x00, 0x00,
        0xD2, 0x04, 0xFA, 0x00, 0x5A, 0x00,
        0x00, 0x00, 0x64, 0x00, 0xFF, 0xFF,
        0x60, 0xE3, 0x16, 0x07, 0x00, 0x00,
        0x90, 0xD0, 0x03,
    });
}

// Short frame, 35 bytes: 6 readings, one triplet, one group B reading.
std::vector<uint8_t> short_frame() {
    return with_checksum({
        0x55, 0xAA, 0x01, 0x85, 0x02, 0x06,
        0x10, 0x00, 0x00, 0x20, 0x00, 0x00, 0x30, 0x00, 0x00,
        0x40, 0x00, 0x00, 0x50, 0x00, 0x00, 0x60, 0x00, 0x00,
        0x0A, 0x00, 0x14, 0x00, 0x1E, 0x00,
        0x60, 0xE3, 0x16,
    });
}

TEST(TactileFrameHelpers, LayoutsAndLittleEndianFields) {
    const FrameLayout long_layout = choose_frame_layout(true);
    EXPECT_EQ(long_layout.group_a, 9);
    EXPECT_EQ(long_layout.group_b, 2);
    EXPECT_EQ(long_layout.group_c, 1);
    EXPECT_EQ(long_layout.triplets, 2);
    EXPECT_EQ(long_layout.total_channels(), 12);
    const FrameLayout short_layout = choose_frame_layout(false);
    EXPECT_EQ(short_layout.total_channels(), 6);
    EXPECT_EQ(short_layout.triplets, 1);

    const uint8_t u24[] = {0x56, 0x34, 0x12};
    EXPECT_EQ(read_u24_le(u24), 0x123456u);

    const uint8_t wrong[] = {0xFF, 0xFF, 0x02, 0xFE, 0x01};
    EXPECT_FALSE(verify_frame_checksum(wrong, sizeof wrong));
    const uint8_t good[] = {0xFF, 0xFF, 0x02, 0x00, 0x02};  // sum 0x0200, little-endian
    EXPECT_TRUE(verify_frame_checksum(good, sizeof good));
    const uint8_t two[] = {0x00, 0x00};
    EXPECT_TRUE(verify_frame_checksum(two, 2));  // empty sum 0
    EXPECT_FALSE(verify_frame_checksum(two, 1));
    EXPECT_FALSE(verify_frame_checksum(nullptr, 0));
}

TEST(TactileFindFrameEnd, FindsWholeFramesOnly) {
    const auto frame = long_frame();
    EXPECT_EQ(find_frame_end(frame.data(), frame.size()), 65);

    // Trailing bytes of the next frame do not change the end.
    auto stream = frame;
    stream.insert(stream.end(), {0x55, 0xAA, 0x00});
    EXPECT_EQ(find_frame_end(stream.data(), stream.size()), 65);

    // Cut before the checksum: not found.
    EXPECT_EQ(find_frame_end(frame.data(), 64), 0);

    const uint8_t five[] = {0x55, 0xAA, 0x00, 0x85, 0x00};
    EXPECT_EQ(find_frame_end(five, sizeof five), 0);
    EXPECT_EQ(find_frame_end(nullptr, 40), 0);

    // The sum of bytes 0..8 (0x0101) sits at 9..10, but byte 5 announces one
    // reading, so a checksum ending the sum at or before position 9 is refused.
    const uint8_t early[] = {0x80, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0xEE};
    EXPECT_EQ(find_frame_end(early, sizeof early), 0);
    // Byte 5 = 0: the sum of bytes 0..7 (0x0100) at 8..9 ends a 10-byte frame.
    const uint8_t later[] = {0x80, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(find_frame_end(later, sizeof later), 10);
}

TEST(TactileDecodeFrame, LongFrameWithZeroBaselines) {
    const auto frame = long_frame();
    SensorFrameData data;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));

    ASSERT_EQ(data.readings.size(), 12u);
    EXPECT_EQ(data.readings[0], 1000000.0);
    EXPECT_EQ(data.readings[11], 11.0);
    ASSERT_EQ(data.normal_force.size(), 2u);
    EXPECT_DOUBLE_EQ(data.normal_force[0], 12.34);
    EXPECT_DOUBLE_EQ(data.tangential_force[0], 2.5);
    EXPECT_EQ(data.direction[0], 90);
    EXPECT_DOUBLE_EQ(data.normal_force[1], 0.0);
    EXPECT_DOUBLE_EQ(data.tangential_force[1], 1.0);
    EXPECT_EQ(data.direction[1], 0xFFFF);
    ASSERT_EQ(data.group_b.size(), 2u);
    EXPECT_EQ(data.group_b[0], 1500000u);
    EXPECT_EQ(data.group_b[1], 7u);
    ASSERT_EQ(data.group_c.size(), 1u);
    EXPECT_EQ(data.group_c[0], 250000u);

    EXPECT_EQ(data.baseline, std::vector<double>(12, 0.0));
    EXPECT_EQ(data.group_b_baseline, std::vector<uint32_t>(2, 0));
    EXPECT_EQ(data.group_c_baseline, std::vector<uint32_t>(1, 0));
    ASSERT_EQ(data.relative.size(), 12u);
    EXPECT_DOUBLE_EQ(data.relative[0], 0.25);
    ASSERT_EQ(data.group_b_scaled.size(), 2u);
    EXPECT_DOUBLE_EQ(data.group_b_scaled[0], 0.5);
    ASSERT_EQ(data.group_c_scaled.size(), 1u);
    EXPECT_DOUBLE_EQ(data.group_c_scaled[0], 0.25);
}

TEST(TactileDecodeFrame, BaselinesAreKeptAndReadingsBelowThemGiveZero) {
    const auto frame = long_frame();
    SensorFrameData data;
    data.baseline.assign(12, 0.0);
    data.baseline[0] = 2000000.0;  // above the reading 1,000,000
    data.baseline[1] = 0.0;
    data.group_b_baseline = {1000000, 10};
    data.group_c_baseline = {50000};
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));
    EXPECT_EQ(data.relative[0], 0.0);
    EXPECT_DOUBLE_EQ(data.group_b_scaled[0], 500000.0 / 3000000.0);
    EXPECT_EQ(data.group_b_scaled[1], 0.0);  // 7 below baseline 10
    EXPECT_DOUBLE_EQ(data.group_c_scaled[0], 0.2);
    EXPECT_EQ(data.baseline[0], 2000000.0);

    // With baseline b the divisor is 4,000,000 - b.
    data.baseline[0] = 500000.0;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));
    EXPECT_DOUBLE_EQ(data.relative[0], 500000.0 / 3500000.0);

    // A baseline at or above full scale leaves nothing to divide by.
    data.baseline[0] = 4000000.0;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));
    EXPECT_EQ(data.relative[0], 0.0);
    data.baseline[0] = -1e30;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));
}

TEST(TactileDecodeFrame, ShortFrameLayout) {
    const auto frame = short_frame();
    ASSERT_EQ(frame.size(), 35u);
    SensorFrameData data;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), data));
    ASSERT_EQ(data.readings.size(), 6u);
    EXPECT_EQ(data.readings[5], 96.0);
    ASSERT_EQ(data.normal_force.size(), 1u);
    EXPECT_DOUBLE_EQ(data.normal_force[0], 0.1);
    EXPECT_DOUBLE_EQ(data.tangential_force[0], 0.2);
    EXPECT_EQ(data.direction[0], 30);
    ASSERT_EQ(data.group_b.size(), 1u);
    EXPECT_EQ(data.group_b[0], 1500000u);
    EXPECT_TRUE(data.group_c.empty());
    EXPECT_TRUE(data.group_c_scaled.empty());
}

// Baselines sized by a short frame are too short for a long one: the decoder
// must not read past them and keeps values only where a baseline exists.
TEST(TactileDecodeFrame, BaselinesShorterThanReadingsAreNeverOverrun) {
    SensorFrameData data;
    const auto small = short_frame();
    ASSERT_TRUE(decode_sensor_frame(small.data(), small.size(), data));
    ASSERT_EQ(data.baseline.size(), 6u);
    ASSERT_EQ(data.group_b_baseline.size(), 1u);
    ASSERT_TRUE(data.group_c_baseline.empty());

    const auto big = long_frame();
    ASSERT_TRUE(decode_sensor_frame(big.data(), big.size(), data));
    EXPECT_EQ(data.readings.size(), 12u);
    EXPECT_EQ(data.relative.size(), 6u);
    EXPECT_EQ(data.group_b.size(), 2u);
    EXPECT_EQ(data.group_b_scaled.size(), 1u);
    EXPECT_EQ(data.group_c.size(), 1u);
    EXPECT_EQ(data.group_c_scaled.size(), 1u);  // its baseline was still empty, so it was sized now
    EXPECT_EQ(data.baseline.size(), 6u);
}

TEST(TactileDecodeFrame, RejectsBadFramesWithoutTouchingTheRecord) {
    SensorFrameData data;
    data.readings = {42.0};
    auto frame = long_frame();

    auto wrong_type = frame;
    wrong_type[3] = 0x84;
    wrong_type = with_checksum(std::vector<uint8_t>(wrong_type.begin(), wrong_type.end() - 2));
    EXPECT_FALSE(decode_sensor_frame(wrong_type.data(), wrong_type.size(), data));
    auto wrong_sync = frame;
    wrong_sync[1] = 0xAB;
    wrong_sync = with_checksum(std::vector<uint8_t>(wrong_sync.begin(), wrong_sync.end() - 2));
    EXPECT_FALSE(decode_sensor_frame(wrong_sync.data(), wrong_sync.size(), data));
    auto bad_sum = frame;
    bad_sum[10] ^= 1;
    EXPECT_FALSE(decode_sensor_frame(bad_sum.data(), bad_sum.size(), data));
    EXPECT_FALSE(decode_sensor_frame(frame.data(), 3, data));
    EXPECT_FALSE(decode_sensor_frame(nullptr, 65, data));
    EXPECT_EQ(data.readings, std::vector<double>{42.0});
    EXPECT_TRUE(data.baseline.empty());
}

TEST(TactileDecodeFrame, LongLayoutCutShortFailsAtGroupC) {
    auto frame = long_frame();
    // 61 to 64 bytes with valid checksums take the long layout and run out
    // before group C ends; no field is ever taken from the checksum bytes,
    // so at 61 bytes the second group B reading is already missing.
    for (std::size_t len : {61u, 62u, 63u, 64u}) {
        auto cut = with_checksum(std::vector<uint8_t>(frame.begin(), frame.begin() + (len - 2)));
        ASSERT_EQ(cut.size(), len);
        SensorFrameData data;
        EXPECT_FALSE(decode_sensor_frame(cut.data(), cut.size(), data)) << len;
        EXPECT_EQ(data.readings.size(), 12u) << len;
        EXPECT_EQ(data.normal_force.size(), 2u) << len;
        EXPECT_EQ(data.group_b.size(), len == 61 ? 1u : 2u) << len;
        EXPECT_TRUE(data.group_c.empty()) << len;
    }
    // Short frames that end inside the readings fail there.
    auto tiny = with_checksum({0x55, 0xAA, 0x00, 0x85, 0x00, 0x00, 0x01, 0x02});
    SensorFrameData data;
    EXPECT_FALSE(decode_sensor_frame(tiny.data(), tiny.size(), data));
    EXPECT_TRUE(data.readings.empty());
}

std::vector<uint8_t> bytes_of(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(TactileParseText, SkipsEmptyAndNonNumericItems) {
    SensorFrameData data;
    const auto text = bytes_of("  1 , 2 ,  , x3 , 4  \r\n");
    EXPECT_FALSE(parse_sensor_text(text.data(), text.size(), data));
    EXPECT_EQ(data.readings, (std::vector<double>{1.0, 2.0, 4.0}));
    EXPECT_EQ(data.baseline, std::vector<double>(22, 0.0));
    EXPECT_EQ(data.relative, (std::vector<double>{1.0, 2.0, 4.0}));
}

TEST(TactileParseText, TwentyTwoNumbersWithBaselinesAndExtrasIgnored) {
    std::string text;
    for (int i = 0; i < 25; ++i) text += std::to_string(i * 10) + (i % 2 ? ".5" : "") + "mV,";
    SensorFrameData data;
    data.baseline.assign(22, 1.0);
    const auto bytes = bytes_of(text);
    EXPECT_TRUE(parse_sensor_text(bytes.data(), bytes.size(), data));
    ASSERT_EQ(data.readings.size(), 22u);
    EXPECT_EQ(data.readings[1], 10.5);
    EXPECT_EQ(data.readings[21], 210.5);
    EXPECT_EQ(data.relative[21], 209.5);

    // A second parse replaces the readings.
    const auto again = bytes_of("7");
    EXPECT_FALSE(parse_sensor_text(again.data(), again.size(), data));
    EXPECT_EQ(data.readings, std::vector<double>{7.0});
}

TEST(TactileParseText, OutOfRangeAndShortBaselines) {
    SensorFrameData data;
    data.baseline = {0.5, 0.5};  // fewer than 22: never read past
    const auto text = bytes_of("1e999,3,5,9");
    EXPECT_FALSE(parse_sensor_text(text.data(), text.size(), data));
    EXPECT_EQ(data.readings, (std::vector<double>{3.0, 5.0, 9.0}));
    EXPECT_EQ(data.relative, std::vector<double>{2.5});  // item 1 only has a baseline

    SensorFrameData untouched;
    untouched.readings = {1.0};
    EXPECT_FALSE(parse_sensor_text(text.data(), 0, untouched));
    EXPECT_FALSE(parse_sensor_text(nullptr, 5, untouched));
    EXPECT_EQ(untouched.readings, std::vector<double>{1.0});

    const uint8_t odd[] = {',', 0x00, 0xFF, ',', 0x80, ' ', ','};
    EXPECT_FALSE(parse_sensor_text(odd, sizeof odd, data));
    EXPECT_TRUE(data.readings.empty());
}

TEST(TactileUnpackFloats, ExactLengthOnly) {
    std::vector<float> out{9.0f};
    const uint8_t empty[] = {0, 0, 0, 0};
    EXPECT_TRUE(unpack_float_array(empty, sizeof empty, out));
    EXPECT_TRUE(out.empty());

    // count 2: 1.0f (00 00 80 3F), -2.5f (00 00 20 C0)
    const uint8_t two[] = {2, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x20, 0xC0};
    EXPECT_TRUE(unpack_float_array(two, sizeof two, out));
    EXPECT_EQ(out, (std::vector<float>{1.0f, -2.5f}));

    EXPECT_FALSE(unpack_float_array(two, 11, out));
    EXPECT_FALSE(unpack_float_array(two, 3, out));
    EXPECT_FALSE(unpack_float_array(nullptr, 12, out));
    // A huge count never passes the length check.
    const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0x3F, 0, 0, 0, 0};
    EXPECT_FALSE(unpack_float_array(huge, sizeof huge, out));
    EXPECT_EQ(out, (std::vector<float>{1.0f, -2.5f}));
}

TEST(TactileTrim, RemovesSurroundingWhiteSpaceOnly) {
    std::string s = " \t\r\n a b \v\f";
    trim(s);
    EXPECT_EQ(s, "a b");
    s = "   ";
    trim(s);
    EXPECT_EQ(s, "");
    s = "\xA0x\xA0";  // bytes above 0x7F are not white space
    trim(s);
    EXPECT_EQ(s, "\xA0x\xA0");
}

}  // namespace
}  // namespace tactile
}  // namespace morvx
