#include "status_replies.h"

#include <algorithm>

#include "wire.h"

namespace simhand {
namespace {

// One joint item: position u16 (two's complement for negative ranges),
// velocity / 10 as i16, current as i16.
void put_joint_item(uint8_t* p, const JointSnapshot& j) {
  put_u16(p, static_cast<uint16_t>(j.position));
  const int32_t v = std::max(-32768, std::min(32767, j.velocity / 10));
  put_u16(p + 2, static_cast<uint16_t>(static_cast<int16_t>(v)));
  put_u16(p + 4, static_cast<uint16_t>(static_cast<int16_t>(std::max(-32768, std::min(32767, j.current)))));
}

size_t joint_report(const ModelSnapshot& s, uint8_t code, int slots, uint8_t* out) {
  const int n = std::min(s.joint_count, slots);
  const size_t len = 2 + static_cast<size_t>(slots) * 6 + static_cast<size_t>(n);
  std::fill(out, out + len, 0);
  out[0] = code;
  out[1] = static_cast<uint8_t>(n);
  for (int i = 0; i < n; ++i) {
    put_joint_item(&out[2 + static_cast<size_t>(i) * 6], s.joints[static_cast<size_t>(i)]);
    out[2 + static_cast<size_t>(slots) * 6 + static_cast<size_t>(i)] = s.joints[static_cast<size_t>(i)].status;
  }
  return len;
}

size_t status_report(const ModelSnapshot& s, uint8_t code, uint8_t* out) {
  out[0] = code;
  out[1] = static_cast<uint8_t>(s.joint_count);
  for (int i = 0; i < s.joint_count; ++i) {
    out[2 + 2 * static_cast<size_t>(i)] = s.joints[static_cast<size_t>(i)].status;
    out[3 + 2 * static_cast<size_t>(i)] = s.joints[static_cast<size_t>(i)].alarm;
  }
  return 2 + static_cast<size_t>(s.joint_count) * 2;
}

// Fingers 0..4 carry full blocks except on hand type 1, which packs every
// sensor; the thumb-side item 5 is always packed.
bool item_is_full(const ModelSnapshot& s, int item) { return s.hand_type != 1 && item < 5; }

size_t tactile_report(const ModelSnapshot& s, uint8_t code, int first, int count, size_t size, uint8_t* out) {
  const size_t len = 2 + static_cast<size_t>(count) * size;
  std::fill(out, out + len, 0);
  out[0] = code;
  out[1] = static_cast<uint8_t>(count);
  for (int i = 0; i < count; ++i)
    write_tactile_item(s.tactile_frame, first + i, item_is_full(s, first + i), &out[2 + static_cast<size_t>(i) * size],
                       size);
  return len;
}

}  // namespace

size_t build_status_reply(const ModelSnapshot& s, uint8_t code, uint8_t (&out)[kMaxStatusReply]) {
  switch (code) {
    case 0x50: return joint_report(s, code, 8, out);
    case 0xD0: return joint_report(s, code, 6, out);
    case 0x5A:
    case 0xDA: return status_report(s, code, out);
    case 0x70:
    case 0xF0: return tactile_report(s, code, 0, 5, 12, out);
    case 0x71:
    case 0xF1: return tactile_report(s, code, 5, 1, 36, out);
    case 0x72:
    case 0xF2: return tactile_report(s, code, 0, 2, 30, out);
    case 0x73:
    case 0xF3: return tactile_report(s, code, 2, 2, 30, out);
    case 0x74:
    case 0xF4: return tactile_report(s, code, 4, 2, 30, out);
    default: return 0;
  }
}

void build_txpdo_image(const ModelSnapshot& s, uint8_t code, uint8_t (&img)[kTxpdoImageSize]) {
  std::fill(img, img + kTxpdoImageSize, 0);
  img[0] = code;
  if (code == 0x00) {
    // 27 joint items from byte 2, status bytes from byte 164.
    for (int i = 0; i < s.joint_count && i < 27; ++i) {
      put_joint_item(&img[2 + static_cast<size_t>(i) * 6], s.joints[static_cast<size_t>(i)]);
      img[164 + static_cast<size_t>(i)] = s.joints[static_cast<size_t>(i)].status;
    }
  } else if (code == 0x40) {
    for (int i = 0; i < 6; ++i)
      write_tactile_item(s.tactile_frame, i, item_is_full(s, i), &img[2 + static_cast<size_t>(i) * 30], 30);
  } else if (code == 0x41) {
    write_tactile_item(s.tactile_frame, 6, false, &img[2], 30);
  }
}

}  // namespace simhand
