// Serial ports from /dev on Linux.
#include "kitserial_list/serial_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "named_first.h"

namespace kitserial {
namespace {

bool is_char_device(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The kernel makes /dev/ttyS0..N for every possible 8250 port; only those
// whose UART type is known have hardware behind them.
bool has_uart(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct info{};
  bool present = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  ::close(fd);
  return present;
}

// /dev entries "<prefix><decimal number>", sorted by number.
std::vector<std::string> numbered_devices(const char* prefix) {
  std::vector<std::pair<long, std::string>> found;
  DIR* dir = ::opendir("/dev");
  if (dir == nullptr) return {};
  size_t plen = std::strlen(prefix);
  while (dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (std::strncmp(name, prefix, plen) != 0 || name[plen] == '\0') continue;
    char* end = nullptr;
    long n = std::strtol(name + plen, &end, 10);
    if (end == nullptr || *end != '\0' || n < 0) continue;
    found.emplace_back(n, std::string("/dev/") + name);
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

// /dev/ttyUSB*, /dev/ttyACM*, then the /dev/ttyS* that have a UART.
std::vector<std::string> system_ports() {
  std::vector<std::string> found;
  for (const char* prefix : {"ttyUSB", "ttyACM"})
    for (auto& p : numbered_devices(prefix))
      if (is_char_device(p)) found.push_back(std::move(p));
  for (auto& p : numbered_devices("ttyS"))
    if (is_char_device(p) && has_uart(p)) found.push_back(std::move(p));
  return found;
}

}  // namespace

std::vector<std::string> list_serial_ports(const std::vector<std::string>& named) {
  return named_first(named, is_char_device, system_ports());
}

}  // namespace kitserial
