// The list of serial ports that can be opened now. Linux names its serial
// devices by driver, so the probe walks a fixed set of names per driver
// family rather than one numbered range.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kitserial/serial_port.h"
#include "uucp_lock.h"

namespace kitserial {
namespace {

const int kPortsPerFamily = 20;

// /dev/ttyS* nodes exist for every UART slot the 8250 driver reserved, most
// with nothing behind them; those report the port type PORT_UNKNOWN.
bool has_uart(int fd) {
  serial_struct info;
  std::memset(&info, 0, sizeof info);
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  return info.type != PORT_UNKNOWN;
}

// A probe takes only a shared lock: it fails on a port someone holds open
// (their lock is exclusive), but two probes at once, in this or another
// process, never hide a port from each other. A line with a live UUCP lock
// file is held by a program that may take no other lock; it is not opened.
bool usable(const std::string& path, bool needs_uart) {
  if (uucp_locked(path)) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::isatty(fd) && ::flock(fd, LOCK_SH | LOCK_NB) == 0 && (!needs_uart || has_uart(fd));
  ::close(fd);  // also drops the shared lock
  return ok;
}

}  // namespace

std::vector<std::string> list_openable_ports(const std::vector<std::string>& extra_paths) {
  struct Family {
    const char* prefix;
    bool needs_uart;
  };
  static const Family kFamilies[] = {{"/dev/ttyUSB", false}, {"/dev/ttyACM", false}, {"/dev/ttyS", true}};

  // Ports named by the caller come first: their positions then do not shift
  // when a system port comes and goes (opened by another program, unplugged).
  std::vector<std::string> out;
  for (const std::string& path : extra_paths) {
    if (std::find(out.begin(), out.end(), path) != out.end()) continue;
    if (usable(path, false)) out.push_back(path);
  }
  for (const Family& f : kFamilies) {
    for (int n = 0; n < kPortsPerFamily; ++n) {
      const std::string path = f.prefix + std::to_string(n);
      if (std::find(out.begin(), out.end(), path) != out.end()) continue;
      if (usable(path, f.needs_uart)) out.push_back(path);
    }
  }
  return out;
}

}  // namespace kitserial
