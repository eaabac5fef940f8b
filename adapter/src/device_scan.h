// Device table: scans and the adapter type and clock of a serial text.
#ifndef TAVRIX_DEVICE_SCAN_H
#define TAVRIX_DEVICE_SCAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "kitusb/usb_layer.h"

namespace tavrix {

constexpr uint32_t kDefaultClockHz = 36000000;
constexpr size_t kFdSerialLength = 16;

struct SerialTraits {
  int type;          // 1 CAN-FD capable, 0 classic only
  uint32_t clock_hz;
};
// A 16-character text: 'F' first marks CAN-FD, characters 2-4 are the clock
// in MHz. Anything else: classic, 36 MHz.
SerialTraits decode_serial(const std::string& serial);

// Where an entry of interface 1 is directly followed by one of interface 0,
// the two swap places; the walk continues after the pair.
void reorder_interfaces(std::vector<kitusb::UsbDeviceEntry>* table);

}  // namespace tavrix

#endif  // TAVRIX_DEVICE_SCAN_H
