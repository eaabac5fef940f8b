// Per-joint array published lock-free: one writer fills the hidden half and
// publishes it by counting one more publication; the count's parity names
// the published half. Readers never wait: a read that a publication
// overtook is made again (see read()).
#ifndef MORVANE_DOUBLE_BUFFER_H
#define MORVANE_DOUBLE_BUFFER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace morvx {

constexpr int kJointSlots = 27;

template <typename T>
class DoubleBuffer {
    static_assert(sizeof(T) == 1 || sizeof(T) == 4, "slots are 8- or 32-bit values");

public:
    DoubleBuffer() { reset_fill(T{}); }
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;

    // Fills every slot of both halves; the first half is the published one.
    // Only while no reader or writer runs (construction).
    void reset_fill(T value) {
        for (int i = 0; i < kJointSlots; ++i) {
            halves_[0].slot[i].store(value, std::memory_order_relaxed);
            halves_[1].slot[i].store(value, std::memory_order_relaxed);
        }
        writer_ = &halves_[1];
        publications_.store(0, std::memory_order_seq_cst);
    }

    // Writer only. Indices of 27 or more are ignored.
    void write(std::size_t index, T value) {
        if (index < static_cast<std::size_t>(kJointSlots))
            writer_->slot[index].store(value, std::memory_order_relaxed);
    }

    // Writer only: the hidden half becomes the published one, then the other
    // half, now hidden, is brought up to date so the next writes start from it.
    void publish() {
        const uint64_t n = publications_.load(std::memory_order_relaxed) + 1;
        publications_.store(n, std::memory_order_release);
        // Every store into the new hidden half (the copy below and the next
        // round's writes) comes after the new count: a reader that loads any
        // of them then finds the count moved (pairs with read()'s fence).
        std::atomic_thread_fence(std::memory_order_release);
        const Half* now = writer_;
        Half* hidden = &halves_[(n + 1) & 1];
        for (int i = 0; i < kJointSlots; ++i)
            hidden->slot[i].store(now->slot[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
        writer_ = hidden;
    }

    // Any thread. index must be 0..26 (callers check joint numbers). The
    // value comes from a half that stayed published while it was loaded:
    // a reader held up across a publication would otherwise load the half
    // the writer is refilling, values that no publication made visible. The
    // count is 64 bits, so it never comes round to an earlier value.
    T read(std::size_t index) const {
        T value;
        return try_read(index, value) ? value : read_again(index);
    }

    // One attempt of read(): false when a publication overtook it.
    bool try_read(std::size_t index, T& value) const {
        const uint64_t n = publications_.load(std::memory_order_acquire);
        value = halves_[n & 1].slot[index].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        return publications_.load(std::memory_order_relaxed) == n;
    }

    // read() after a failed attempt; kept out of the getters' straight path.
    __attribute__((noinline)) T read_again(std::size_t index) const {
        T value;
        while (!try_read(index, value)) {
        }
        return value;
    }

    // Writer only: the value the next publication starts from.
    T pending(std::size_t index) const {
        return writer_->slot[index].load(std::memory_order_relaxed);
    }

private:
    // Each half on its own cache lines. Slots are relaxed atomics: a reader
    // may load a slot while the writer stores into it (and then throws the
    // value away), which must not be a data race.
    struct alignas(64) Half {
        std::atomic<T> slot[kJointSlots];
    };
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "readers must never take a lock");

    Half halves_[2];
    std::atomic<uint64_t> publications_{0};  // the published half is halves_[publications_ & 1]
    Half* writer_ = nullptr;                 // always the other half; writer only
};

}  // namespace morvx

#endif  // MORVANE_DOUBLE_BUFFER_H
