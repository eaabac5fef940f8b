// Getters of published values run on any thread while one writer publishes:
// every read must return a value that some publication held (never a torn
// or half-written one). Run under TSan as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "frame_recorder.h"
#include "hand_ops.h"
#include "morvane/morvane.h"

using namespace morvx;

namespace {

bool one_of(int v, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (v == a) return true;
    return false;
}

}  // namespace

TEST(HandGettersConcurrency, ReadersSeeOnlyPublishedTargets) {
    Morvane hand;
    ASSERT_EQ(hand.set_hand_type(0), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0}, reads{0};

    auto reader = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            for (int j = 1; j <= 6; ++j) {
                int p = -1, c = -1;
                float a = -1.0f;
                if (hand.get_target_position(j, &p) != 0 || !one_of(p, {0, 2000, 8000})) ++bad;
                if (hand.get_max_current(j, &c) != 0 || !one_of(c, {400, 100, 200})) ++bad;
                if (j == 1 && (hand.get_target_angle(1, &a) != 0 || !(a == 0.0f || a == 12.0f || a == 48.0f))) ++bad;
                ++reads;
            }
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) readers.emplace_back(reader);

    // Keep publishing until the readers have really overlapped the writer: on
    // a loaded machine they may not be scheduled before 3000 rounds are over.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 3000 || (reads.load() < 3000 && std::chrono::steady_clock::now() < give_up);
         ++round) {
        const bool odd = round & 1;
        ASSERT_EQ(hand.set_target_position(0, odd ? 8000 : 2000), 0);
        ASSERT_EQ(hand.set_max_current(0, odd ? 200 : 100), 0);
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST(HandGettersConcurrency, ReadersOfMeasuredValuesWhileTheReceiveThreadRefreshes) {
    Morvane hand;
    ASSERT_EQ(hand.set_hand_type(0), 0);
    HandCore& h = *hand.core();
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};

    // The "receive thread": the single writer of the raw, measured and status buffers.
    std::thread receiver([&] {
        for (int round = 0; round < 3000; ++round) {
            const bool odd = round & 1;
            for (int s = 0; s < 6; ++s) {
                h.raw_position.write(s, odd ? 7000 : 3000);
                h.status_byte.write(s, odd ? 0x5B : 0x11);
                h.alarm_byte.write(s, odd ? 0x21 : 0);
            }
            h.raw_position.publish();
            h.status_byte.publish();
            h.alarm_byte.publish();
            refresh_measured(h);
        }
        stop = true;
    });

    std::thread reader([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            for (int j = 1; j <= 6; ++j) {
                int p = -1, s = -1, a = -1, e = -1;
                if (hand.get_now_position(j, &p) != 0 || !one_of(p, {0, 3000, 7000})) ++bad;
                if (hand.get_now_status(j, &s) != 0 || !one_of(s, {0, 2})) ++bad;
                if (hand.get_enable(j, &e) != 0 || !one_of(e, {0, 1})) ++bad;
                // Status and alarm bytes come from separate publications, so
                // any of these combinations may be seen, but nothing else.
                if (hand.get_now_alarm(j, &a) != 0 || !one_of(a, {0, 9, 0x21})) ++bad;
            }
        }
    });
    receiver.join();
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(HandGettersConcurrency, HandTypeChangesWhileTheClassicCanMonitorPolls) {
    Morvane hand;
    hand.set_dry_run_mode(true);  // status requests pile up in the pre-send buffer
    ASSERT_EQ(hand.initial(3), 0);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(hand.set_hand_type(2), 0);
        ASSERT_EQ(hand.set_hand_type(0), 0);
    }
    ASSERT_EQ(hand.set_hand_type(2), 0);
    // Give the monitor time for at least one request on the 16-joint hand.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    hand.close();
    int n = 0;
    ASSERT_EQ(hand.get_pre_send_can_data(nullptr, &n), 0);
    EXPECT_GE(n, 5) << "at least one record: u32 id + 0xA0";
}

TEST(HandGettersConcurrency, SwappingTheClassicCanSendFunctionWhileTheMonitorPolls) {
    hand_test::FrameRecorder first, second;  // outlive the hand
    Morvane hand;
    hand.set_send_can_callback_ex(&first.can);
    ASSERT_EQ(hand.initial(3), 0);
    ASSERT_EQ(hand.set_hand_type(2), 0);
    // Polls until the monitor has sent through a function: its first poll
    // may come late on a loaded machine.
    const auto wait_for_frames = [](hand_test::FrameRecorder& recorder) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (recorder.count() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    wait_for_frames(first);
    hand.set_send_can_callback_ex(&second.can);
    EXPECT_TRUE(hand.core()->running.load()) << "the monitor resumes after the swap";
    wait_for_frames(second);
    hand.close();
    ASSERT_GT(first.count(), 0u);
    ASSERT_GT(second.count(), 0u);
    const auto frames = first.frames();
    EXPECT_EQ(frames[0].id, 16u) << "joint 1 of the 16-joint hand is node 16";
    EXPECT_EQ(frames[0].data, hand_test::Bytes{0xA0});
}
