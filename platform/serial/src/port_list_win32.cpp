// The list of serial ports that can be opened now: COM1 to COM20, each
// probed with an exclusive open, after the names the caller gave.
#include <algorithm>

#include "kitserial/serial_port.h"

namespace kitserial {
namespace {

const int kLastComPort = 20;

}  // namespace

std::vector<std::string> list_openable_ports(const std::vector<std::string>& extra_paths) {
  std::vector<std::string> out;
  for (const std::string& name : extra_paths) {
    if (std::find(out.begin(), out.end(), name) != out.end()) continue;
    if (can_open(name)) out.push_back(name);
  }
  for (int n = 1; n <= kLastComPort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    if (std::find(out.begin(), out.end(), name) != out.end()) continue;
    if (can_open(name)) out.push_back(name);
  }
  return out;
}

}  // namespace kitserial
