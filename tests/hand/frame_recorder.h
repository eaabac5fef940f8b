// A send-function recorder for hand tests: hand it to a hand through the
// *_callback_ex setters (&rec.canfd, &rec.can, &rec.data) or install a copy in
// a bus context. Thread-safe: the RS485 worker and the monitor call send
// functions on their own threads. Declare it before the hand that uses it.
#ifndef TESTS_HAND_FRAME_RECORDER_H
#define TESTS_HAND_FRAME_RECORDER_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "morvane/morvane.h"

namespace hand_test {

using Bytes = std::vector<uint8_t>;

struct SentFrame {
    unsigned id = 0;
    Bytes data;
    int flag = 0;
    std::chrono::steady_clock::time_point at;
};

class FrameRecorder {
public:
    FrameRecorder() {
        canfd = [this](unsigned id, const uint8_t* d, unsigned n, int flag) { return add(id, d, n, flag); };
        can = [this](unsigned id, const uint8_t* d, unsigned n) { return add(id, d, n, 0); };
        data = [this](const uint8_t* d, unsigned n) { return add(0, d, n, 0); };
    }
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;

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

    morvx::send_canfd_callback canfd;
    morvx::send_can_callback can;
    morvx::send_data_callback data;

private:
    bool add(unsigned id, const uint8_t* d, unsigned n, int flag) {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back({id, Bytes(d, d + n), flag, std::chrono::steady_clock::now()});
        return true;
    }
    std::mutex mutex_;
    std::vector<SentFrame> frames_;
};

}  // namespace hand_test

#endif  // TESTS_HAND_FRAME_RECORDER_H
