#include "device_scan.h"

#include <utility>

#include "adapter_protocol.h"
#include "slot_table.h"

namespace tavrix {

SerialTraits decode_serial(const std::string& serial) {
  if (serial.size() != kFdSerialLength) return SerialTraits{0, kDefaultClockHz};
  uint32_t mhz = 0;
  for (size_t i = 1; i <= 3; ++i) {
    char c = serial[i];
    // A non-digit counts as 0, so a malformed text can never give a huge clock.
    mhz = mhz * 10 + ((c >= '0' && c <= '9') ? static_cast<uint32_t>(c - '0') : 0);
  }
  return SerialTraits{serial[0] == 'F' ? 1 : 0, mhz * 1000000u};
}

void reorder_interfaces(std::vector<kitusb::UsbDeviceEntry>* table) {
  auto& t = *table;
  for (size_t i = 0; i + 1 < t.size();) {
    if (t[i].interface_number == 1 && t[i + 1].interface_number == 0) {
      std::swap(t[i], t[i + 1]);
      i += 2;
    } else {
      ++i;
    }
  }
}

namespace {

// Steps shared by both scans: build the list, fill and reorder the table.
// Returns false when the list could not be built; *total = list count.
bool fill_table(uint16_t vendor_id, uint16_t product_id, uint32_t* total, std::vector<kitusb::UsbDeviceEntry>* found) {
  *total = 0;
  if (!kitusb::backend().list_devices(vendor_id, product_id, found, total)) return false;
  if (found->size() > static_cast<size_t>(kSlotCount)) found->resize(kSlotCount);
  reorder_interfaces(found);
  return true;
}

void install_table(std::vector<kitusb::UsbDeviceEntry>&& found) {
  Library& lib = library();
  lib.device_table = std::move(found);
  for (size_t i = 0; i < lib.device_table.size(); ++i) lib.slots[i].serial = lib.device_table[i].serial;
  lib.adapter_count = static_cast<uint32_t>(lib.device_table.size());
}

}  // namespace

}  // namespace tavrix

using namespace tavrix;

extern "C" int TAVRIX_CALL CAN_ScanDevice(void) {
  Library& lib = library();
  try {
    lib.scanned = true;
    std::vector<kitusb::UsbDeviceEntry> found;
    uint32_t total = 0;
    if (!fill_table(kAdapterVendorId, kAdapterProductId, &total, &found)) {
      lib.device_table.clear();
      lib.adapter_count = 0;
      return 0;
    }
    if (total == lib.previous_list_count) {
      if (total != 0) return static_cast<int>(lib.adapter_count.load());
      kitusb::set_last_error(kitusb::UsbError::kNotConnected);
      lib.adapter_count = 0;
      return 0;
    }
    lib.previous_list_count = total;
    if (total == 0) {
      kitusb::set_last_error(kitusb::UsbError::kNotConnected);
      lib.adapter_count = 0;
      return 0;
    }
    install_table(std::move(found));
    for (size_t i = 0; i < lib.device_table.size(); ++i) {
      SerialTraits traits = decode_serial(lib.device_table[i].serial);
      lib.slots[i].type = traits.type;
      lib.slots[i].clock_hz = traits.clock_hz;
    }
    return static_cast<int>(lib.adapter_count.load());
  } catch (...) {
    lib.adapter_count = 0;
    return 0;
  }
}

extern "C" int TAVRIX_CALL USB_ScanDevice(uint16_t vendor_id, uint16_t product_id) {
  Library& lib = library();
  try {
    std::vector<kitusb::UsbDeviceEntry> found;
    uint32_t total = 0;
    if (!fill_table(vendor_id, product_id, &total, &found)) {
      lib.device_table.clear();
      lib.adapter_count = 0;
      return 0;
    }
    if (total == 0) {
      kitusb::set_last_error(kitusb::UsbError::kNotConnected);
      lib.device_table.clear();
      lib.adapter_count = 0;
      return 0;
    }
    install_table(std::move(found));
    return static_cast<int>(lib.adapter_count.load());
  } catch (...) {
    lib.adapter_count = 0;
    return 0;
  }
}

extern "C" int TAVRIX_CALL CAN_GetDevType(int index) {
  if (!index_in_range(index)) return -1;
  return library().slots[index].type.load();
}

extern "C" int TAVRIX_CALL CAN_GetDevPlck(int index) {
  if (!index_in_range(index)) return -1;
  return static_cast<int>(library().slots[index].clock_hz.load());
}
