// A reader running beside the receive thread sees whole blocks only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"

namespace morvx {
namespace {

TEST(TactileConcurrency, ReaderNeverSeesTwoBlocksMixed) {
    auto core = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core;
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};

    // Block k: every pressure byte k, both normal forces k * 257 / 100,
    // both proximities k / 255; the palm's packed block is all k.
    std::thread writer([&] {
        std::vector<uint8_t> full(24), packed(26);
        for (unsigned k = 0; !stop.load(std::memory_order_relaxed); ++k) {
            const uint8_t b = static_cast<uint8_t>(k);
            std::fill(full.begin(), full.begin() + 10, b);
            for (int i = 10; i < 22; ++i) full[i] = b;
            full[22] = full[23] = b;
            std::fill(packed.begin(), packed.end(), b);
            decode_tactile_block(h, 0, 1, full.data(), full.size());
            decode_tactile_block(h, 0, 5, packed.data(), packed.size());
            blocks.fetch_add(1, std::memory_order_relaxed);
        }
    });

    // Stops and joins the writer on every way out, failed assertions included.
    struct Joiner {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joiner() {
            stop.store(true);
            thread.join();
        }
    } joiner{stop, writer};

    long checked = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < deadline || blocks.load() < 100) {
        const SensorChannel c3 = read_sensor_channel(h, 3);
        ASSERT_EQ(c3.pressure.size(), 9u);
        for (float p : c3.pressure) {
            ASSERT_EQ(p, c3.pressure[0]);
        }
        const float k = c3.pressure[0] * 255.0f;
        ASSERT_FLOAT_EQ(c3.normal_force[0], c3.normal_force[1]);
        ASSERT_FLOAT_EQ(c3.proximity[0], c3.pressure[0]);
        ASSERT_NEAR(c3.normal_force[0], k * 257.0f / 100.0f, 0.01f);

        const SensorChannel c11 = read_sensor_channel(h, 11);
        ASSERT_EQ(c11.pressure.size(), 26u);
        for (float p : c11.pressure) {
            ASSERT_EQ(p, c11.pressure[0]);
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

TEST(TactileConcurrency, ReaderWaitsForAWriteInProgress) {
    auto core = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core;
    // Open a write on channel 3 by hand, as the decoder does.
    h.channel_sequence[3].fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);

    std::atomic<bool> done{false};
    float seen = -1.0f;
    std::thread reader([&] {
        seen = read_sensor_channel(h, 3).pressure[0];
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());

    // Finish the write: the new value, then the even counter.
    h.sensor_channels[3].pressure[0] = 1.0f;
    h.channel_sequence[3].fetch_add(1, std::memory_order_release);
    reader.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(seen, 1.0f);
}

// A rebuild holds a channel through the rebuild half of its sequence word:
// a block arriving meanwhile is dropped (the block counter stays even), and
// a scalar getter waits until the rebuild ends.
TEST(TactileConcurrency, RebuildInProgressDropsBlocksAndHoldsReaders) {
    auto core = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core;
    h.channel_sequence[3].add_word(ChannelSequence::kRebuild, std::memory_order_acq_rel);
    std::atomic_thread_fence(std::memory_order_release);

    const std::vector<uint8_t> block(24, 200);  // normal force 0xC8C8 / 100
    decode_tactile_block(h, 0, 1, block.data(), block.size());
    EXPECT_EQ(h.channel_sequence[3].load(), 2u);

    std::atomic<bool> done{false};
    float seen = -1.0f;
    std::thread reader([&] {
        get_finger_normal_force(h, 3, &seen);
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());

    h.channel_sequence[3].add_word(ChannelSequence::kRebuild, std::memory_order_release);
    reader.join();
    EXPECT_EQ(seen, 0.0f);  // the dropped block never landed
    decode_tactile_block(h, 0, 1, block.data(), block.size());
    float after = 0;
    ASSERT_EQ(get_finger_normal_force(h, 3, &after), kOk);
    EXPECT_FLOAT_EQ(after, 514.0f);
}

// initial() and the set-up calls rebuild the channels (new vectors) while the
// device may still be reporting: decoding and reading must survive that.
// Under ASan a decoder writing into a freed vector, under TSan any race,
// fails this test.
TEST(TactileConcurrency, RebuildWhileDecodingAndReading) {
    auto core = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<uint8_t> full(24, 100), packed(26, 50);
        while (!stop.load(std::memory_order_relaxed)) {
            decode_tactile_block(h, 0, 1, full.data(), full.size());
            decode_tactile_block(h, 0, 5, packed.data(), packed.size());
        }
    });
    std::thread reader([&] {
        float v[64];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = 64;
            EXPECT_EQ(get_finger_pressure(h, 3, v, &n), 0);
            // Both layouts of channel 3 have 9 taxels for hand type 0 (5 in format 2).
            EXPECT_TRUE(n == 9 || n == 5) << n;
            n = 64;
            float x[64], y[64];
            EXPECT_EQ(get_finger_sensor_pos(h, 11, x, y, &n), 0);
        }
    });
    for (int round = 0; round < 300; ++round) {
        set_sensor_data_format(h, round & 1);
        set_hand_direction(h, (round >> 1) & 1);
    }
    stop = true;
    writer.join();
    reader.join();
    // A block after the last rebuild lands as usual (default format: /255).
    set_sensor_data_format(h, 0);
    std::vector<uint8_t> full(24, 255);
    decode_tactile_block(h, 0, 1, full.data(), full.size());
    EXPECT_EQ(read_sensor_channel(h, 3).pressure[0], 1.0f);
}

}  // namespace
}  // namespace morvx
