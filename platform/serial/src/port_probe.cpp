// The exclusive-open probe, the same on every backend.
#include "kitserial/serial_port.h"

namespace kitserial {

bool can_open(const std::string& path) {
  const PortHandle port = open_exclusive(path);
  if (port == kClosedPort) return false;
  close_port(port);
  return true;
}

}  // namespace kitserial
