// What a consistent tactile reading is while the stress tests' receive
// thread sends block k (every byte k) to channel 3 (full blocks) and to the
// palm, channel 11 (packed blocks, or full ones in the 5-taxel format), and
// set-up calls switch the format and the direction of hand type 0: values of
// one block, or the zeros of a rebuild, in a layout that goes with the scale
// they were decoded with.
#ifndef MORVANE_TESTS_TACTILE_READINGS_H
#define MORVANE_TESTS_TACTILE_READINGS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hand_ops.h"
#include "sensor_geometry.h"

namespace tactile_readings {

constexpr int kFingertip = 3;  // item 1 of reply 0x72: full blocks, 9 taxels (5 in format 2)
constexpr int kPalm = 11;      // item 5, reply 0x71: packed, 26 taxels (full, 5 in format 2)

// The block values sent: never a multiple of 51, where k / 255 meets some
// j / 10, so a pressure value shows which scale made it. 0 is left out too:
// zeros are what a rebuild leaves.
inline uint8_t next_block_value(uint8_t k) {
    do {
        ++k;
    } while (k % 51 == 0);
    return k;
}

// CAN-FD status replies with every block byte k: 0x72 carries items 0 and 1
// (channels 1 and 3) in 30-byte blocks, 0x71 item 5 (the palm) in 36 bytes.
inline std::vector<uint8_t> fingertip_reply(uint8_t k) {
    std::vector<uint8_t> b(2 + 2 * 30, k);
    b[0] = 0x72;
    b[1] = 2;
    return b;
}
inline std::vector<uint8_t> palm_reply(uint8_t k) {
    std::vector<uint8_t> b(2 + 36, k);
    b[0] = 0x71;
    b[1] = 1;
    return b;
}

inline float fraction(int k) { return static_cast<float>(k) / 255.0f; }  // format 1
inline float tenths(int k) { return static_cast<float>(k) / 10.0f; }      // formats 0 and 2

// The block a pressure value came from when decoded in tenths (or as a
// fraction): 0 for a rebuild's zero, -1 when no block sent gives it.
inline int block_of(float v, bool in_tenths) {
    if (v == 0.0f) return 0;
    const long k = std::lround(v * (in_tenths ? 10.0f : 255.0f));
    if (k < 1 || k > 255 || k % 51 == 0) return -1;
    return (in_tenths ? tenths(k) : fraction(k)) == v ? static_cast<int>(k) : -1;
}

// The block of a pressure list of one channel: n values of one block (or
// all zero) with a count that goes with their scale; -1 otherwise.
inline int pressure_block(int channel, const float* v, int n) {
    bool in_tenths;
    if (channel == kFingertip && n == 9) {
        in_tenths = false;
    } else if (n == 5 || (channel == kPalm && n == 26)) {
        in_tenths = true;
    } else {
        return -1;
    }
    for (int i = 1; i < n; ++i)
        if (v[i] != v[0]) return -1;
    return block_of(v[0], in_tenths);
}

// A pair as block k (0: a rebuild's zeros) leaves it: the u16 values are
// k * 257 (both bytes k).
inline bool pair_of_block(const float* pair, int n, float value) {
    return n == 2 && pair[0] == value && pair[1] == value;
}
inline bool normal_force_of_block(const float* pair, int n, int k) {
    return pair_of_block(pair, n, static_cast<float>(k * 257) / 100.0f);
}

// A whole channel record: pressure of one block in its layout, and the
// pairs of the same block (full blocks) or of none (packed ones).
inline bool record_consistent(int channel, const morvx::SensorChannel& c) {
    const int n = static_cast<int>(c.pressure.size());
    if (static_cast<int>(c.positions.size()) != n) return false;
    const int k = pressure_block(channel, c.pressure.data(), n);
    if (k < 0) return false;
    const int pairs_k = (channel == kPalm && n == 26) ? 0 : k;
    return normal_force_of_block(c.normal_force.data(), static_cast<int>(c.normal_force.size()), pairs_k) &&
           normal_force_of_block(c.tangential_force.data(), static_cast<int>(c.tangential_force.size()), pairs_k) &&
           pair_of_block(c.force_direction.data(), static_cast<int>(c.force_direction.size()),
                         static_cast<float>(pairs_k * 257)) &&
           pair_of_block(c.proximity.data(), static_cast<int>(c.proximity.size()), fraction(pairs_k));
}

// Taxel positions exactly those of a layout the channel can have.
inline bool positions_of_a_layout(int channel, const float* x, const float* y, int n) {
    const morvx::SensorLayout* layouts[] = {&morvx::select_sensor_layout(0, channel, 0),
                                            &morvx::select_sensor_layout(0, channel, 1), &morvx::layout_5()};
    for (const morvx::SensorLayout* l : layouts) {
        if (static_cast<int>(l->size()) != n) continue;
        bool same = true;
        for (int i = 0; i < n && same; ++i) same = (*l)[i].first == x[i] && (*l)[i].second == y[i];
        if (same) return true;
    }
    return false;
}

}  // namespace tactile_readings

#endif  // MORVANE_TESTS_TACTILE_READINGS_H
