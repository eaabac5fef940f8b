// Tactile frame decoder. Every field is read through a bounds check against
// the bytes given; multi-byte fields are little-endian.
#include "tactile_frame.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace morvx {
namespace tactile {

namespace {

constexpr double kFirstGroupFullScale = 4000000.0;
constexpr double kGroupBScale = 3000000.0;
constexpr double kGroupCScale = 1000000.0;
constexpr double kForceScale = 100.0;
constexpr std::size_t kChecksumBytes = 2;

uint16_t read_u16_le(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t read_u32_le(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Truncates to an unsigned 32-bit value. Out-of-range values (possible only
// with baselines the caller set) saturate instead of being undefined.
uint32_t to_u32(double value) {
    if (!(value > 0.0)) return 0;  // also NaN
    if (value >= 4294967295.0) return 4294967295u;
    return static_cast<uint32_t>(value);
}

// Appends the 24-bit reading at `offset`; false when it would reach into the
// checksum or past the frame.
template <typename T>
bool take_u24(const uint8_t* frame, std::size_t payload_end, std::size_t offset, std::vector<T>& out) {
    if (offset > payload_end || payload_end - offset < 3) return false;
    out.push_back(static_cast<T>(read_u24_le(frame + offset)));
    return true;
}

// Group B and C values measured against their baselines. A baseline vector
// shorter than the readings (sized by a frame of the other layout, or by the
// caller) yields values only for readings that have a baseline.
void scale_group(const std::vector<uint32_t>& readings, const std::vector<uint32_t>& baselines, double scale,
                 std::vector<double>& out) {
    for (std::size_t k = 0; k < readings.size() && k < baselines.size(); ++k) {
        const uint32_t delta = readings[k] > baselines[k] ? readings[k] - baselines[k] : 0;
        out.push_back(delta / scale);
    }
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The leading decimal number of an item (standard string-to-double rules)
// into value; false when the item has none or it is out of range. The item
// is not terminated, so it is read from a terminated copy on the stack; only
// a number longer than that copy needs one on the heap.
bool read_number(const char* item, std::size_t len, double& value) {
    constexpr std::size_t kStackItem = 256;
    char copy[kStackItem];
    const std::size_t n = std::min(len, kStackItem - 1);
    std::memcpy(copy, item, n);
    copy[n] = '\0';
    char* end = nullptr;
    errno = 0;
    value = std::strtod(copy, &end);
    if (end == copy || errno == ERANGE) return false;  // no number, or out of range
    if (n == len || static_cast<std::size_t>(end - copy) < n) return true;
    // The number may go on past the copy: read the whole item.
    const std::string whole(item, len);
    errno = 0;
    value = std::strtod(whole.c_str(), &end);
    return errno != ERANGE;
}

}  // namespace

FrameLayout choose_frame_layout(bool long_frame) {
    return long_frame ? FrameLayout{9, 2, 1, 2} : FrameLayout{5, 1, 0, 1};
}

uint32_t read_u24_le(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16);
}

bool verify_frame_checksum(const uint8_t* bytes, std::size_t len) {
    if (bytes == nullptr || len < kChecksumBytes) return false;
    uint16_t sum = 0;
    for (std::size_t i = 0; i + kChecksumBytes < len; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum == read_u16_le(bytes + len - kChecksumBytes);
}

int find_frame_end(const uint8_t* bytes, std::size_t len) {
    if (bytes == nullptr || len <= 5) return 0;
    // The checksum cannot sit inside the readings that byte 5 announces.
    const std::size_t min_end = static_cast<std::size_t>(bytes[5]) * 3 + kFrameHeaderBytes;
    // A frame length must fit the int result; longer inputs are searched no further.
    const std::size_t scan_end = std::min<std::size_t>(len, static_cast<std::size_t>(INT_MAX));
    uint16_t sum = 0;
    for (std::size_t i = 0; i + 2 < scan_end; ++i) {
        sum = static_cast<uint16_t>(sum + bytes[i]);
        if (i > min_end && sum == read_u16_le(bytes + i + 1)) return static_cast<int>(i + 3);
    }
    return 0;
}

bool decode_sensor_frame(const uint8_t* frame, std::size_t len, SensorFrameData& data) {
    if (frame == nullptr || len <= 3 || !verify_frame_checksum(frame, len)) return false;
    if (frame[0] != kFrameSync0 || frame[1] != kFrameSync1 || frame[3] != kFrameType) return false;

    const FrameLayout layout = choose_frame_layout(len >= kLongFrameMinBytes);
    const std::size_t n = static_cast<std::size_t>(layout.total_channels());
    const std::size_t triplets = static_cast<std::size_t>(layout.triplets);
    const std::size_t group_b = static_cast<std::size_t>(layout.group_b);
    const std::size_t group_c = static_cast<std::size_t>(layout.group_c);
    // Fields end before the checksum: its two bytes are never read as data.
    const std::size_t payload_end = len - kChecksumBytes;

    data.readings.clear();
    data.group_b.clear();
    data.group_c.clear();
    data.normal_force.clear();
    data.tangential_force.clear();
    data.direction.clear();
    data.relative.clear();
    data.group_b_scaled.clear();
    data.group_c_scaled.clear();

    for (std::size_t i = 0; i < n; ++i) {
        if (!take_u24(frame, payload_end, kFrameHeaderBytes + 3 * i, data.readings)) return false;
    }
    const std::size_t triplet_start = kFrameHeaderBytes + 3 * n;
    for (std::size_t t = 0; t < triplets; ++t) {
        const std::size_t offset = triplet_start + 6 * t;
        if (offset > payload_end || payload_end - offset < 6) return false;
        data.normal_force.push_back(read_u16_le(frame + offset) / kForceScale);
        data.tangential_force.push_back(read_u16_le(frame + offset + 2) / kForceScale);
        data.direction.push_back(read_u16_le(frame + offset + 4));
    }
    const std::size_t b_start = triplet_start + 6 * triplets;
    for (std::size_t k = 0; k < group_b; ++k) {
        if (!take_u24(frame, payload_end, b_start + 3 * k, data.group_b)) return false;
    }
    const std::size_t c_start = b_start + 3 * group_b;
    for (std::size_t l = 0; l < group_c; ++l) {
        if (!take_u24(frame, payload_end, c_start + 3 * l, data.group_c)) return false;
    }

    if (data.baseline.empty()) data.baseline.assign(data.readings.size(), 0.0);
    if (data.group_b_baseline.empty()) data.group_b_baseline.assign(data.group_b.size(), 0);
    if (data.group_c_baseline.empty()) data.group_c_baseline.assign(data.group_c.size(), 0);

    for (std::size_t m = 0; m < n && m < data.readings.size() && m < data.baseline.size(); ++m) {
        const double reading = data.readings[m];
        const double base = data.baseline[m];
        const uint32_t delta = reading > base ? to_u32(reading - base) : 0;
        const uint32_t divisor = to_u32(kFirstGroupFullScale - base);
        // A baseline at or above full scale leaves no range to measure in.
        data.relative.push_back(divisor != 0 ? static_cast<double>(delta) / divisor : 0.0);
    }
    scale_group(data.group_b, data.group_b_baseline, kGroupBScale, data.group_b_scaled);
    scale_group(data.group_c, data.group_c_baseline, kGroupCScale, data.group_c_scaled);
    return true;
}

bool parse_sensor_text(const uint8_t* text, std::size_t len, SensorFrameData& data) {
    if (text == nullptr || len == 0) return false;
    const char* const line = reinterpret_cast<const char*>(text);

    data.readings.clear();
    data.relative.clear();
    if (data.baseline.empty()) data.baseline.assign(kTextReadings, 0.0);

    // Items are the stretches between commas, trimmed; empty ones are not
    // counted. Each is read in place.
    std::size_t index = 0;
    for (std::size_t begin = 0; begin <= len && index < kTextReadings;) {
        std::size_t end = begin;
        while (end < len && line[end] != ',') ++end;
        const std::size_t next = end + 1;
        while (begin < end && is_space(line[begin])) ++begin;
        while (end > begin && is_space(line[end - 1])) --end;
        if (end > begin) {
            double value;
            if (read_number(line + begin, end - begin, value)) {
                data.readings.push_back(value);
                // Baselines are indexed by item; without one no relative value is kept.
                if (index < data.baseline.size()) data.relative.push_back(value - data.baseline[index]);
            }
            ++index;
        }
        begin = next;
    }
    return data.readings.size() == kTextReadings;
}

bool unpack_float_array(const uint8_t* bytes, std::size_t len, std::vector<float>& out) {
    if (bytes == nullptr || len <= 3) return false;
    const uint64_t count = read_u32_le(bytes);
    if (static_cast<uint64_t>(len) != 4 * count + 4) return false;
    out.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const uint32_t bits = read_u32_le(bytes + 4 + 4 * i);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        out[i] = value;
    }
    return true;
}

void trim(std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size() && is_space(text[begin])) ++begin;
    std::size_t end = text.size();
    while (end > begin && is_space(text[end - 1])) --end;
    text = text.substr(begin, end - begin);
}

}  // namespace tactile
}  // namespace morvx
