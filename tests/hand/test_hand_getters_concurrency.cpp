// Getters of published values run on any thread while one writer publishes:
// every read must return a value that some publication held (never a torn
// or half-written one). Run under TSan as well.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "frame_recorder.h"
#include "hand_ops.h"
#include "morvane/morvane.h"
#include "stress_run.h"

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

// The 16-joint hand on classic CAN: each servo reply publishes every joint's
// position and angle, and a coupled pair's angles overwrite, before the
// publication, the uncoupled ones first written. The receive thread decodes
// a fixed script of replies at full rate, the caller's thread keeps setting
// targets and rebuilding (hand direction, sensor data format), and readers
// on every joint getter must only ever see values that some publication
// held: those a single-threaded run of the same script and calls publishes.
TEST(HandGettersConcurrency, JointReadersSeeOnlyPublishedValuesOfTheSixteenJointHand) {
    // Servo replies for nodes 1..16 in two states: position, speed and current.
    std::vector<std::array<uint8_t, 8>> script;
    for (int state = 0; state < 2; ++state) {
        for (int node = 1; node <= 16; ++node) {
            const uint32_t position = state == 0 ? 300 + 200 * node : 3900 - 150 * node;
            const uint32_t speed = state == 0 ? 10 : 40, current = state == 0 ? 100 : 300;
            const uint64_t w = 0xA0u | 0x01u << 8 | uint64_t{position} << 16 | uint64_t{speed} << 28 |
                               uint64_t{current} << 40;
            std::array<uint8_t, 8> frame;
            for (int i = 0; i < 8; ++i) frame[i] = static_cast<uint8_t>(w >> (8 * i));
            script.push_back(frame);
        }
    }
    const auto make_hand = [](Morvane& hand) {
        ASSERT_EQ(hand.set_hand_type(2), 0);
        hand.core()->bus_kind.store(kBusCan);
    };
    const auto feed = [&](Morvane& hand, std::size_t i) {
        const std::array<uint8_t, 8>& frame = script[i % script.size()];
        const unsigned node = static_cast<unsigned>(i % 16) + 1;
        return hand.set_can_data_decode(0x100 + node, frame.data(), 8);
    };
    const auto set_targets = [](Morvane& hand, int round) {
        return hand.set_target_position(0, round & 1 ? 8000 : 2000) | hand.set_max_current(0, round & 1 ? 200 : 100);
    };

    using Probe = double (*)(Morvane&, int);
    const Probe probes[] = {
        [](Morvane& m, int j) { float v = -1; return m.get_now_angle(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_now_position(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { float v = -1; return m.get_now_angular_velocity(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_now_position_velocity(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_now_current(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_now_status(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_target_position(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { float v = -1; return m.get_target_angle(j, &v) == 0 ? double(v) : -1e9; },
        [](Morvane& m, int j) { int v = -1; return m.get_max_current(j, &v) == 0 ? double(v) : -1e9; },
    };
    constexpr int kProbes = sizeof(probes) / sizeof(probes[0]);
    constexpr int kJoints = 16;

    // What the publications hold, with either hand direction: two rounds of
    // the script (the first starts from zeros) and of the target calls.
    std::vector<std::set<double>> published(kProbes * (kJoints + 1));
    const auto record = [&](Morvane& m) {
        for (int p = 0; p < kProbes; ++p)
            for (int j = 1; j <= kJoints; ++j) published[p * (kJoints + 1) + j].insert(probes[p](m, j));
    };
    for (int direction = 0; direction < 2; ++direction) {
        Morvane reference;
        make_hand(reference);
        ASSERT_EQ(reference.set_hand_direction(direction), 0);
        record(reference);
        for (std::size_t i = 0; i < 2 * script.size(); ++i) {
            ASSERT_EQ(feed(reference, i), 0);
            record(reference);
        }
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(set_targets(reference, round), 0);
            record(reference);
        }
    }

    Morvane hand;
    make_hand(hand);
    std::atomic<long> bad{0};
    std::atomic<double> first_bad{0};
    std::size_t next_reply = 0;
    const auto receive = [&] { feed(hand, next_reply++); };
    const auto read = [&] {
        for (int p = 0; p < kProbes; ++p) {
            for (int j = 1; j <= kJoints; ++j) {
                const double v = probes[p](hand, j);
                if (published[p * (kJoints + 1) + j].count(v) == 0 && bad.fetch_add(1) == 0) first_bad = v;
            }
        }
    };
    const auto set_up = [&](long round) {
        return set_targets(hand, static_cast<int>(round)) == 0 && hand.set_hand_direction(round >> 1 & 1) == 0 &&
               hand.set_sensor_data_format(round & 1) == 0;
    };
    const hand_test::StressRun run = hand_test::run_stress(receive, read, set_up);
    EXPECT_TRUE(run.set_up_ok);
    EXPECT_EQ(bad.load(), 0) << "first never-published value " << first_bad.load() << " in " << run.read
                             << " rounds of reads over " << run.received << " replies";
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
