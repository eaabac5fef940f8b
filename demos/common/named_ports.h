// The serial ports a demo offers, from the device paths on its command line.
#ifndef DEMOS_COMMON_NAMED_PORTS_H
#define DEMOS_COMMON_NAMED_PORTS_H

#include <ostream>
#include <string>
#include <vector>

namespace demos {

// SerialPort::list_ports(named), after one line on err for each named path
// that is no serial device ("Serial port /dev/ttyUSB7 not found."), so that
// a mistyped name is not dropped in silence. The list goes on with the
// ports found.
std::vector<std::string> list_ports_reporting_missing(const std::vector<std::string>& named, std::ostream& err);

}  // namespace demos

#endif  // DEMOS_COMMON_NAMED_PORTS_H
