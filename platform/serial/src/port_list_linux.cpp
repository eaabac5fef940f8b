// The port lists of port_list.h on Linux, which names its serial devices by
// driver: one scan of /dev serves both lists.
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "kitserial/port_list.h"
#include "named_first.h"
#include "uucp_lock.h"

namespace kitserial {
namespace {

bool is_char_device(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The kernel makes /dev/ttyS0..N for every UART slot the 8250 driver
// reserved, most with nothing behind them; those report PORT_UNKNOWN.
bool has_uart(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct info{};
  const bool present = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return present;
}

// /dev entries "<prefix><decimal number>", sorted by number.
std::vector<std::string> numbered_devices(const char* prefix) {
  std::vector<std::pair<long, std::string>> found;
  DIR* dir = ::opendir("/dev");
  if (dir == nullptr) return {};
  const size_t plen = std::strlen(prefix);
  while (dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (std::strncmp(name, prefix, plen) != 0 || name[plen] == '\0') continue;
    char* end = nullptr;
    const long n = std::strtol(name + plen, &end, 10);
    if (end == nullptr || *end != '\0' || n < 0) continue;
    found.emplace_back(n, std::string("/dev/") + name);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

std::vector<std::string> system_ports() {
  std::vector<std::string> found;
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (auto& p : numbered_devices(prefix))
      if (is_char_device(p)) found.push_back(std::move(p));
  for (auto& p : numbered_devices("ttyS"))
    if (is_char_device(p) && has_uart(p)) found.push_back(std::move(p));
  return found;
}

// The probe takes only a shared lock: it fails on a port someone holds open
// (their lock is exclusive), but two probes at once, in this or another
// process, never hide a port from each other. A line with a live UUCP lock
// file is held by a program that may take no other lock; it is not opened.
bool free_now(const std::string& path) {
  if (uucp_locked(path)) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::isatty(fd) && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);  // also drops the shared lock
  return ok;
}

}  // namespace

std::vector<std::string> list_present_ports(const std::vector<std::string>& named) {
  return named_first(named, is_char_device, system_ports());
}

std::vector<std::string> list_openable_ports(const std::vector<std::string>& named) {
  std::vector<std::string> found = system_ports();
  found.erase(std::remove_if(found.begin(), found.end(), [](const std::string& p) { return !free_now(p); }),
              found.end());
  return named_first(named, free_now, found);
}

}  // namespace kitserial
