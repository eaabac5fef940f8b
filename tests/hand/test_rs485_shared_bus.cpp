// The exported shared bus object with real hand objects on it: its send
// callback setters, its receive entry point, and two hands sharing one line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "morvane/morvane.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// A line shared by the tests through a plain function pointer.
std::mutex g_mutex;
std::vector<Bytes> g_frames;

bool record_plain(const uint8_t* data, unsigned len) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_frames.emplace_back(data, data + len);
    return true;
}

std::vector<Bytes> plain_frames() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_frames;
}

template <typename Pred>
bool eventually(Pred pred, milliseconds timeout = milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return pred();
}

// Frames seen by a callable installed through set_send_callback_ex.
struct Recorder {
    std::mutex mutex;
    std::vector<Bytes> frames;
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::vector<Bytes> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
};

}  // namespace

TEST(Rs485SharedBus, ReceiveArgumentsAndClose) {
    morvx::RS485SharedBus bus;
    const uint8_t b[] = {0x48, 0x01, 0x50};
    EXPECT_EQ(bus.set_receive_data(nullptr, 3), 1);
    EXPECT_EQ(bus.set_receive_data(b, -1), 1);
    EXPECT_EQ(bus.set_receive_data(b, 0), 0);
    EXPECT_EQ(bus.set_receive_data(b, 3), 0);
    bus.close();
    bus.close();
    EXPECT_EQ(bus.set_receive_data(b, 3), 5);
}

TEST(Rs485SharedBus, ExSetterCopiesTheCallable) {
    Recorder rec;
    morvx::RS485SharedBus bus;
    {
        morvx::send_data_callback fn = [&rec](const uint8_t* d, unsigned n) {
            std::lock_guard<std::mutex> lock(rec.mutex);
            rec.frames.emplace_back(d, d + n);
            return true;
        };
        bus.set_send_callback_ex(&fn);
    }  // the caller's callable is gone; the bus holds its own copy
    morvx::Morvane hand;
    hand.set_rs485_shared_bus(&bus);
    hand.initial(2, 1);  // identification requests and then polls go out on the bus
    ASSERT_TRUE(eventually([&] { return rec.count() >= 3; }));
    hand.stop_monitor();
    for (const Bytes& f : rec.all()) {
        ASSERT_GE(f.size(), 4u);
        EXPECT_EQ(f[1], 0x01);  // addressed to node 1
    }
    bus.set_send_callback_ex(nullptr);
}

TEST(Rs485SharedBus, TwoHandsShareOneLineAndAreBothPolled) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_frames.clear();
    }
    morvx::RS485SharedBus bus;
    bus.set_send_callback(&record_plain);
    morvx::Morvane hand1, hand2, twin;
    hand1.set_rs485_shared_bus(&bus);
    hand2.set_rs485_shared_bus(&bus);
    twin.set_rs485_shared_bus(&bus);
    EXPECT_EQ(hand1.initial(2, 1), 0);
    EXPECT_EQ(hand2.initial(2, 2), 0);
    EXPECT_EQ(twin.initial(2, 1), 1);  // node id 1 already answers on this line

    auto polls_of = [](uint8_t node) {
        std::size_t n = 0;
        for (const Bytes& f : plain_frames())
            if (f.size() == 6 && f[0] == 0x50 && f[1] == node) ++n;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return polls_of(1) >= 2 && polls_of(2) >= 2; }));
    hand1.stop_monitor();
    hand2.stop_monitor();
    bus.set_send_callback(nullptr);
    bus.close();
}

TEST(Rs485SharedBus, HandsOutliveTheBusObject) {
    morvx::Morvane hand;
    {
        morvx::RS485SharedBus bus;
        bus.set_send_callback(&record_plain);
        hand.set_rs485_shared_bus(&bus);
        EXPECT_EQ(hand.initial(2, 3), 0);
    }  // bus closed and released; the hand still holds the (closed) context
    const uint8_t b[] = {0x48, 0x03, 0x50, 0x00, 0x00, 0x00};
    EXPECT_EQ(hand.set_rs485_data_decode(b, sizeof b), 5);
    hand.stop_monitor();
}
