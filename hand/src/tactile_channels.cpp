// Tactile sensor channels: set-up, block decoding under the per-channel
// sequence counter, consistent reads, and the finger getters.
//
// Concurrency: one receive thread writes the floats of a channel in place
// between two increments of its counter (odd while writing); any thread reads
// a channel by copying it and retrying while the counter was odd or changed.
// The floats that the writer touches are accessed on both sides through
// relaxed atomic loads and stores (the compiler's __atomic builtins on plain
// floats, the C++17 stand-in for std::atomic_ref). That keeps SensorChannel a
// plain value type of float vectors while every concurrent access is atomic,
// so a retried read is merely stale, never a data race. Vector sizes and
// taxel positions only change when the channels are rebuilt, which the
// set-up calls do while no block is decoded or read.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

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
void decode_u16_pair(std::vector<float>& pair, const uint8_t* block, std::size_t avail, std::size_t offset,
                     Scale scale) {
    const std::size_t n = std::min<std::size_t>(pair.size(), 2);
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

    const std::size_t np = std::min<std::size_t>(c.proximity.size(), 2);
    for (std::size_t k = 0; k < np && kProximityOffset + k < avail; ++k)
        store_relaxed(c.proximity.data() + k, static_cast<float>(block[kProximityOffset + k]) / 255.0f);
}

std::vector<float> sized_like(const std::vector<float>& src) {
    return std::vector<float>(src.size());
}

void reload(std::vector<float>& dst, const std::vector<float>& src) {
    for (std::size_t i = 0; i < dst.size(); ++i) dst[i] = load_relaxed(src.data() + i);
}

bool valid_sensor(int channel) {
    return channel >= kFirstSensor && channel <= kLastSensor;
}

// Count contract: no array: report the length; else copy at most *count
// values from the start and report how many were copied. A negative count
// with an array is a bad argument.
int copy_list(const std::vector<float>& list, float* values, int* count) {
    if (values == nullptr) {
        *count = static_cast<int>(list.size());
        return kOk;
    }
    if (*count < 0) return kBadArgument;
    const std::size_t n = std::min(static_cast<std::size_t>(*count), list.size());
    std::copy_n(list.begin(), n, values);
    *count = static_cast<int>(n);
    return kOk;
}

using ListOf = const std::vector<float>& (*)(const SensorChannel&);

int get_list(const HandCore& h, int channel, float* values, int* count, ListOf list) {
    if (!valid_sensor(channel) || count == nullptr) return kBadArgument;
    const SensorChannel c = read_sensor_channel(h, channel);
    return copy_list(list(c), values, count);
}

int get_first(const HandCore& h, int channel, float* value, ListOf list) {
    if (!valid_sensor(channel) || value == nullptr) return kBadArgument;
    const SensorChannel c = read_sensor_channel(h, channel);
    const std::vector<float>& l = list(c);
    if (l.empty()) return kNoSensorData;
    *value = l.front();
    return kOk;
}

const std::vector<float>& normal_force_of(const SensorChannel& c) { return c.normal_force; }
const std::vector<float>& tangential_force_of(const SensorChannel& c) { return c.tangential_force; }
const std::vector<float>& force_direction_of(const SensorChannel& c) { return c.force_direction; }
const std::vector<float>& proximity_of(const SensorChannel& c) { return c.proximity; }
const std::vector<float>& pressure_of(const SensorChannel& c) { return c.pressure; }

// A pass to touch the channel vectors (see HandCore::tactile_users). The
// seq_cst increment and flag load pair with the rebuilder's seq_cst flag
// store and user count load, so either the rebuild waits for this pass or
// the pass sees the rebuild and backs off.
class ChannelPass {
public:
    // wait: readers wait out a rebuild; the decoder (which never waits) does not.
    ChannelPass(const HandCore& h, bool wait) : h_(h) {
        for (unsigned spins = 0;; ++spins) {
            h_.tactile_users.fetch_add(1, std::memory_order_seq_cst);
            if (!h_.tactile_rebuilding.load(std::memory_order_seq_cst)) {
                held_ = true;
                return;
            }
            h_.tactile_users.fetch_sub(1, std::memory_order_seq_cst);
            if (!wait) return;
            if (spins % 64 == 63) std::this_thread::yield();
        }
    }
    ~ChannelPass() {
        if (held_) h_.tactile_users.fetch_sub(1, std::memory_order_seq_cst);
    }
    ChannelPass(const ChannelPass&) = delete;
    ChannelPass& operator=(const ChannelPass&) = delete;
    bool held() const { return held_; }

private:
    const HandCore& h_;
    bool held_ = false;
};

// Holds every pass off for the duration of a rebuild.
class RebuildScope {
public:
    explicit RebuildScope(HandCore& h) : h_(h) {
        h_.tactile_rebuilding.store(true, std::memory_order_seq_cst);
        for (unsigned spins = 0; h_.tactile_users.load(std::memory_order_seq_cst) != 0; ++spins)
            if (spins % 64 == 63) std::this_thread::yield();
    }
    ~RebuildScope() { h_.tactile_rebuilding.store(false, std::memory_order_seq_cst); }
    RebuildScope(const RebuildScope&) = delete;
    RebuildScope& operator=(const RebuildScope&) = delete;

private:
    HandCore& h_;
};

SensorChannel read_channel_locked(const HandCore& h, int channel);

}  // namespace

// ---- set-up ------------------------------------------------------------------

void set_default_channel_formats(HandCore& h) {
    const int type = h.hand_type.load(std::memory_order_relaxed);
    store_all(h.channel_format, 0);
    for (int ch = kFirstSensor; ch <= kLastSensor; ++ch)
        h.channel_format[ch] = (type != 1 && ch != kLastSensor) ? kFormatFull : kFormatPacked;
}

void build_sensor_channels(HandCore& h) {
    RebuildScope rebuild(h);
    std::vector<SensorChannel> channels;
    channels.reserve(kSensorChannels);
    for (int ch = 0; ch < kSensorChannels; ++ch)
        channels.emplace_back(layout_9(), std::vector<float>(layout_9().size(), 0.0f), std::vector<float>(2, 0.0f),
                              std::vector<float>(2, 0.0f), std::vector<float>(2, 0.0f), std::vector<float>(2, 0.0f));
    h.sensor_channels = std::move(channels);
    for (int ch = kFirstSensor; ch <= kLastSensor; ++ch) rebuild_sensor_channel(h, ch);
}

void rebuild_sensor_channel(HandCore& h, int channel) {
    if (channel < 0 || channel >= static_cast<int>(h.sensor_channels.size()) || channel >= kJointSlots) return;
    SensorChannel& c = h.sensor_channels[channel];
    if (h.channel_format[channel] == kFormatFullFiveTaxels)
        c.positions = layout_5();
    else
        c.positions = select_sensor_layout(h.hand_type.load(std::memory_order_relaxed), channel,
                                           h.hand_direction.load(std::memory_order_relaxed));
    c.pressure.assign(c.positions.size(), 0.0f);
}

int set_hand_direction(HandCore& h, int direction) {
    h.hand_direction.store(direction, std::memory_order_relaxed);
    build_sensor_channels(h);
    return kOk;
}

int set_sensor_data_format(HandCore& h, int format) {
    if (format == 1) {
        for (int ch = kFirstSensor; ch <= kLastSensor; ++ch) h.channel_format[ch] = kFormatFullFiveTaxels;
    } else {
        set_default_channel_formats(h);
    }
    build_sensor_channels(h);
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
    const ChannelPass pass(h, false);
    if (!pass.held()) return;  // a rebuild is under way: this block is dropped
    if (channel < 0 || channel >= static_cast<int>(h.sensor_channels.size()) || channel >= kJointSlots) return;

    std::atomic<uint32_t>& sequence = h.channel_sequence[channel];
    sequence.fetch_add(1, std::memory_order_relaxed);
    // Orders the odd counter before every float store below: a reader that
    // sees any new float then sees the counter moved (fence-to-fence pairing
    // with the reader's acquire fence).
    std::atomic_thread_fence(std::memory_order_release);

    SensorChannel& c = h.sensor_channels[channel];
    const uint8_t format = h.channel_format[channel];
    if (format == kFormatPacked)
        decode_packed_block(c, block, avail);
    else
        decode_full_block(c, format, block, avail);

    sequence.fetch_add(1, std::memory_order_release);
}

SensorChannel read_sensor_channel(const HandCore& h, int channel) {
    const ChannelPass pass(h, true);
    return read_channel_locked(h, channel);
}

namespace {

// Caller holds a ChannelPass.
SensorChannel read_channel_locked(const HandCore& h, int channel) {
    if (channel < 0 || channel >= static_cast<int>(h.sensor_channels.size()) || channel >= kJointSlots)
        return SensorChannel();
    const SensorChannel& live = h.sensor_channels[channel];
    const std::atomic<uint32_t>& sequence = h.channel_sequence[channel];

    // Sizes and positions never change under a writer: allocate once, then
    // reload only the floats on a retry.
    SensorChannel copy(live.positions, sized_like(live.pressure), sized_like(live.normal_force),
                       sized_like(live.tangential_force), sized_like(live.force_direction), sized_like(live.proximity));
    unsigned spins = 0;
    for (;;) {
        const uint32_t before = sequence.load(std::memory_order_acquire);
        if (before & 1u) {
            if (++spins % 64 == 0) std::this_thread::yield();
            continue;
        }
        reload(copy.pressure, live.pressure);
        reload(copy.normal_force, live.normal_force);
        reload(copy.tangential_force, live.tangential_force);
        reload(copy.force_direction, live.force_direction);
        reload(copy.proximity, live.proximity);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence.load(std::memory_order_relaxed) == before) return copy;
    }
}

}  // namespace

// ---- getters -------------------------------------------------------------------

int get_finger_sensor_pos(const HandCore& h, int channel, float* x, float* y, int* count) {
    if (!valid_sensor(channel) || count == nullptr) return kBadArgument;
    const ChannelPass pass(h, true);
    if (channel >= static_cast<int>(h.sensor_channels.size())) {
        *count = 0;
        return kOk;
    }
    const SensorLayout& positions = h.sensor_channels[channel].positions;
    if (x == nullptr || y == nullptr) {
        *count = static_cast<int>(positions.size());
        return kOk;
    }
    if (*count < 0) return kBadArgument;
    const std::size_t n = std::min(static_cast<std::size_t>(*count), positions.size());
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = positions[i].first;
        y[i] = positions[i].second;
    }
    *count = static_cast<int>(n);
    return kOk;
}

int get_finger_pressure(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, pressure_of);
}

int get_finger_normal_force(const HandCore& h, int channel, float* value) {
    if (!valid_sensor(channel) || value == nullptr) return kBadArgument;
    const SensorChannel c = read_sensor_channel(h, channel);
    if (c.normal_force.empty()) return kNoSensorData;
    *value = *std::max_element(c.normal_force.begin(), c.normal_force.end());
    return kOk;
}

int get_finger_normal_force_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, normal_force_of);
}

int get_finger_tangential_force(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, tangential_force_of);
}

int get_finger_tangential_force_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, tangential_force_of);
}

int get_finger_force_direction(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, force_direction_of);
}

int get_finger_force_direction_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, force_direction_of);
}

int get_finger_proximity(const HandCore& h, int channel, float* value) {
    return get_first(h, channel, value, proximity_of);
}

int get_finger_proximity_ex(const HandCore& h, int channel, float* values, int* count) {
    return get_list(h, channel, values, count, proximity_of);
}

}  // namespace morvx
