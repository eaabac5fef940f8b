// The serial ports a program may offer its user, as device paths.
#ifndef KITSERIAL_LIST_SERIAL_LIST_H
#define KITSERIAL_LIST_SERIAL_LIST_H

#include <string>
#include <vector>

namespace kitserial {

// Ports named by the user first (kept when they exist as character devices,
// pseudo-terminals included), then /dev/ttyUSB*, /dev/ttyACM* and the
// /dev/ttyS* that have a UART, each group in ascending number order. No
// path appears twice. May be empty.
std::vector<std::string> list_serial_ports(const std::vector<std::string>& named = {});

}  // namespace kitserial

#endif  // KITSERIAL_LIST_SERIAL_LIST_H
