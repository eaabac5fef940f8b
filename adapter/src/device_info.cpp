#include "device_info.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "adapter_protocol.h"
#include "pipe_io.h"
#include "slot_table.h"
#include "word_frame.h"

namespace tavrix {

const char* model_name(uint32_t model_code) {
  switch (model_code) {
    case 0x1600: return "TAVRIX USBCAN-I";
    case 0x1601: return "TAVRIX USBCAN-II";
    case 0x1602: return "TAVRIX USBCAN-II Pro";
    case 0x1700: return "TAVRIX USBCANFD-I";
    case 0x1800: return "TAVRIX USBCANFD-II";
    case 0x1801: return "TAVRIX USBCANFD-II Pro";
    case 0x1900: return "TAVRIX USBCANFD-Mini";
    default: return "TAVRIX USB adapter";
  }
}

namespace {

// The calendar time in UTC of `t`; the C library's reentrant form differs
// between platforms.
bool utc_time(time_t t, std::tm* out) {
#ifdef _WIN32
  return gmtime_s(out, &t) == 0;
#else
  return gmtime_r(&t, out) != nullptr;
#endif
}

}  // namespace

bool decode_device_info(const uint8_t* answer, size_t length, CAN_DevInfo* info) {
  if (length != kDeviceInfoBytes) return false;
  uint32_t model = load_le32(answer + 4);
  uint32_t hw = load_le32(answer + 8);
  int32_t serial = static_cast<int32_t>(load_le32(answer + 12));
  time_t date = static_cast<time_t>(load_le32(answer + 16));
  const uint8_t* fw = answer + 20;
  std::memset(info, 0, sizeof(*info));
  std::snprintf(info->model, sizeof(info->model), "%s", model_name(model));
  std::snprintf(info->serial, sizeof(info->serial), "%010d", serial);
  std::snprintf(info->hw_version, sizeof(info->hw_version), "V%u.%02u", hw / 100, hw % 100);
  std::snprintf(info->fw_version, sizeof(info->fw_version), "V%d.%d.%d", fw[0], fw[1], fw[2]);
  std::tm utc{};
  if (!utc_time(date, &utc) || std::strftime(info->date, sizeof(info->date), "%Y-%m-%d", &utc) == 0)
    info->date[0] = '\0';
  return true;
}

}  // namespace tavrix

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_ReadDevInfo(int index, CAN_DevInfo* info) {
  if (!index_in_range(index) || info == nullptr) return -1;
  Slot& slot = library().slots[index];
  const bool was_open = slot.open;
  if (!was_open && OpenUSBDev(index) != 0) return -1;
  uint32_t words[2] = {make_header(CMD_GET_DEVICE_INFO, 0, 1), 0};
  uint8_t answer[kAckBufferBytes];
  uint32_t got = 0;
  bool ok = send_request(index, words, 1) != 0 && read_from_ack_pipe(index, answer, sizeof(answer), &got) &&
            got == kDeviceInfoBytes;
  if (!was_open) CloseUSBDev(index);
  if (!ok) return -1;
  decode_device_info(answer, got, info);
  return 0;
}
