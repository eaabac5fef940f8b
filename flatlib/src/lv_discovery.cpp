// Device discovery for the three transports. No instance is needed and none
// is touched; these take no instance lock, so they may run beside an open
// hand.
#include <cstring>
#include <string>
#include <vector>

#include "com_port.h"
#include "ethercat_link.h"
#include "lv_instance.h"
#include "morvane_lv/morvane_lv.h"
#include "tavrix/tavrix.h"

using namespace lv;

namespace {

bool bad_buffer(int index, const char* dst, int dst_len) { return index < 0 || !dst || dst_len <= 0; }

int copy_listed(const std::vector<std::string>& list, int index, char* dst, int dst_len) {
  if (static_cast<size_t>(index) >= list.size()) return kLvNotBroughtUp;
  const std::string& s = list[static_cast<size_t>(index)];
  copy_truncated(s.data(), s.size(), dst, dst_len);
  return kLvOk;
}

// A temporary link of its own: the open instance's master is never touched.
std::vector<std::string> ethercat_descriptions() {
  EtherCATLink link;
  return link.list_adapters();
}

}  // namespace

extern "C" LV_API int lv_canfd_scan_device_count(void) {
  try {
    std::lock_guard<std::mutex> adapter(canfd_adapter_mutex());
    return CAN_ScanDevice();
  } catch (...) {
    return 0;
  }
}

extern "C" LV_API int lv_canfd_get_device_string(int index, char* dst, int dst_len) {
  if (bad_buffer(index, dst, dst_len)) return kLvBadDevice;
  CAN_DevInfo info;
  std::memset(&info, 0, sizeof info);
  int r = 0;
  try {
    std::lock_guard<std::mutex> adapter(canfd_adapter_mutex());
    r = CAN_ReadDevInfo(index, &info);
  } catch (...) {
    r = -1;
  }
  if (r != 0) return kLvNotBroughtUp;
  // The model text is meant to end inside its 32 bytes; never read past them.
  std::string text = std::to_string(index);
  text += ' ';
  text.append(info.model, strnlen(info.model, sizeof info.model));
  copy_truncated(text.data(), text.size(), dst, dst_len);
  return kLvOk;
}

extern "C" LV_API int lv_ethercat_scan_device_count(void) {
  try {
    return static_cast<int>(ethercat_descriptions().size());
  } catch (...) {
    return 0;
  }
}

extern "C" LV_API int lv_ethercat_get_device_string(int index, char* dst, int dst_len) {
  if (bad_buffer(index, dst, dst_len)) return kLvBadDevice;
  try {
    return copy_listed(ethercat_descriptions(), index, dst, dst_len);
  } catch (...) {
    return kLvNotBroughtUp;
  }
}

extern "C" LV_API int lv_rs485_scan_device_count(void) {
  try {
    return static_cast<int>(ComPort::scan_ports().size());
  } catch (...) {
    return 0;
  }
}

extern "C" LV_API int lv_rs485_get_device_string(int index, char* dst, int dst_len) {
  if (bad_buffer(index, dst, dst_len)) return kLvBadDevice;
  try {
    return copy_listed(ComPort::scan_ports(), index, dst, dst_len);
  } catch (...) {
    return kLvNotBroughtUp;
  }
}
