// The openable list of port_list.h on Windows: COM1 to COM20, each opened
// exclusively and closed again at once. Apart from the present list, which
// reads the registry, so that the flat library needs no advapi32.
#include "kitserial/port_list.h"
#include "kitserial/serial_port.h"
#include "named_first.h"

namespace kitserial {
namespace {

const int kLastOpenablePort = 20;

bool opens_now(const std::string& name) {
  const PortHandle port = open_exclusive(name);
  if (port == kClosedPort) return false;
  close_port(port);
  return true;
}

}  // namespace

std::vector<std::string> list_openable_ports(const std::vector<std::string>& named) {
  std::vector<std::string> found;
  for (int n = 1; n <= kLastOpenablePort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (opens_now(name)) found.push_back(name);
  }
  return named_first(named, opens_now, found);
}

}  // namespace kitserial
