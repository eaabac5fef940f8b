// Device information: the adapter's 24-byte answer turned into five texts.
#ifndef TAVRIX_DEVICE_INFO_H
#define TAVRIX_DEVICE_INFO_H

#include <cstddef>
#include <cstdint>

#include "tavrix/tavrix.h"

namespace tavrix {

const char* model_name(uint32_t model_code);
// Decodes an answer of exactly 24 bytes into info; false for any other length.
bool decode_device_info(const uint8_t* answer, size_t length, CAN_DevInfo* info);

}  // namespace tavrix

#endif  // TAVRIX_DEVICE_INFO_H
