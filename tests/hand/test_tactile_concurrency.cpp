// Readers running beside the receive thread and rebuilding set-up calls see
// whole blocks only, each in its own layout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"
#include "morvane/morvane.h"
#include "stress_run.h"
#include "tactile_readings.h"

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
    h.sensor_channels[3].sequence.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);

    std::atomic<bool> done{false};
    float seen = -1.0f;
    std::thread reader([&] {
        seen = read_sensor_channel(h, 3).pressure[0];
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());

    // Finish the write: the new value (a relaxed atomic store, as the
    // decoder's: the reader loads it meanwhile), then the even counter.
    float one = 1.0f;
    __atomic_store(h.sensor_channels[3].record.pressure.data(), &one, __ATOMIC_RELAXED);
    h.sensor_channels[3].sequence.fetch_add(1, std::memory_order_release);
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
    const ChannelSequence::Word begun = h.sensor_channels[3].sequence.begin_rebuild();
    std::atomic_thread_fence(std::memory_order_release);

    const std::vector<uint8_t> block(24, 200);  // normal force 0xC8C8 / 100
    decode_tactile_block(h, 0, 1, block.data(), block.size());
    EXPECT_EQ(h.sensor_channels[3].sequence.load(), 2u);

    std::atomic<bool> done{false};
    float seen = -1.0f;
    std::thread reader([&] {
        get_finger_normal_force(h, 3, &seen);
        done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());

    h.sensor_channels[3].sequence.end_rebuild(begun);
    reader.join();
    EXPECT_EQ(seen, 0.0f);  // the dropped block never landed
    decode_tactile_block(h, 0, 1, block.data(), block.size());
    float after = 0;
    ASSERT_EQ(get_finger_normal_force(h, 3, &after), kOk);
    EXPECT_FLOAT_EQ(after, 514.0f);
}

// The rebuild half of a sequence word wraps inside itself: it never carries
// into the block half, which would leave the block count odd with no write
// under way (readers would wait for ever) after 2^31 rebuilds.
TEST(TactileConcurrency, SequenceHalvesWrapWithoutCarrying) {
    auto core = std::make_unique<HandCore>(nullptr);
    HandCore& h = *core;
    using Word = ChannelSequence::Word;
    const Word last_even = 0xFFFFFFFEu;  // of either half
    for (LiveChannel& c : h.sensor_channels) c.sequence.store_word(last_even << 32 | last_even, std::memory_order_relaxed);

    ASSERT_EQ(set_hand_direction(h, 0), kOk);  // the rebuild half: 0xFFFFFFFF, then 0
    for (const LiveChannel& c : h.sensor_channels) EXPECT_EQ(c.sequence.load_word(std::memory_order_relaxed), last_even << 32);
    float pressure[40];
    int n = 40;
    ASSERT_EQ(get_finger_pressure(h, 3, pressure, &n), kOk);  // returns: nothing is being written
    EXPECT_EQ(n, 9);

    const std::vector<uint8_t> block(24, 255);
    decode_tactile_block(h, 0, 1, block.data(), block.size());  // the block half wraps off the top
    EXPECT_EQ(h.sensor_channels[3].sequence.load_word(std::memory_order_relaxed), 0u);
    n = 40;
    ASSERT_EQ(get_finger_pressure(h, 3, pressure, &n), kOk);
    EXPECT_EQ(pressure[0], 1.0f);
}

// The receive thread decodes status replies at full rate, the caller's
// thread keeps rebuilding the channels through every set-up call that does
// (sensor data format, hand direction, hand type, a copy of another hand's
// configuration), and readers on every tactile getter check that each
// answer holds the values of one block in the layout of the format they
// were decoded with (tactile_readings.h). The sequence words start just
// below the wrap of both halves, and the run crosses it. Under ASan an
// access out of bounds, under TSan any race, fails it as well.
TEST(TactileConcurrency, ReadersSeeOneBlockInItsLayoutAcrossRebuilds) {
    using namespace tactile_readings;
    Morvane hand;
    HandCore& h = *hand.core();
    h.bus_kind.store(kBusCanfd);
    const ChannelSequence::Word near_wrap = ChannelSequence::Word{0xFFFFFFF0u} << 32 | 0xFFFFFFF0u;
    for (LiveChannel& c : h.sensor_channels) c.sequence.store_word(near_wrap, std::memory_order_relaxed);
    Morvane other;  // copied in: 5-taxel format, mirrored layouts
    ASSERT_EQ(other.set_sensor_data_format(1), 0);
    ASSERT_EQ(other.set_hand_direction(1), 0);

    std::atomic<long> bad{0};
    std::mutex first_bad_mutex;
    std::string first_bad;
    const auto report = [&](bool ok, const char* what, int channel) {
        if (ok) return;
        if (bad.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> lock(first_bad_mutex);
            first_bad = std::string(what) + " on channel " + std::to_string(channel);
        }
    };
    uint8_t k = 0;
    const auto receive = [&] {
        k = next_block_value(k);
        const std::vector<uint8_t> fingertip = fingertip_reply(k), palm = palm_reply(k);
        hand.set_canfd_data_decode(0x481, fingertip.data(), static_cast<int>(fingertip.size()));
        hand.set_canfd_data_decode(0x481, palm.data(), static_cast<int>(palm.size()));
    };
    const auto read = [&] {
        float v[40], x[40], y[40];
        for (int ch : {kFingertip, kPalm}) {
            report(record_consistent(ch, read_sensor_channel(h, ch)), "channel copy", ch);
            int n = 40;
            report(hand.get_finger_pressure(ch, v, &n) == 0 && pressure_block(ch, v, n) >= 0, "pressure", ch);
            n = 40;
            report(hand.get_finger_sensor_pos(ch, x, y, &n) == 0 && positions_of_a_layout(ch, x, y, n), "positions",
                   ch);
            n = 40;
            report(hand.get_finger_normal_force_ex(ch, v, &n) == 0 && n == 2 && v[0] == v[1], "normal forces", ch);
            n = 40;
            report(hand.get_finger_tangential_force_ex(ch, v, &n) == 0 && n == 2 && v[0] == v[1],
                   "tangential forces", ch);
            n = 40;
            report(hand.get_finger_force_direction_ex(ch, v, &n) == 0 && n == 2 && v[0] == v[1], "directions", ch);
            n = 40;
            report(hand.get_finger_proximity_ex(ch, v, &n) == 0 && n == 2 && v[0] == v[1], "proximities", ch);
            report(hand.get_finger_normal_force(ch, v) == 0 && hand.get_finger_tangential_force(ch, v) == 0 &&
                       hand.get_finger_force_direction(ch, v) == 0 && hand.get_finger_proximity(ch, v) == 0,
                   "single values", ch);
        }
    };
    // Each set-up call that rebuilds, one per step.
    const auto set_up = [&](long step) {
        switch (step % 7) {
            case 0: return hand.set_sensor_data_format(1) == 0;
            case 1: return hand.set_hand_direction(1) == 0;
            case 2: return hand.set_sensor_data_format(0) == 0;  // no change, and still a rebuild
            case 3: return hand.set_hand_type(0) == 0;           // the default formats again
            case 4: hand = other; return true;
            case 5: return hand.set_hand_direction(0) == 0;
            default: return hand.set_sensor_data_format(0) == 0;
        }
    };
    const hand_test::StressRun run = hand_test::run_stress(receive, read, set_up);
    EXPECT_TRUE(run.set_up_ok);
    EXPECT_EQ(bad.load(), 0) << "first: " << first_bad << "; " << run.read << " rounds of reads, " << run.received
                             << " block pairs, " << run.set_up << " rebuilds";

    // Both halves wrapped, and no write is left under way.
    for (int ch : {kFingertip, kPalm}) {
        const ChannelSequence::Word word = h.sensor_channels[ch].sequence.load_word(std::memory_order_relaxed);
        EXPECT_LT(word >> 32, near_wrap >> 32) << ch;
        EXPECT_LT(word & ChannelSequence::kRebuildHalf, near_wrap & ChannelSequence::kRebuildHalf) << ch;
        EXPECT_EQ(word & ChannelSequence::kBusy, 0u) << ch;
    }
    ASSERT_EQ(hand.set_sensor_data_format(0), 0);
    const std::vector<uint8_t> last = fingertip_reply(255);  // after the last rebuild: lands as usual
    ASSERT_EQ(hand.set_canfd_data_decode(0x481, last.data(), static_cast<int>(last.size())), 0);
    EXPECT_EQ(read_sensor_channel(h, kFingertip).pressure[0], 1.0f);
}

}  // namespace
}  // namespace morvx
