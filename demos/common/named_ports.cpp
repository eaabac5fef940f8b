#include "named_ports.h"

#include <algorithm>

#include "serial_port.h"

namespace demos {

std::vector<std::string> list_ports_reporting_missing(const std::vector<std::string>& named, std::ostream& err) {
  std::vector<std::string> ports = SerialPort::list_ports(named);
  std::vector<std::string> reported;
  for (const std::string& name : named) {
    if (std::find(ports.begin(), ports.end(), name) != ports.end()) continue;
    if (std::find(reported.begin(), reported.end(), name) != reported.end()) continue;
    err << "Serial port " << name << " not found." << std::endl;
    reported.push_back(name);
  }
  return ports;
}

}  // namespace demos
