// One tactile sensor's decoded readings, in fixed storage sized by the
// largest taxel layout, and a reference to its taxel layout, so that
// decoding, rebuilding and reading a channel never touch the heap. Plain
// value type: a copy is a complete record.
#ifndef MORVANE_SENSOR_CHANNEL_H
#define MORVANE_SENSOR_CHANNEL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace morvx {

constexpr int kSensorChannels = 12;    // channel numbers 0..11; 1..11 are sensors
constexpr std::size_t kMaxTaxels = 36;  // the largest taxel layout
constexpr std::size_t kPairValues = 2;  // normal force, tangential force, direction, proximity

// A list of at most N values in place. The length is read and written with
// relaxed atomic accesses, so a reader may look at it while a writer of the
// channel changes it (under the channel's sequence counter); it never exceeds N.
template <typename T, std::size_t N>
class FixedList {
public:
    static constexpr std::size_t capacity() { return N; }
    std::size_t size() const { return __atomic_load_n(&size_, __ATOMIC_RELAXED); }
    bool empty() const { return size() == 0; }
    void clear() { set_size(0); }
    // n values (at most N), each `value`.
    void assign(std::size_t n, const T& value) {
        if (n > N) n = N;
        for (std::size_t i = 0; i < n; ++i) items_[i] = value;
        set_size(n);
    }
    void set_size(std::size_t n) { __atomic_store_n(&size_, n > N ? N : n, __ATOMIC_RELAXED); }

    T* data() { return items_; }
    const T* data() const { return items_; }
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    const T& at(std::size_t i) const {
        if (i >= size()) throw std::out_of_range("FixedList::at");
        return items_[i];
    }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + size(); }

private:
    alignas(16) T items_[N] = {};
    std::size_t size_ = 0;
};

// A taxel layout: normalised (x, y) points, the n-th for the n-th pressure value.
using SensorLayout = std::vector<std::pair<float, float>>;

// The layout a channel was built with: one of the fixed layouts, which are
// built once and never change or go away (sensor_geometry.h), so a reader
// may copy points from it as from any constant table. Only the reference
// changes, on a rebuild; it is stored with release and loaded with acquire.
class LayoutRef {
public:
    using Point = std::pair<float, float>;
    const SensorLayout* get() const { return __atomic_load_n(&layout_, __ATOMIC_ACQUIRE); }
    void set(const SensorLayout* layout) { __atomic_store_n(&layout_, layout, __ATOMIC_RELEASE); }
    std::size_t size() const {
        const SensorLayout* l = get();
        return l ? l->size() : 0;
    }
    bool empty() const { return size() == 0; }
    const Point* begin() const {
        const SensorLayout* l = get();
        return l ? l->data() : nullptr;
    }
    const Point* end() const {
        const SensorLayout* l = get();
        return l ? l->data() + l->size() : nullptr;
    }
    const Point& operator[](std::size_t i) const { return (*get())[i]; }

private:
    const SensorLayout* layout_ = nullptr;
};

// A channel's sequence word: blocks in the high half, odd while a block is
// being written; rebuilds in the low half, odd while the channel is being
// rebuilt. One word, so a reader checks one load before and one after, and
// the decoder and a rebuild exclude each other through the order of their
// read-modify-writes on it. load, store and fetch_add work on the block
// counter, as on a std::atomic<uint32_t>. Neither half ever carries into
// the other or into a false state: the block half wraps off the top of the
// word and the rebuild half wraps inside itself (end_rebuild), each keeping
// its parity, so any number of blocks and rebuilds leaves the word sound.
class ChannelSequence {
public:
    using Word = uint64_t;
    static constexpr Word kBlock = Word{1} << 32;     // one step of the block counter
    static constexpr Word kRebuild = 1;               // one step of the rebuild counter
    static constexpr Word kBusy = kBlock | kRebuild;  // odd in either half: being written
    static constexpr Word kRebuildHalf = kBlock - 1;  // the low half

    uint32_t load(std::memory_order order = std::memory_order_seq_cst) const {
        return static_cast<uint32_t>(word_.load(order) >> 32);
    }
    void store(uint32_t blocks, std::memory_order order = std::memory_order_seq_cst) {
        word_.store(static_cast<Word>(blocks) << 32, order);
    }
    uint32_t fetch_add(uint32_t steps, std::memory_order order = std::memory_order_seq_cst) {
        return static_cast<uint32_t>(word_.fetch_add(static_cast<Word>(steps) << 32, order) >> 32);
    }

    Word load_word(std::memory_order order) const { return word_.load(order); }
    Word add_word(Word steps, std::memory_order order) { return word_.fetch_add(steps, order); }
    // Only while no block or rebuild is under way.
    void store_word(Word word, std::memory_order order) { word_.store(word, order); }

    // A rebuild makes the rebuild half odd and returns what it was (even).
    // One rebuild at a time: only the caller's thread changes this half.
    Word begin_rebuild() { return word_.fetch_add(kRebuild, std::memory_order_acq_rel) & kRebuildHalf; }
    // Ends the rebuild that begin_rebuild() answered `begun` for: the half
    // steps on to the next even value, from 0xFFFFFFFF to 0 without a carry
    // (the step is then 1 - 2^32, modulo 2^64).
    void end_rebuild(Word begun) {
        const Word odd = begun + kRebuild;
        const Word next = (odd + kRebuild) & kRebuildHalf;
        word_.fetch_add(next - odd, std::memory_order_release);
    }

private:
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "readers must never take a lock");
    std::atomic<Word> word_{0};
};

// One tactile sensor's readings and its taxel layout. The copy that
// read_sensor_channel returns.
struct SensorChannel {
    LayoutRef positions;                   // normalised taxel (x, y)
    FixedList<float, kMaxTaxels> pressure;  // one per taxel, as many as positions
    FixedList<float, kPairValues> normal_force;                // always 2
    FixedList<float, kPairValues> tangential_force;            // always 2
    FixedList<float, kPairValues> force_direction;             // always 2
    FixedList<float, kPairValues> proximity;                   // always 2
};

// A channel as the hand keeps it: its sequence word on the channel's first
// cache line, then the record. Cache-line aligned, so that the decoder
// writing one channel (its word and its values) does not disturb readers of
// another, and a channel's offset is a shift (256 bytes).
struct alignas(64) LiveChannel {
    ChannelSequence sequence;
    SensorChannel record;
};
static_assert(sizeof(LiveChannel) == 256 || sizeof(void*) != 8, "four cache lines per channel");

}  // namespace morvx

#endif  // MORVANE_SENSOR_CHANNEL_H
