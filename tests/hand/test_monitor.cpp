// Monitor thread: start/stop semantics, the classic CAN status poll of the
// 16-joint hand (order and spacing), and the RS485 poll switch.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"
#include "morvane/morvane.h"
#include "rs485_bus_context.h"

namespace morvx {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

struct CanFrame {
    unsigned id;
    std::vector<uint8_t> data;
    Clock::time_point at;
};

std::mutex g_log_mutex;
std::vector<std::string> g_log_lines;
void collect_log_line(const char* line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.emplace_back(line);
}

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() : core_(nullptr) {
        core_.send_can_function = [this](unsigned id, const uint8_t* data, unsigned len) {
            std::lock_guard<std::mutex> lock(mutex_);
            can_.push_back({id, std::vector<uint8_t>(data, data + len), Clock::now()});
            return true;
        };
        core_.active_send_can = &core_.send_can_function;
        core_.send_canfd_function = [this](unsigned, const uint8_t*, unsigned, int) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++canfd_count_;
            return true;
        };
        core_.active_send_canfd = &core_.send_canfd_function;
    }
    ~MonitorTest() override { stop_monitor(core_); }

    std::vector<CanFrame> can_frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return can_;
    }
    // Waits (bounded) until at least n classic CAN frames were sent.
    bool wait_for_frames(std::size_t n, milliseconds limit = milliseconds(5000)) {
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            if (can_frames().size() >= n) return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }

    HandCore core_;
    std::mutex mutex_;
    std::vector<CanFrame> can_;
    int canfd_count_ = 0;
};

TEST_F(MonitorTest, StartAndStopHappenOnce) {
    core_.bus_kind.store(1);
    start_monitor(core_);
    ASSERT_TRUE(core_.monitor_thread.joinable());
    const auto first = core_.monitor_thread.get_id();
    start_monitor(core_);  // second start: no new thread
    EXPECT_EQ(core_.monitor_thread.get_id(), first);
    EXPECT_TRUE(core_.running.load());

    stop_monitor(core_);
    EXPECT_FALSE(core_.running.load());
    EXPECT_FALSE(core_.monitor_thread.joinable());
    stop_monitor(core_);  // second stop: nothing to do
    EXPECT_FALSE(core_.monitor_thread.joinable());

    // It can be started again after a stop.
    start_monitor(core_);
    EXPECT_TRUE(core_.monitor_thread.joinable());
    stop_monitor(core_);
    EXPECT_FALSE(core_.monitor_thread.joinable());
}

TEST_F(MonitorTest, CanFdMonitorRunsButSendsNothing) {
    core_.bus_kind.store(1);
    start_monitor(core_);
    std::this_thread::sleep_for(milliseconds(60));
    stop_monitor(core_);
    EXPECT_TRUE(can_frames().empty());
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(canfd_count_, 0);
}

TEST_F(MonitorTest, ClassicCanSixteenJointHandPollsEveryNodeInOrder) {
    core_.bus_kind.store(3);
    ASSERT_EQ(set_hand_type(core_, 2), 0);
    start_monitor(core_);
    ASSERT_TRUE(wait_for_frames(18));
    stop_monitor(core_);

    const auto frames = can_frames();
    ASSERT_GE(frames.size(), 18u);
    // Node order of one cycle: joint 1 on node 16, then joints 2..16 on 1..15.
    const unsigned expected[16] = {16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].id, expected[i % 16]) << "request " << i;
        EXPECT_EQ(frames[i].data, std::vector<uint8_t>{0xA0});
        if (i > 0) {
            // Never closer than 20 ms (1 ms slack for clock granularity);
            // a loaded machine may stretch the gap, so only a loose cap.
            const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(frames[i].at - frames[i - 1].at);
            EXPECT_GE(gap.count(), 19000) << "request " << i;
            EXPECT_LT(gap.count(), 2000000) << "request " << i;
        }
    }
}

TEST_F(MonitorTest, HandTypeChangeTakesEffectWithoutRestart) {
    core_.bus_kind.store(3);
    start_monitor(core_);  // hand type 0: idle
    std::this_thread::sleep_for(milliseconds(80));
    EXPECT_TRUE(can_frames().empty());

    ASSERT_EQ(set_hand_type(core_, 2), 0);  // while the thread runs
    ASSERT_TRUE(wait_for_frames(3));
    stop_monitor(core_);
    const auto frames = can_frames();
    EXPECT_EQ(frames[0].id, 16u);
    EXPECT_EQ(frames[1].id, 1u);
    EXPECT_EQ(frames[2].id, 2u);
}

TEST_F(MonitorTest, StopEndsTheLoopWithoutAnotherRequest) {
    core_.bus_kind.store(3);
    ASSERT_EQ(set_hand_type(core_, 2), 0);
    start_monitor(core_);
    ASSERT_TRUE(wait_for_frames(2));
    const auto before = Clock::now();
    stop_monitor(core_);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - before).count();
    EXPECT_LT(took, 1000);  // one 20 ms pause, with room for a loaded machine
    const std::size_t count = can_frames().size();
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(can_frames().size(), count);
}

TEST_F(MonitorTest, StatusRequestsAreLogged) {
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log_lines.clear();
    }
    core_.frame_log.set_callback(collect_log_line);
    core_.frame_log.log_on(true, 10000);
    const int codes[] = {0xA0};
    ASSERT_EQ(core_.frame_log.set_filter(true, codes, 1), 0);
    core_.bus_kind.store(3);
    ASSERT_EQ(set_hand_type(core_, 2), 0);
    start_monitor(core_);
    ASSERT_TRUE(wait_for_frames(2));
    stop_monitor(core_);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    ASSERT_FALSE(g_log_lines.empty());
    EXPECT_EQ(g_log_lines.front(), "Send:  A0 = ok");
}

TEST_F(MonitorTest, DryRunKeepsRequestsInsteadOfSending) {
    core_.bus_kind.store(3);
    ASSERT_EQ(set_hand_type(core_, 2), 0);
    core_.dry_run.store(true);
    start_monitor(core_);
    std::this_thread::sleep_for(milliseconds(70));
    stop_monitor(core_);
    EXPECT_TRUE(can_frames().empty());
    // Records of u32 little-endian id + the frame byte, joint 1 (node 16) first.
    ASSERT_GE(core_.last_can.size(), 5u);
    EXPECT_EQ(core_.last_can.size() % 5, 0u);
    EXPECT_EQ(std::vector<uint8_t>(core_.last_can.begin(), core_.last_can.begin() + 5),
              (std::vector<uint8_t>{0x10, 0x00, 0x00, 0x00, 0xA0}));
}

TEST_F(MonitorTest, Rs485StartSwitchesThePollStateNotAThread) {
    core_.bus_kind.store(2);
    start_monitor(core_);  // not attached: only running is set
    EXPECT_TRUE(core_.running.load());
    EXPECT_FALSE(core_.monitor_thread.joinable());
    stop_monitor(core_);
    EXPECT_FALSE(core_.running.load());

    auto context = std::make_shared<RS485SharedBusContext>();
    auto endpoint = std::make_shared<RS485NodeEndpoint>(&core_, 1);
    core_.bus_context = context;
    core_.bus_endpoint = endpoint;
    start_monitor(core_);
    EXPECT_FALSE(core_.monitor_thread.joinable());
    EXPECT_EQ(endpoint->poll_state.load(), 1);
    start_monitor(core_);
    EXPECT_EQ(endpoint->poll_state.load(), 1);
    stop_monitor(core_);
    EXPECT_EQ(endpoint->poll_state.load(), 0);

    core_.bus_endpoint.reset();
    core_.bus_context.reset();
    context->close();
}

// Through the class: initial on RS485 attaches the hand and turns its polling
// on; stop and close turn it off and leave no thread behind.
TEST(MonitorClassTest, Rs485InitialTurnsPollingOnAndStopTurnsItOff) {
    send_data_callback quiet = [](const uint8_t*, unsigned) { return true; };
    Morvane hand;
    hand.set_send_rs485_callback_ex(&quiet);
    hand.set_dry_run_mode(true);  // no identification read-out
    hand.start_monitor();         // bus kind -1: a thread that idles
    ASSERT_EQ(hand.initial(2, 5), 0);
    HandCore& h = *hand.core();
    ASSERT_TRUE(h.bus_endpoint);
    EXPECT_FALSE(h.monitor_thread.joinable());  // initial stopped the idle thread
    EXPECT_EQ(h.bus_endpoint->poll_state.load(), 1);
    hand.stop_monitor();
    EXPECT_EQ(h.bus_endpoint->poll_state.load(), 0);
    hand.close();  // after stop: nothing to do
    EXPECT_FALSE(h.running.load());
}

}  // namespace
}  // namespace morvx
