#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "double_buffer.h"
#include "protocol_helpers.h"

using namespace morvx;

TEST(DoubleBuffer, WritesStayHiddenUntilPublished) {
    DoubleBuffer<int32_t> buf;
    buf.write(3, 42);
    EXPECT_EQ(buf.read(3), 0);
    buf.publish();
    EXPECT_EQ(buf.read(3), 42);
    buf.publish();  // nothing written: the value carries over
    EXPECT_EQ(buf.read(3), 42);
    buf.write(4, 7);
    buf.publish();
    EXPECT_EQ(buf.read(3), 42) << "untouched slots keep the last publication";
    EXPECT_EQ(buf.read(4), 7);
}

TEST(DoubleBuffer, OutOfRangeWritesAreIgnored) {
    DoubleBuffer<uint8_t> buf;
    buf.write(27, 9);
    buf.write(1000, 9);
    buf.publish();
    for (int i = 0; i < kJointSlots; ++i) EXPECT_EQ(buf.read(i), 0);
}

TEST(DoubleBuffer, ResetFillSetsBothHalves) {
    DoubleBuffer<float> buf;
    buf.reset_fill(400.0f);
    for (int i = 0; i < kJointSlots; ++i) EXPECT_EQ(buf.read(i), 400.0f);
    buf.publish();
    for (int i = 0; i < kJointSlots; ++i) EXPECT_EQ(buf.read(i), 400.0f);
}

// Before each publication the writer stores a value it never publishes and
// then overwrites it, as the 16-joint hand's decoder overwrites uncoupled
// angles with coupled ones. Readers, more of them than cores so that some
// are held up between loading the count and the slot, must only return
// published values, each slot's never older than the one before. Run under
// TSan as well.
TEST(DoubleBuffer, ReadersHeldUpAcrossPublicationsSeeOnlyPublishedValues) {
    DoubleBuffer<int32_t> buf;
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::atomic<int64_t> reads{0};  // billions: beyond a 32-bit long
    std::atomic<int32_t> first_bad{0};
    const auto reader = [&] {
        int32_t last[kJointSlots] = {};
        int64_t n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            for (int s = 0; s < kJointSlots; ++s) {
                const int32_t v = buf.read(s);
                if (v < last[s]) {  // never published (negative) or older than seen before
                    if (bad.fetch_add(1) == 0) first_bad = v;
                }
                last[s] = v;
            }
            ++n;
        }
        reads += n * kJointSlots;
    };
    const unsigned readers_wanted = std::max(4u, 2 * std::thread::hardware_concurrency());
    std::vector<std::thread> readers;
    for (unsigned i = 0; i < readers_wanted; ++i) readers.emplace_back(reader);

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int32_t k = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (int round = 0; round < 1000; ++round) {
            ++k;
            for (int s = 0; s < kJointSlots; ++s) buf.write(s, -k);
            for (int s = 0; s < kJointSlots; ++s) buf.write(s, k);
            buf.publish();
        }
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0) << "first bad value " << first_bad.load() << " of " << reads.load() << " reads";
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(buf.read(0), k);
}

TEST(ProtocolHelpers, Crc16ModbusCheckValues) {
    const char* digits = "123456789";
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const uint8_t*>(digits), 9), 0x4B37);
    EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
    const uint8_t poll[] = {0x50, 0x01, 0xD0, 0x06};
    EXPECT_EQ(crc16_modbus(poll, sizeof poll), 0x269D);  // sent as 9D 26
}

TEST(ProtocolHelpers, LittleEndianAndBits) {
    const uint8_t b[] = {0x34, 0x12};
    EXPECT_EQ(read_le16(b), 0x1234);
    uint8_t x = 0xFF;
    bit_clear(x, 3);
    EXPECT_EQ(x, 0xF7);
    bit_clear(x, 8 + 32);  // 8 modulo 32: no bit of a byte
    EXPECT_EQ(x, 0xF7);
    bit_clear(x, 32 + 0);  // 0 modulo 32
    EXPECT_EQ(x, 0xF6);
    EXPECT_EQ(bit_test(0x80, 7), 1);
    EXPECT_EQ(bit_test(0x80, 39), 1);
    EXPECT_EQ(bit_test(0xFF, 8), 0);
}

TEST(ProtocolHelpers, ByteViewSubview) {
    const uint8_t b[] = {1, 2, 3};
    ByteView v(b, 3);
    EXPECT_EQ(v.subview(1).size(), 2u);
    EXPECT_TRUE(v.subview(3).empty());
    EXPECT_TRUE(v.subview(99).empty());
    EXPECT_TRUE(ByteView(nullptr, 5).empty());
}
