// Tactile sensor channels: set-up, block decoding under the per-channel
// sequence counter, consistent reads, and the finger getters.
//
// Concurrency: one receive thread writes the floats of a channel in place
// between two steps of the block half of its sequence word (odd while
// writing); a rebuild on the caller's thread rewrites the channels between
// two steps of each one's rebuild half. Readers on any thread read a channel
// in place, with no write of their own to shared memory, and retry while
// the word was odd in either half or changed. Decoder and rebuild exclude
// each other through the order of their read-modify-writes on the word: the
// decoder, which never waits, drops its block when it finds a rebuild under
// way; a rebuild waits until no block is being written.
//
// A channel's format is changed only inside a rebuild, together with its
// layout, so a block is never decoded with one in the other's layout.
//
// Storage is fixed (sensor_channel.h), so none of these paths allocates or
// frees. Writers store floats and lengths with relaxed atomic stores (the
// compiler's __atomic builtins on plain floats, the C++17 stand-in for
// std::atomic_ref) and the layout reference with a release store; readers
// load them atomically or with opaque vector loads (copy_live), so a retried
// read is merely stale, never a data race.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
// Sanitizer builds take the portable copy: TSan and ASan see no access
// that inline assembly makes.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define MORVANE_PORTABLE_COPY 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define MORVANE_PORTABLE_COPY 1
#endif
#endif
#if defined(__x86_64__) && !defined(MORVANE_PORTABLE_COPY)
#define MORVANE_VECTOR_COPY 1
#include <immintrin.h>
#endif

#include "hand_ops.h"
#include "sensor_geometry.h"

namespace morvx {
namespace {

constexpr std::size_t kProximityOffset = 22;  // last field of the 24-byte full block
constexpr std::size_t kFullBlockTaxels = 10;
constexpr int kFirstSensor = 1;
constexpr int kLastSensor = 11;
constexpr uint8_t kFormatPacked = 0;
constexpr uint8_t kFormatFull = 1;
constexpr uint8_t kFormatFullFiveTaxels = 2;

inline void store_relaxed(float* slot, float value) {
    __atomic_store(slot, &value, __ATOMIC_RELAXED);
}

inline float load_relaxed(const float* slot) {
    float value;
    __atomic_load(slot, &value, __ATOMIC_RELAXED);
    return value;
}

// Copies n floats of a live channel list. The caller validates the copy with
// the sequence counters, so values that a concurrent write tore are thrown
// away; only the loads themselves must be well defined. On x86-64 the bulk
// moves in 16-byte vector loads written as inline assembly (opaque to the
// compiler, so no C++ data race), which keeps a getter as fast as a plain
// copy; the rest, other targets and sanitizer builds use relaxed atomic
// loads of single floats.
inline void copy_live(const float* src, std::size_t n, float* dst) {
#if defined(MORVANE_VECTOR_COPY)
    struct Chunk {
        float v[4];
    };
    const auto copy4 = [&](std::size_t at) {
        __m128 v;
        asm volatile("movups %1, %0" : "=x"(v) : "m"(*reinterpret_cast<const Chunk*>(src + at)));
        _mm_storeu_ps(dst + at, v);
    };
    if (n >= 4) {
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) copy4(i);
        if (i < n) copy4(n - 4);  // the last four again, overlapping
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) dst[i] = load_relaxed(src + i);
}

inline float clamp(float v, float lo, float hi) {
    return std::min(std::max(v, lo), hi);
}

// Pressure in tenths, up to 25.5.
inline float tenths(uint8_t byte) {
    return clamp(static_cast<float>(byte) / 10.0f, 0.0f, 25.5f);
}

// Pressure as a fraction of full scale.
inline float fraction(uint8_t byte) {
    return clamp(static_cast<float>(byte) / 255.0f, 0.0f, 1.0f);
}

using FloatList = FixedList<float, kMaxTaxels>;
using PairList = FixedList<float, kPairValues>;

// One taxel byte per pressure value. The block holds as many bytes as the
// channel has taxels, but the frame may hold fewer: only bytes that arrived
// are read, the other values keep theirs.
void decode_packed_block(SensorChannel& c, const uint8_t* block, std::size_t avail) {
    const std::size_t n = std::min(c.pressure.size(), avail);
    float* out = c.pressure.data();
    for (std::size_t i = 0; i < n; ++i) store_relaxed(out + i, tenths(block[i]));
}

// Two little-endian u16 values at offset into both entries of a pair, each
// only when its bytes arrived.
template <typename Scale>
void decode_u16_pair(PairList& pair, const uint8_t* block, std::size_t avail, std::size_t offset, Scale scale) {
    const std::size_t n = pair.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t at = offset + 2 * k;
        if (at + 2 > avail) return;
        store_relaxed(pair.data() + k, scale(read_le16(block + at)));
    }
}

// 24 bytes: 10 pressure bytes, normal force, tangential force, force
// direction (u16 pairs), proximity (two bytes). Items of some replies are
// shorter than a full block, so every field is read only when its bytes are
// inside the received data.
void decode_full_block(SensorChannel& c, uint8_t format, const uint8_t* block, std::size_t avail) {
    const std::size_t n = std::min({c.pressure.size(), kFullBlockTaxels, avail});
    float* out = c.pressure.data();
    for (std::size_t i = 0; i < n; ++i)
        store_relaxed(out + i, format == kFormatFullFiveTaxels ? tenths(block[i]) : fraction(block[i]));

    decode_u16_pair(c.normal_force, block, avail, 10, [](uint16_t v) { return static_cast<float>(v) / 100.0f; });
    decode_u16_pair(c.tangential_force, block, avail, 14,
                    [](uint16_t v) { return static_cast<float>(v) / 100.0f; });
    decode_u16_pair(c.force_direction, block, avail, 18, [](uint16_t v) { return static_cast<float>(v); });

    const std::size_t np = c.proximity.size();
    for (std::size_t k = 0; k < np && kProximityOffset + k < avail; ++k)
        store_relaxed(c.proximity.data() + k, static_cast<float>(block[kProximityOffset + k]) / 255.0f);
}

bool valid_sensor(int channel) {
    return channel >= kFirstSensor && channel <= kLastSensor;
}

bool valid_channel(int channel) {
    return channel >= 0 && channel < kSensorChannels;
}

// One run of read(live channel) that saw one consistent state of the
// channel (neither a block nor a rebuild was written meanwhile) into result;
// false when it did not.
template <typename Read, typename Result>
inline bool try_read(const HandCore& h, int channel, Read& read, Result& result) {
    const LiveChannel& live = h.sensor_channels[channel];
    const ChannelSequence::Word before = live.sequence.load_word(std::memory_order_acquire);
    // Read first and judge after: a run that began during a write is thrown
    // away like one a write overtook, and the straight path has one branch.
    result = read(live.record);
    std::atomic_thread_fence(std::memory_order_acquire);
    const ChannelSequence::Word after = live.sequence.load_word(std::memory_order_relaxed);
    return ((before & ChannelSequence::kBusy) | (after ^ before)) == 0;
}

// Retries until a run is consistent; out of the getters' straight path.
template <typename Read>
__attribute__((noinline, cold)) auto read_retrying(const HandCore& h, int channel, Read read)
    -> decltype(read(h.sensor_channels[0].record)) {
    decltype(read(h.sensor_channels[0].record)) result{};
    for (unsigned spins = 1; !try_read(h, channel, read, result); ++spins)
        if (spins % 64 == 0) std::this_thread::yield();
    return result;
}

// Runs read(live channel) until it saw one consistent state of the channel.
// read may run several times; only the last run's effects count.
template <typename Read>
inline auto read_consistent(const HandCore& h, int channel, Read read) -> decltype(read(h.sensor_channels[0].record)) {
    decltype(read(h.sensor_channels[0].record)) result{};
    if (try_read(h, channel, read, result)) return result;
    return read_retrying(h, channel, read);
}

// The scalar getters' form: finish(consistent result) is the getter's
// answer. The retry path finishes on its own, so the straight path leaves
// through a tail call and needs no stack frame.
template <typename Read, typename Finish>
__attribute__((noinline, cold)) int finish_retrying(const HandCore& h, int channel, Read read, Finish finish) {
    return finish(read_retrying(h, channel, read));
}

template <typename Read, typename Finish>
inline int read_consistent_then(const HandCore& h, int channel, Read read, Finish finish) {
    decltype(read(h.sensor_channels[0].record)) result{};
    if (try_read(h, channel, read, result)) return finish(result);
    return finish_retrying(h, channel, read, finish);
}

// A consistent copy of a live list (the caller runs it under read_consistent).
template <std::size_t N>
void copy_list(const FixedList<float, N>& from, FixedList<float, N>& to) {
    const std::size_t n = from.size();
    copy_live(from.data(), n, to.data());
    to.set_size(n);
}

// Copies at most max values of a live list into out; returns how many.
std::size_t copy_out(const float* list, std::size_t size, float* out, std::size_t max) {
    const std::size_t n = std::min(size, max);
    copy_live(list, n, out);
    return n;
}

// Count contract: no array: report the length; else copy at most *count
// values from the start and report how many were copied. A negative count
// with an array is a bad argument.
template <std::size_t N>
int get_list(const HandCore& h, int channel, float* values, int* count,
             FixedList<float, N> SensorChannel::*list) {
    if (!valid_sensor(channel) || count == nullptr) return kBadArgument;
    if (values == nullptr) {
        *count = static_cast<int>(read_consistent(h, channel, [list](const SensorChannel& c) { return (c.*list).size(); }));
        return kOk;
    }
    if (*count < 0) return kBadArgument;
    const std::size_t max = static_cast<std::size_t>(*count);
    *count = static_cast<int>(read_consistent(h, channel, [list, values, max](const SensorChannel& c) {
        const FixedList<float, N>& l = c.*list;
        return copy_out(l.data(), l.size(), values, max);
    }));
    return kOk;
}

// A pair's first value and whether the pair had one.
struct FirstValue {
    float value;
    bool present;
};

// A scalar getter's answer: the value when the pair had one.
struct StoreFirst {
    float* value;
    int operator()(FirstValue first) const {
        if (!first.present) return kNoSensorData;
        *value = first.value;
        return kOk;
    }
};

int get_first(const HandCore& h, int channel, float* value, PairList SensorChannel::*list) {
    if (!valid_sensor(channel) || value == nullptr) return kBadArgument;
    return read_consistent_then(
        h, channel,
        [list](const SensorChannel& c) {
            const PairList& l = c.*list;
            return FirstValue{load_relaxed(l.data()), !l.empty()};
        },
        StoreFirst{value});
}

// Holds the decoder off every channel for the duration of a rebuild and
// makes readers retry: makes every channel's rebuild half odd, then waits
// until no block is being written. One at a time (the set-up calls' rule).
class RebuildScope {
public:
    explicit RebuildScope(HandCore& h) : h_(h) {
        for (int ch = 0; ch < kSensorChannels; ++ch) begun_[ch] = h_.sensor_channels[ch].sequence.begin_rebuild();
        // Orders the odd words before every store of the rebuild (pairs
        // with a reader's acquire fence, as in the decoder).
        std::atomic_thread_fence(std::memory_order_release);
        for (int ch = 0; ch < kSensorChannels; ++ch) {
            const ChannelSequence& sequence = h_.sensor_channels[ch].sequence;
            for (unsigned spins = 0; sequence.load_word(std::memory_order_acquire) & ChannelSequence::kBlock; ++spins)
                if (spins % 64 == 63) std::this_thread::yield();
        }
    }
    ~RebuildScope() {
        for (int ch = 0; ch < kSensorChannels; ++ch) h_.sensor_channels[ch].sequence.end_rebuild(begun_[ch]);
    }
    RebuildScope(const RebuildScope&) = delete;
    RebuildScope& operator=(const RebuildScope&) = delete;

private:
    HandCore& h_;
    ChannelSequence::Word begun_[kSensorChannels];
};

void store_list(PairList& list, std::size_t n, float value) {
    for (std::size_t i = 0; i < n; ++i) store_relaxed(list.data() + i, value);
    list.set_size(n);
}

// The channel's taxel layout (one of the fixed ones, never larger than the
// storage) and zero pressure; the caller holds a RebuildScope.
void lay_out_channel(SensorChannel& c, const SensorLayout& layout) {
    const std::size_t n = std::min(layout.size(), kMaxTaxels);
    for (std::size_t i = 0; i < n; ++i) store_relaxed(c.pressure.data() + i, 0.0f);
    c.positions.set(&layout);
    c.pressure.set_size(n);
}

// The caller holds a RebuildScope.
void rebuild_channel_locked(HandCore& h, int channel) {
    SensorChannel& c = h.sensor_channels[channel].record;
    if (h.channel_format[channel].load(std::memory_order_relaxed) == kFormatFullFiveTaxels)
        lay_out_channel(c, layout_5());
    else
        lay_out_channel(c, select_sensor_layout(h.hand_type.load(std::memory_order_relaxed), channel,
                                                h.hand_direction.load(std::memory_order_relaxed)));
}

// Every channel starts from the 9-point layout with zero values; the sensors
// then take their own layouts. The caller holds a RebuildScope.
void build_channels_locked(HandCore& h) {
    for (int ch = 0; ch < kSensorChannels; ++ch) {
        SensorChannel& c = h.sensor_channels[ch].record;
        lay_out_channel(c, layout_9());
        store_list(c.normal_force, kPairValues, 0.0f);
        store_list(c.tangential_force, kPairValues, 0.0f);
        store_list(c.force_direction, kPairValues, 0.0f);
        store_list(c.proximity, kPairValues, 0.0f);
        if (valid_sensor(ch)) rebuild_channel_locked(h, ch);
    }
}

}  // namespace

// ---- set-up ------------------------------------------------------------------

ChannelFormats default_channel_formats(int hand_type) {
    ChannelFormats formats{};
    for (int ch = kFirstSensor; ch <= kLastSensor; ++ch)
        formats[ch] = (hand_type != 1 && ch != kLastSensor) ? kFormatFull : kFormatPacked;
    return formats;
}

// Readers see the old channels or the new ones.
void build_sensor_channels(HandCore& h) {
    RebuildScope rebuild(h);
    build_channels_locked(h);
}

void build_sensor_channels(HandCore& h, const ChannelFormats& formats) {
    RebuildScope rebuild(h);
    for (int ch = 0; ch < kJointSlots; ++ch) h.channel_format[ch].store(formats[ch], std::memory_order_relaxed);
    build_channels_locked(h);
}

void rebuild_sensor_channel(HandCore& h, int channel) {
    if (!valid_channel(channel)) return;
    RebuildScope rebuild(h);
    rebuild_channel_locked(h, channel);
}

int set_hand_direction(HandCore& h, int direction) {
    h.hand_direction.store(direction, std::memory_order_relaxed);
    build_sensor_channels(h);
    return kOk;
}

int set_sensor_data_format(HandCore& h, int format) {
    ChannelFormats formats{};
    if (format == 1) {
        for (int ch = kFirstSensor; ch <= kLastSensor; ++ch) formats[ch] = kFormatFullFiveTaxels;
    } else {
        formats = default_channel_formats(h.hand_type.load(std::memory_order_relaxed));
    }
    build_sensor_channels(h, formats);
    return kOk;
}

int set_sensor_order(HandCore& h, const int* order, int count) {
    if (order == nullptr || count < 1 || count > kSensorChannels) return kBadArgument;
    bool seen[kLastSensor + 1] = {};
    for (int i = 0; i < count; ++i) {
        const int ch = order[i];
        if (!valid_sensor(ch) || seen[ch]) return kBadArgument;
        seen[ch] = true;
    }
    for (int i = 0; i < count; ++i) h.sensor_map[i].store(order[i], std::memory_order_relaxed);
    return kOk;
}

// ---- write protocol ----------------------------------------------------------

void decode_tactile_block(HandCore& h, int first_item, int item, const uint8_t* block, std::size_t avail) {
    if (block == nullptr || avail == 0) return;
    const long long index = static_cast<long long>(first_item) + item;
    if (first_item < 0 || item < 0 || index >= kJointSlots) return;
    const int channel = h.sensor_map[static_cast<std::size_t>(index)];
    if (!valid_channel(channel)) return;

    ChannelSequence& sequence = h.sensor_channels[channel].sequence;
    if (sequence.add_word(ChannelSequence::kBlock, std::memory_order_acquire) & ChannelSequence::kRebuild) {
        // A rebuild is under way: this block is dropped.
        sequence.add_word(ChannelSequence::kBlock, std::memory_order_release);
        return;
    }
    // Orders the odd counter before every float store below: a reader that
    // sees any new float then sees the counter moved (fence-to-fence pairing
    // with the reader's acquire fence).
    std::atomic_thread_fence(std::memory_order_release);

    SensorChannel& c = h.sensor_channels[channel].record;
    const uint8_t format = h.channel_format[channel].load(std::memory_order_relaxed);
    if (format == kFormatPacked)
        decode_packed_block(c, block, avail);
    else
        decode_full_block(c, format, block, avail);

    sequence.fetch_add(1, std::memory_order_release);
}

SensorChannel read_sensor_channel(const HandCore& h, int channel) {
    SensorChannel copy;
    if (!valid_channel(channel)) return copy;
    read_consistent(h, channel, [&](const SensorChannel& live) {
        copy_list(live.pressure, copy.pressure);
        copy_list(live.normal_force, copy.normal_force);
        copy_list(live.tangential_force, copy.tangential_force);
        copy_list(live.force_direction, copy.force_direction);
        copy_list(live.proximity, copy.proximity);
        copy.positions.set(live.positions.get());
        return true;
    });
    return copy;
}

// ---- getters -------------------------------------------------------------------

int get_finger_sensor_pos(const HandCore& h, int channel, float* x, float* y, int* count) {
    if (!valid_sensor(channel) || count == nullptr) return kBadArgument;
    if (x == nullptr || y == nullptr) {
        *count = static_cast<int>(read_consistent(h, channel, [](const SensorChannel& c) { return c.positions.size(); }));
        return kOk;
    }
    if (*count < 0) return kBadArgument;
    const std::size_t max = static_cast<std::size_t>(*count);
    *count = static_cast<int>(read_consistent(h, channel, [x, y, max](const SensorChannel& c) {
        const SensorLayout* layout = c.positions.get();
        const std::size_t n = layout ? std::min(layout->size(), max) : 0;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = (*layout)[i].first;
            y[i] = (*layout)[i].second;
        }
        return n;
    }));
    return kOk;
}

int get_finger_pressure(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, &SensorChannel::pressure);
}

int get_finger_normal_force(const HandCore& h, int channel, float* value) {
    if (!valid_sensor(channel) || value == nullptr) return kBadArgument;
    return read_consistent_then(
        h, channel,
        [](const SensorChannel& c) {
            // Both slots are loaded whatever the length (the storage is
            // fixed), so only the choice depends on it.
            const std::size_t n = c.normal_force.size();
            const float first = load_relaxed(c.normal_force.data());
            const float second = load_relaxed(c.normal_force.data() + 1);
            return FirstValue{n == 1 ? first : std::max(first, second), n != 0};
        },
        StoreFirst{value});
}

int get_finger_normal_force_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, &SensorChannel::normal_force);
}

int get_finger_tangential_force(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, &SensorChannel::tangential_force);
}

int get_finger_tangential_force_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, &SensorChannel::tangential_force);
}

int get_finger_force_direction(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, &SensorChannel::force_direction);
}

int get_finger_force_direction_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, &SensorChannel::force_direction);
}

int get_finger_proximity(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, &SensorChannel::proximity);
}

int get_finger_proximity_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, &SensorChannel::proximity);
}

}  // namespace morvx
