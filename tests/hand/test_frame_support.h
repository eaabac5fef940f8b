// Shared fixture of the frame tests: a hand state object with recording send
// functions installed the way the _ex setters install a caller's callable.
#ifndef MORVANE_TEST_FRAME_SUPPORT_H
#define MORVANE_TEST_FRAME_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"
#include "frame_recorder.h"

namespace morvx {
namespace test {

using Bytes = hand_test::Bytes;

using hand_test::SentFrame;
using Recorder = hand_test::FrameRecorder;

// A hand of the given type on the given bus, every send function pointing at
// the recorder. The hand type is applied before the bus kind, so applying it
// sends nothing.
class HandFixture : public ::testing::Test {
protected:
    void make_hand(int bus_kind, int hand_type = 0) {
        hand = std::make_unique<HandCore>(nullptr);
        set_hand_type(*hand, hand_type);
        hand->bus_kind = bus_kind;
        hand->active_send_canfd = &rec.canfd;
        hand->active_send_can = &rec.can;
        hand->active_send_rpdo = &rec.data;
        hand->active_send_rs485 = &rec.data;
    }
    // Publishes the same status byte into every active joint.
    void set_all_status(uint8_t status) {
        for (int i = 0; i < kJointSlots; ++i) hand->status_byte.write(i, status);
        hand->status_byte.publish();
    }
    void set_target_positions(const std::vector<int32_t>& p) {
        for (std::size_t i = 0; i < p.size(); ++i) hand->target_position.write(i, p[i]);
        hand->target_position.publish();
    }

    Recorder rec;
    std::unique_ptr<HandCore> hand;
};

inline Bytes padded(Bytes b, std::size_t size) {
    b.resize(size, 0);
    return b;
}

}  // namespace test
}  // namespace morvx

#endif  // MORVANE_TEST_FRAME_SUPPORT_H
