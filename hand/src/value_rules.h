// The library's rules for joint arguments, table slots and float-to-integer
// saturation, one of each, shared by every unit that needs them.
#ifndef MORVANE_VALUE_RULES_H
#define MORVANE_VALUE_RULES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "hand_core.h"

namespace morvx {

// ---- joints and slots ------------------------------------------------------------

// Active joint count clamped to the 27 table slots.
inline int active_joint_count(const HandCore& h) {
    const int n = h.active_joints.load();
    return n < 0 ? 0 : (n > kJointSlots ? kJointSlots : n);
}

// A per-joint table slot, 0..26.
inline bool valid_slot(int slot) { return slot >= 0 && slot < kJointSlots; }

// A node address that node_to_joint holds an entry for, 0..27.
inline bool valid_node(int node) { return node >= 0 && node <= kJointSlots; }

// The slot of one joint 1..N (N the active joint count, at most 27), as the
// getters take it, or kNoSlot; two compares (an unsigned slot below 27 also
// rules out joint numbers below 1).
constexpr std::size_t kNoSlot = ~std::size_t{0};
inline std::size_t joint_slot(const HandCore& h, int joint_id) {
    const unsigned slot = static_cast<unsigned>(joint_id) - 1u;
    if (slot >= static_cast<unsigned>(kJointSlots) || static_cast<int>(slot) >= h.active_joints.load()) return kNoSlot;
    return slot;
}

// One joint 1..N.
inline bool single_joint_ok(const HandCore& h, int joint_id) { return joint_slot(h, joint_id) != kNoSlot; }

// 0 (every joint) or one joint 1..N, as the setters and commands take it.
inline bool joint_or_all_ok(const HandCore& h, int joint_id) {
    return joint_id >= 0 && joint_id <= active_joint_count(h);
}

// What joint 0 means depends on the table. In the mode, command and home
// option tables it is all 27 slots (the frames carry the N active ones) ...
template <typename F>
void for_mode_slots(int joint_id, F&& f) {
    if (joint_id == 0) {
        for (int i = 0; i < kJointSlots; ++i) f(i);
    } else {
        f(joint_id - 1);
    }
}

// ... and in the targets it is every active joint, in order.
template <typename F>
void for_target_slots(const HandCore& h, int joint_id, F&& f) {
    if (joint_id == 0) {
        const int n = active_joint_count(h);
        for (int i = 0; i < n; ++i) f(i);
    } else {
        f(joint_id - 1);
    }
}

// ---- saturation --------------------------------------------------------------------

// Clamp that also maps NaN to the lower bound, so that no NaN reaches a
// float-to-int conversion.
inline float clamp_float(float v, float lo, float hi) {
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}

inline int32_t clamp_int(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// An unsigned 16-bit wire field: out-of-range values saturate instead of
// wrapping into a small, wrong value.
inline uint32_t saturate_u16(int32_t v) { return v < 0 ? 0u : (v > 0xFFFF ? 0xFFFFu : static_cast<uint32_t>(v)); }

// Ceilings of trunc_saturated. 2^31 is the first float past INT32_MAX; the
// float just below it, 2^31 - 128, still converts exactly. The target setters
// saturate from 2^31; the frame encoders and the classic CAN decoder from
// 2^31 - 128, so that float goes out as INT32_MAX too. Both are kept so that
// no value changes on its way to the bus.
constexpr float kFloatPastInt32 = 2147483648.0f;
constexpr float kFloatTopOfInt32 = 2147483520.0f;

// Truncation toward zero saturated to int32: values from `ceiling` up give
// INT32_MAX, from -2^31 down INT32_MIN, NaN gives 0 (a float outside the
// int32 range has no defined conversion).
inline int32_t trunc_saturated(float v, float ceiling) {
    if (std::isnan(v)) return 0;
    if (v >= ceiling) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace morvx

#endif  // MORVANE_VALUE_RULES_H
