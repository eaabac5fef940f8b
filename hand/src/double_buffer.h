// Per-joint array published lock-free: one writer fills the hidden half and
// publishes it with one atomic pointer exchange; readers load the published
// pointer and one slot, never waiting.
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

    // Fills every slot of both halves. Only while no reader or writer runs
    // (construction, hand-type defaults before threads start).
    void reset_fill(T value) {
        for (int i = 0; i < kJointSlots; ++i) {
            halves_[0].slot[i].store(value, std::memory_order_relaxed);
            halves_[1].slot[i].store(value, std::memory_order_relaxed);
        }
        writer_ = &halves_[1];
        current_.store(&halves_[0], std::memory_order_seq_cst);
    }

    // Writer only. Indices of 27 or more are ignored.
    void write(std::size_t index, T value) {
        if (index < static_cast<std::size_t>(kJointSlots))
            writer_->slot[index].store(value, std::memory_order_relaxed);
    }

    // Writer only: the hidden half becomes the published one, then the new
    // hidden half is brought up to date so the next writes start from it.
    void publish() {
        Half* old = current_.exchange(writer_, std::memory_order_seq_cst);
        Half* now = current_.load(std::memory_order_seq_cst);
        for (int i = 0; i < kJointSlots; ++i)
            old->slot[i].store(now->slot[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
        writer_ = old;
    }

    // Any thread. index must be 0..26 (callers check joint numbers).
    T read(std::size_t index) const {
        const Half* h = current_.load(std::memory_order_seq_cst);
        return h->slot[index].load(std::memory_order_relaxed);
    }

    // Writer only: the value the next publication starts from.
    T pending(std::size_t index) const {
        return writer_->slot[index].load(std::memory_order_relaxed);
    }

private:
    // Each half on its own cache lines. Slots are relaxed atomics so a late
    // reader racing publish() step 2 reads either value, never a torn one.
    struct alignas(64) Half {
        std::atomic<T> slot[kJointSlots];
    };
    Half halves_[2];
    std::atomic<Half*> current_{nullptr};
    Half* writer_ = nullptr;
};

}  // namespace morvx

#endif  // MORVANE_DOUBLE_BUFFER_H
