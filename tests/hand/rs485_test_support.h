// Test doubles for the RS485 bus context: a fake hand reached through the
// context's hooks, and a recording line that stands in for the send function.
#ifndef TESTS_HAND_RS485_TEST_SUPPORT_H
#define TESTS_HAND_RS485_TEST_SUPPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "rs485_bus_context.h"

namespace rs485_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A hand as the context sees it: it may offer a poll and records the frames
// routed to it. Fields are atomics or mutex-guarded: the worker, the receive
// thread and the test thread all touch them.
struct FakeHand {
    std::atomic<bool> offers_poll{true};
    std::atomic<bool> throw_in_handler{false};
    std::atomic<int> handler_result{0};
    std::atomic<int> polls_given{0};
    uint8_t poll_body[2] = {0xD0, 0x06};

    std::mutex mutex;
    std::vector<Bytes> frames;

    std::size_t frame_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::vector<Bytes> received() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
    morvx::HandCore* as_owner() { return reinterpret_cast<morvx::HandCore*>(this); }
};

inline FakeHand* fake_of(morvx::HandCore* owner) {
    return reinterpret_cast<FakeHand*>(owner);
}

inline bool fake_provide_poll(morvx::HandCore* owner, uint16_t& code, std::vector<uint8_t>& payload) {
    FakeHand* h = fake_of(owner);
    if (!h->offers_poll.load()) return false;
    h->polls_given.fetch_add(1);
    code = 0x500;
    payload.assign(h->poll_body, h->poll_body + 2);
    return true;
}

inline int fake_handle_frame(morvx::HandCore* owner, morvx::ByteView frame) {
    FakeHand* h = fake_of(owner);
    if (h->throw_in_handler.load()) throw std::runtime_error("handler failed");
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        h->frames.emplace_back(frame.begin(), frame.end());
    }
    return h->handler_result.load();
}

inline morvx::RS485HandHooks fake_hooks() {
    return morvx::RS485HandHooks{&fake_provide_poll, &fake_handle_frame};
}

// The line: records every frame with the time the send function was entered
// and the time it returned. It can hold the worker inside the send function
// (hold/release) so that a test can line up requests behind it.
class RecordingLine {
public:
    struct Sent {
        Bytes frame;
        Clock::time_point entered;
        Clock::time_point returned;
    };

    morvx::send_data_callback function() {
        return [this](const uint8_t* data, unsigned len) { return on_send(data, len); };
    }

    void set_result(bool r) { result_.store(r); }
    void throw_next() { throw_next_.store(true); }

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    // Waits until the worker sits inside a held send function.
    bool wait_until_held(milliseconds timeout = milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return inside_held_; });
    }
    bool wait_for_count(std::size_t n, milliseconds timeout = milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return sent_.size() >= n; });
    }
    std::vector<Sent> sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_.size();
    }

private:
    bool on_send(const uint8_t* data, unsigned len) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t index = sent_.size();
        sent_.push_back(Sent{Bytes(data, data + len), Clock::now(), Clock::time_point()});
        if (held_) {
            inside_held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held_; });
            inside_held_ = false;
        }
        sent_[index].returned = Clock::now();
        changed_.notify_all();
        if (throw_next_.exchange(false)) throw std::runtime_error("line failed");
        return result_.load();
    }

    std::atomic<bool> result_{true};
    std::atomic<bool> throw_next_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool inside_held_ = false;
    std::vector<Sent> sent_;
};

// Polls until pred holds or the time-out passes.
template <typename Pred>
bool eventually(Pred pred, milliseconds timeout = milliseconds(5000)) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return pred();
}

}  // namespace rs485_test

#endif  // TESTS_HAND_RS485_TEST_SUPPORT_H
