// Recording send functions for hand-object tests. Each recorder is handed to
// a hand through a *_callback_ex setter, so it must be declared before the
// hand (destroyed after it).
#ifndef TESTS_HAND_HAND_CORE_TEST_SUPPORT_H
#define TESTS_HAND_HAND_CORE_TEST_SUPPORT_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "morvane/morvane.h"

namespace hand_test {

using Bytes = std::vector<uint8_t>;

struct SentFrame {
    unsigned id;
    Bytes data;
    int flag;
};

// Records every frame; safe to call from the monitor thread or a bus worker.
class FrameRecorder {
public:
    FrameRecorder()
        : canfd_([this](unsigned id, const uint8_t* d, unsigned n, int flag) { return add(id, d, n, flag); }),
          can_([this](unsigned id, const uint8_t* d, unsigned n) { return add(id, d, n, 0); }),
          data_([this](const uint8_t* d, unsigned n) { return add(0, d, n, 0); }) {}

    void* canfd() { return &canfd_; }
    void* can() { return &can_; }
    void* data() { return &data_; }

    std::vector<SentFrame> frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }

private:
    bool add(unsigned id, const uint8_t* d, unsigned n, int flag) {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(SentFrame{id, Bytes(d, d + n), flag});
        return true;
    }

    std::mutex mutex_;
    std::vector<SentFrame> frames_;
    morvx::send_canfd_callback canfd_;
    morvx::send_can_callback can_;
    morvx::send_data_callback data_;
};

}  // namespace hand_test

#endif  // TESTS_HAND_HAND_CORE_TEST_SUPPORT_H
