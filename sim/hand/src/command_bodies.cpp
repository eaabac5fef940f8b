#include "command_bodies.h"

#include <algorithm>

#include "wire.h"

namespace simhand {
namespace {

struct FieldMask {
  uint8_t code;
  bool position, velocity, current;
};

// The motion request code names the fields each joint item carries, in the
// order position, velocity, current.
constexpr FieldMask kMasks[] = {
    {2, true, false, false}, {3, false, true, false}, {4, false, false, true}, {5, true, true, false},
    {7, true, false, true},  {9, false, true, true},  {11, true, true, true},
};

const FieldMask* find_mask(uint8_t code) {
  for (const FieldMask& m : kMasks)
    if (m.code == code) return &m;
  return nullptr;
}

}  // namespace

bool apply_command_body(DeviceModel& model, const uint8_t* body, size_t len, size_t joints) {
  if (len < 2) return false;
  joints = std::min(joints, static_cast<size_t>(model.config().joint_count));
  const uint8_t code = body[0];
  if (code == 0x01) {
    if (len < 2 + 2 * joints) return false;
    model.apply_mode_command(body + 2, joints);
    return true;
  }
  if (code == 0x20) {
    if (len < 8) return false;
    model.apply_gesture(get_u16(body + 2), get_u16(body + 4), get_u16(body + 6));
    return true;
  }
  const FieldMask* mask = find_mask(code);
  if (!mask) return false;
  const size_t item = 2u * (mask->position + mask->velocity + mask->current);
  // EtherCAT and RS485 cut a long body at 64 bytes: joints beyond it keep
  // their targets.
  const size_t whole = std::min(joints, (len - 2) / item);
  for (size_t j = 0; j < whole; ++j) {
    const uint8_t* p = body + 2 + j * item;
    int32_t position = 0, velocity = 0, current = 0;
    if (mask->position) {
      const uint16_t raw = get_u16(p);
      position = model.position_min(static_cast<int>(j)) < 0 ? static_cast<int16_t>(raw) : raw;
      p += 2;
    }
    if (mask->velocity) {
      velocity = get_u16(p) * 10;  // carried in tens of units per second
      p += 2;
    }
    if (mask->current) current = get_u16(p);
    model.set_motion_target(static_cast<int>(j), mask->position ? &position : nullptr,
                            mask->velocity ? &velocity : nullptr, mask->current ? &current : nullptr);
  }
  return whole > 0;
}

}  // namespace simhand
