// Joint model: hand types, per-joint limits and node addresses, conversion
// between interface angles (degrees) and device positions, the quadratic
// correction of the 6-joint hand's fingers, velocity units, coupled servo
// pairs of the 16-joint hand, and the target setters.
#include <cmath>
#include <cstdint>
#include <limits>

#include "hand_core.h"
#include "hand_ops.h"
#include "value_rules.h"

namespace morvx {

namespace {

constexpr int kHandType1 = 1;
constexpr int kHandType2 = 2;

// Maximum angles of joints 1..6 for hand types 0 and 1 (minimum 0.0).
constexpr float kMaxAngleType0[6] = {60.0f, 30.0f, 80.0f, 80.0f, 80.0f, 80.0f};
constexpr float kMaxAngleType1[6] = {91.0f, 59.0f, 72.0f, 72.0f, 72.0f, 74.0f};

// Device angle y = a*t*t + b*t + c of the finger joints 3..6 (slots 2..5) of
// hand type 1: the device's own angle is bent against the interface angle.
struct Coefficients {
    float a, b, c;
};
constexpr int kFirstCorrectedSlot = 2;
constexpr int kLastCorrectedSlot = 5;
constexpr Coefficients kCorrection[4] = {
    {-0.0051f, 1.4017f, 0.465f},
    {-0.0043f, 1.3244f, 0.2225f},
    {-0.0048f, 1.3605f, 0.3793f},
    {-0.0056f, 1.4499f, 0.4579f},
};

// 12-bit servo counts over 90 degrees: 4095 / 90.
constexpr float kCountsPerDegree = 45.5f;
constexpr float kMaxServoCount = 4095.0f;

// Measured positions above this are garbage from the device and read as 0;
// between 10000 and this they read as the end of the range.
constexpr int32_t kRawPositionGarbage = 20000;
constexpr int32_t kPositionRangeEnd = 10000;

const Coefficients* correction_for(const HandCore& h, int slot) {
    if (slot < kFirstCorrectedSlot || slot > kLastCorrectedSlot) return nullptr;
    if (h.hand_type.load(std::memory_order_relaxed) != kHandType1) return nullptr;
    if (!h.angle_conversion.load(std::memory_order_acquire)) return nullptr;
    return &kCorrection[slot - kFirstCorrectedSlot];
}

// F: device angle -> interface angle.
float correct_forward(const Coefficients* k, float t) {
    if (k == nullptr) return t;
    return (k->a * t) * t + k->b * t + k->c;
}

// G: interface angle -> device angle; the smaller root of F(t) = y.
float correct_inverse(const Coefficients* k, float y) {
    if (k == nullptr) return y;
    if (std::fabs(k->a) < 1e-6f) return std::fabs(k->b) > 1e-6f ? (y - k->c) / k->b : 0.0f;
    const float d = k->b * k->b - 4.0f * k->a * (k->c - y);
    if (d < 0.0f) return 0.0f;
    const float s = std::sqrt(d);
    const float r1 = (s - k->b) / (2.0f * k->a);
    const float r2 = (-k->b - s) / (2.0f * k->a);
    return r2 < r1 ? r2 : r1;
}

// Node address of each joint: joint i + 1 on node i + 1, except on the
// 16-joint hand, where joint 1 (the thumb's rotation) is node 16 and joint k
// is node k - 1. The tables are built aside and each slot stored once, so a
// monitor reading them while they change sees old or new entries, never the
// defaults in between.
void apply_node_addresses(HandCore& h, bool sixteen_joints) {
    int32_t to_node[kJointSlots];
    int32_t to_joint[kJointSlots + 1];
    to_joint[0] = 0;
    for (int i = 0; i < kJointSlots; ++i) {
        to_node[i] = i + 1;
        to_joint[i + 1] = i;
    }
    if (sixteen_joints) {
        to_node[0] = 16;
        for (int i = 1; i < 16; ++i) to_node[i] = i;
        for (int i = 0; i < 16; ++i) to_joint[to_node[i]] = i;
    }
    for (int i = 0; i < kJointSlots; ++i) h.joint_to_node[i].store(to_node[i], std::memory_order_relaxed);
    for (int i = 0; i <= kJointSlots; ++i) h.node_to_joint[i].store(to_joint[i], std::memory_order_relaxed);
}

void apply_type2_limits(HandCore& h) {
    store_all(h.min_angle, 0.0f);
    store_all(h.max_angle, 0.0f);
    store_all(h.min_position, 0);
    store_all(h.max_position, 0);
    h.max_angle[0] = 110.0f;
    h.max_position[0] = 10000;
    // Joints 2..16 come in fingers of three: side joint, then two flexions.
    for (int finger = 0; finger < 5; ++finger) {
        const int side = 1 + 3 * finger;
        h.min_angle[side] = -20.0f;
        h.max_angle[side] = 20.0f;
        h.min_position[side] = -5000;
        h.max_position[side] = 5000;
        h.max_angle[side + 1] = 90.0f;
        h.max_position[side + 1] = 10000;
        h.max_angle[side + 2] = 70.0f;
        h.max_position[side + 2] = 10000;
    }
}

void apply_six_joint_limits(HandCore& h, const float (&max_angles)[6]) {
    store_all(h.min_angle, 0.0f);
    store_all(h.max_angle, 0.0f);
    for (int i = 0; i < 6; ++i) h.max_angle[i] = max_angles[i];
    // The 6-joint hands span 0..10000 on every joint. Restoring this matters
    // after a switch from hand type 2, whose side joints span -5000..5000:
    // keeping those would send negative positions to a 0..10000 joint.
    store_all(h.min_position, 0);
    store_all(h.max_position, 10000);
}

void set_target_slot_angle(HandCore& h, int slot, float degrees) {
    const int32_t p = angle_to_position(h, slot, degrees);
    h.target_angle.write(slot, degrees);
    h.target_position.write(slot, p);
    h.target_angle.publish();
    h.target_position.publish();
}

}  // namespace

// ---- conversions -----------------------------------------------------------------

int32_t angle_to_position(const HandCore& h, int slot, float angle) {
    if (!valid_slot(slot)) return 0;
    const Coefficients* k = correction_for(h, slot);
    const int32_t pmin = h.min_position[slot];
    const int32_t pmax = h.max_position[slot];
    if (pmax <= pmin) return pmin;
    const float span = static_cast<float>(static_cast<int64_t>(pmax) - pmin);
    const float lo = correct_inverse(k, h.min_angle[slot]);
    const float hi = correct_inverse(k, h.max_angle[slot]);
    const float range = hi - lo;
    if (!(range > 0.0f)) return pmin;
    const float t = correct_inverse(k, angle);
    // Truncate toward zero, then clamp; the clamp on the offset keeps a huge
    // or NaN angle away from an undefined float-to-int conversion.
    const float offset = std::trunc((t - lo) / range * span);
    return pmin + static_cast<int32_t>(clamp_float(offset, 0.0f, span));
}

float position_to_angle(const HandCore& h, int slot, int32_t position) {
    if (!valid_slot(slot)) return 0.0f;
    const Coefficients* k = correction_for(h, slot);
    const int32_t pmin = h.min_position[slot];
    const int32_t pmax = h.max_position[slot];
    const float span = static_cast<float>(static_cast<int64_t>(pmax) - pmin);
    const float lo = correct_inverse(k, h.min_angle[slot]);
    const float hi = correct_inverse(k, h.max_angle[slot]);
    const float range = hi - lo;
    float t = lo;
    if (span > 0.0f) t = static_cast<float>(static_cast<int64_t>(position) - pmin) / span * range + lo;
    return clamp_float(correct_forward(k, t), h.min_angle[slot], h.max_angle[slot]);
}

float velocity_unit(const HandCore& h, int slot) {
    if (!valid_slot(slot)) return 0.0f;
    return (h.max_angle[slot] - h.min_angle[slot]) / 10000.0f;
}

std::pair<int32_t, int32_t> coupled_to_servo(float first, float second, AngleLimits a, AngleLimits b) {
    const float d = clamp_float(first, a.min_angle, a.max_angle);
    const float e = clamp_float(second, b.min_angle, b.max_angle);
    float ca, cb;
    if (d >= 0.0f) {
        ca = kCountsPerDegree * (d + e);
        cb = kCountsPerDegree * e;
    } else {
        ca = kCountsPerDegree * e;
        cb = kCountsPerDegree * (e - d);
    }
    // roundf rounds halves away from zero.
    const int32_t sa = static_cast<int32_t>(std::round(clamp_float(ca, 0.0f, kMaxServoCount)));
    const int32_t sb = static_cast<int32_t>(std::round(clamp_float(cb, 0.0f, kMaxServoCount)));
    return {sa, sb};
}

std::pair<float, float> coupled_from_servo(int32_t a, int32_t b, AngleLimits la, AngleLimits lb) {
    const float fa = static_cast<float>(a);
    const float fb = static_cast<float>(b);
    float d, e;
    if (fa >= fb && fb >= 0.0f) {
        e = fb / kCountsPerDegree;
        d = (fa - fb) / kCountsPerDegree;
    } else {
        e = fa / kCountsPerDegree;
        d = fa / kCountsPerDegree - fb / kCountsPerDegree;
    }
    return {clamp_float(d, la.min_angle, la.max_angle), clamp_float(e, lb.min_angle, lb.max_angle)};
}

void refresh_measured(HandCore& h) {
    const int n = active_joint_count(h);
    for (int i = 0; i < n; ++i) {
        // The receive thread is the writer of the raw buffer and calls this
        // after storing a report, so its own latest values are the ones to use.
        int32_t v = h.raw_position.pending(i);
        if (v > kRawPositionGarbage) {
            v = 0;
        } else if (v > kPositionRangeEnd) {
            v = kPositionRangeEnd;
        }
        h.now_position.write(i, v);
        h.now_angle.write(i, position_to_angle(h, i, v));
    }
    h.now_position.publish();
    h.now_angle.publish();
}

// ---- hand type ---------------------------------------------------------------------

int set_hand_type(HandCore& h, int type) {
    if (type < 0 || type > kHandType2) return kBadArgument;
    apply_node_addresses(h, type == kHandType2);
    if (type == kHandType2) {
        apply_type2_limits(h);
        h.active_joints.store(16);
        h.total_joints.store(21);
    } else {
        apply_six_joint_limits(h, type == kHandType1 ? kMaxAngleType1 : kMaxAngleType0);
        h.active_joints.store(6);
        h.total_joints.store(11);
    }
    // The type goes last: a monitor that sees the new type (acquire) then
    // also sees the node addresses and joint count that go with it.
    h.hand_type.store(type);
    build_sensor_channels(h, default_channel_formats(type));
    (void)send_report_selection(h);
    return kOk;
}

// ---- target setters ----------------------------------------------------------------

int set_target_angle(HandCore& h, int joint_id, float degrees) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    // NaN passes no range test; refuse it rather than publish it as a target.
    if (std::isnan(degrees)) return kBadArgument;
    if (joint_id >= 1) {
        const int slot = joint_id - 1;
        if (degrees < h.min_angle[slot] || degrees > h.max_angle[slot]) return kBadArgument;
        set_target_slot_angle(h, slot, degrees);
        return kOk;
    }
    const int n = active_joint_count(h);
    for (int slot = 0; slot < n; ++slot) {
        // Joints before a refusing one keep their new targets.
        if (degrees < h.min_angle[slot] || degrees > h.max_angle[slot]) return kBadArgument;
        set_target_slot_angle(h, slot, degrees);
    }
    return kOk;
}

int set_target_position(HandCore& h, int joint_id, int position) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    for_target_slots(h, joint_id, [&](int slot) {
        const int32_t q = clamp_int(position, h.min_position[slot], h.max_position[slot]);
        h.target_position.write(slot, q);
        h.target_angle.write(slot, position_to_angle(h, slot, q));
        h.target_position.publish();
        h.target_angle.publish();
    });
    return kOk;
}

int set_angular_velocity(HandCore& h, int joint_id, float degrees_per_second) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    for_target_slots(h, joint_id, [&](int slot) {
        const float unit = velocity_unit(h, slot);
        // A joint without an angle range has no position velocity to speak
        // of; 0 rather than the quotient's inf or NaN.
        const int32_t pv = unit > 0.0f ? trunc_saturated(degrees_per_second / unit, kFloatPastInt32) : 0;
        h.angular_velocity.write(slot, degrees_per_second);
        h.position_velocity.write(slot, pv);
        h.angular_velocity.publish();
        h.position_velocity.publish();
    });
    return kOk;
}

int set_position_velocity(HandCore& h, int joint_id, int units_per_second) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    for_target_slots(h, joint_id, [&](int slot) {
        h.position_velocity.write(slot, units_per_second);
        h.angular_velocity.write(slot, static_cast<float>(units_per_second) * velocity_unit(h, slot));
        h.position_velocity.publish();
        h.angular_velocity.publish();
    });
    return kOk;
}

int set_max_current(HandCore& h, int joint_id, int current) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    for_target_slots(h, joint_id, [&](int slot) { h.max_current.write(slot, current); });
    h.max_current.publish();
    return kOk;
}

int sync_position_to_target(HandCore& h, int joint_id) {
    if (!joint_or_all_ok(h, joint_id)) return kBadArgument;
    if (joint_id >= 1) return set_target_position(h, joint_id, h.now_position.read(joint_id - 1));
    const int n = active_joint_count(h);
    for (int k = 1; k <= n; ++k) set_target_position(h, k, h.now_position.read(k - 1));
    return kOk;
}

int set_angle_conversion_enable(HandCore& h, int on) {
    if (on < 0 || on > 1) return kBadArgument;
    h.angle_conversion.store(on == 1, std::memory_order_release);
    return kOk;
}

int get_angle_conversion_enable(HandCore& h, int* out) {
    if (out == nullptr) return kBadArgument;
    *out = h.angle_conversion.load(std::memory_order_acquire) ? 1 : 0;
    return kOk;
}

}  // namespace morvx
