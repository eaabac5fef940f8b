// Serial ports over POSIX termios: exclusive open, raw 8N1, non-blocking
// reads (or reads that wait in poll), complete writes. errno is turned into
// the boolean and count results of serial_port.h here and goes no further.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "kitserial/serial_port.h"
#include "uucp_lock.h"

namespace kitserial {
namespace {

struct RateCode {
  unsigned baud;
  speed_t code;
};

// The rates the drivers take as constants; the hand's RS485 link uses 500000.
const RateCode kRates[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

bool rate_code(unsigned baud, speed_t* code) {
  for (const RateCode& r : kRates) {
    if (r.baud == baud) {
      *code = r.code;
      return true;
    }
  }
  return false;
}

// The UUCP lock file of each open descriptor, removed when it closes.
std::mutex& lock_files_mutex() {
  static std::mutex m;
  return m;
}

std::vector<std::pair<int, std::string>>& lock_files() {
  static std::vector<std::pair<int, std::string>> files;
  return files;
}

// Takes the lock file entry of fd out of the table: "" when it has none.
std::string forget_lock_file(int fd) {
  std::lock_guard<std::mutex> lock(lock_files_mutex());
  auto& files = lock_files();
  auto it = std::find_if(files.begin(), files.end(), [fd](const std::pair<int, std::string>& f) { return f.first == fd; });
  if (it == files.end()) return std::string();
  std::string path = std::move(it->second);
  files.erase(it);
  return path;
}

int open_locked_device(const std::string& path) {
  // O_NONBLOCK: neither the open nor any read waits for carrier or data.
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kClosedPort;
  if (!::isatty(fd)) {
    ::close(fd);
    return kClosedPort;
  }
  // The lock is what makes a second open fail inside this process too, and
  // for root, whom TIOCEXCL does not stop.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return kClosedPort;
  }
  // Keeps programs that do not take the lock out while we hold the port.
  if (::ioctl(fd, TIOCEXCL) != 0) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return kClosedPort;
  }
  return fd;
}

}  // namespace

int open_exclusive(const std::string& path) {
  if (path.empty()) return kClosedPort;
  // The lock file comes first: a line that another program holds is not
  // even opened, since our TIOCEXCL would then lock that program out of its
  // own line. Where no lock file can be made (no lock directory, no write
  // permission) flock and TIOCEXCL still keep the line ours.
  std::string lock_path;
  if (uucp_lock(path, &lock_path) == UucpLock::kHeld) return kClosedPort;
  const int fd = open_locked_device(path);
  if (fd == kClosedPort) {
    uucp_unlock(lock_path);
    return kClosedPort;
  }
  if (!lock_path.empty()) {
    try {
      std::lock_guard<std::mutex> lock(lock_files_mutex());
      lock_files().emplace_back(fd, lock_path);
    } catch (...) {  // no memory for the entry: never leave a lock behind
      close_port(fd);
      uucp_unlock(lock_path);
      return kClosedPort;
    }
  }
  return fd;
}

bool configure_raw_8n1(int fd, unsigned baud, FlowControl flow) {
  if (fd < 0) return false;
  speed_t code = 0;
  if (!rate_code(baud, &code)) return false;
  termios tio;
  std::memset(&tio, 0, sizeof tio);
  if (::tcgetattr(fd, &tio) != 0) return false;
  const tcflag_t device_rtscts = tio.c_cflag & CRTSCTS;
  // Raw also clears IXON: XON/XOFF bytes in a frame reach the reader.
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  if (flow == FlowControl::kKeepDevice) {
    tio.c_cflag |= device_rtscts;
  } else {
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  }
  // Reads return at once; the descriptor is non-blocking as well.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0) return false;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

long read_available(int fd, uint8_t* dst, size_t capacity) {
  if (fd < 0 || !dst || capacity == 0) return -1;
  for (;;) {
    const ssize_t n = ::read(fd, dst, capacity);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

long read_within(int fd, uint8_t* dst, size_t capacity, int wait_ms) {
  if (fd < 0 || !dst || capacity == 0) return -1;
  pollfd p;
  p.fd = fd;
  p.events = POLLIN;
  p.revents = 0;
  const int r = ::poll(&p, 1, wait_ms);
  if (r == 0) return 0;
  if (r < 0) return errno == EINTR ? 0 : -1;
  // Hang-up or error without data (the peer of a pseudo-terminal went away).
  if (!(p.revents & POLLIN)) return -1;
  // Readable yet nothing to read: end of file on a hung-up line.
  const long n = read_available(fd, dst, capacity);
  return n == 0 ? -1 : n;
}

bool write_all(int fd, const uint8_t* data, size_t length, int stall_timeout_ms) {
  if (fd < 0 || !data || length == 0) return false;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The driver's buffer is full: wait for room, but not for ever.
    pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    const int r = ::poll(&p, 1, stall_timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  }
  return true;
}

void close_port(int fd) {
  if (fd < 0) return;
  // Out of the table before the descriptor number can be reused.
  const std::string lock_path = forget_lock_file(fd);
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  uucp_unlock(lock_path);
}

bool can_open(const std::string& path) {
  const int fd = open_exclusive(path);
  if (fd < 0) return false;
  close_port(fd);
  return true;
}

}  // namespace kitserial
