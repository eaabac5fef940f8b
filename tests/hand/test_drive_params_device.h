// A scripted hand that answers parameter requests from its own thread, the
// way a transport's receive thread would: each read of a known object is
// answered with 4B idx-lo idx-hi sub val-lo val-hi 00 00 after a delay.
#ifndef MORVANE_TEST_DRIVE_PARAMS_DEVICE_H
#define MORVANE_TEST_DRIVE_PARAMS_DEVICE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace morvx_test {

class FakeParamDevice {
public:
    using Clock = std::chrono::steady_clock;
    using ReplySink = std::function<void(const std::vector<uint8_t>&)>;

    explicit FakeParamDevice(ReplySink sink) : sink_(std::move(sink)), thread_([this] { run(); }) {}
    ~FakeParamDevice() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    FakeParamDevice(const FakeParamDevice&) = delete;
    FakeParamDevice& operator=(const FakeParamDevice&) = delete;

    void set_value(uint16_t index, uint8_t sub, uint16_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_[{index, sub}] = value;
    }
    void set_delay(std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(mutex_);
        delay_ = delay;
    }
    // Sends an unsolicited reply after delay (e.g. for another object).
    void inject(std::vector<uint8_t> reply, std::chrono::milliseconds delay) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            due_.push_back({Clock::now() + delay, std::move(reply)});
        }
        wake_.notify_all();
    }

    // Called by the hand's send function with the 8-byte request.
    void on_request(const uint8_t* data, unsigned len) {
        std::vector<uint8_t> request(data, data + len);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            if (len < 8) return;
            const uint16_t index = static_cast<uint16_t>(data[1] | (data[2] << 8));
            const uint8_t sub = data[3];
            if (data[0] == 0x2B) values_[{index, sub}] = static_cast<uint16_t>(data[4] | (data[5] << 8));
            if (data[0] != 0x40) return;
            auto it = values_.find({index, sub});
            if (it == values_.end()) return;  // unknown object: silent
            std::vector<uint8_t> reply{0x4B, data[1], data[2], sub, static_cast<uint8_t>(it->second),
                                       static_cast<uint8_t>(it->second >> 8), 0, 0};
            due_.push_back({Clock::now() + delay_, std::move(reply)});
        }
        wake_.notify_all();
    }

    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::size_t replies_sent() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return replies_sent_;
    }

private:
    struct Due {
        Clock::time_point when;
        std::vector<uint8_t> reply;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (due_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto next = due_.begin();
            for (auto it = due_.begin(); it != due_.end(); ++it)
                if (it->when < next->when) next = it;
            if (Clock::now() < next->when) {
                wake_.wait_until(lock, next->when);
                continue;
            }
            std::vector<uint8_t> reply = std::move(next->reply);
            due_.erase(next);
            ++replies_sent_;
            lock.unlock();
            sink_(reply);  // never under our lock: the sink may call back into the hand
            lock.lock();
        }
    }

    ReplySink sink_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::map<std::pair<uint16_t, uint8_t>, uint16_t> values_;
    std::chrono::milliseconds delay_{5};
    std::deque<Due> due_;
    std::vector<std::vector<uint8_t>> requests_;
    std::size_t replies_sent_ = 0;
    std::thread thread_;  // last: started after every other member exists
};

}  // namespace morvx_test

#endif  // MORVANE_TEST_DRIVE_PARAMS_DEVICE_H
