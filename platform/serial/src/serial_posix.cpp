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
#include <chrono>
#include <cstring>
#include <utility>

#include "kitserial/serial_port.h"
#include "port_table.h"
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

// What this process keeps of each port it holds open: the UUCP lock file to
// remove when it closes ("" when none could be made) and whether its writes
// were aborted.
struct OpenPort {
  std::string lock_path;
  bool writes_aborted = false;
};

PortTable<OpenPort>& open_ports() {
  static PortTable<OpenPort> table;
  return table;
}

bool writes_aborted(int fd) {
  return open_ports().with(fd, false, [](OpenPort& p) { return p.writes_aborted; });
}

// A write that waits for room looks this often whether it was aborted.
const int kAbortCheckMs = 10;

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
  OpenPort entry;
  entry.lock_path = lock_path;
  if (!open_ports().add(fd, std::move(entry))) {  // never leave a lock behind
    close_port(fd);
    uucp_unlock(lock_path);
    return kClosedPort;
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
  auto last_progress = std::chrono::steady_clock::now();
  while (done < length) {
    if (writes_aborted(fd)) return false;
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      last_progress = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    // The driver's buffer is full: wait for room in short slices, so that an
    // abort is seen soon, until no byte has gone for the stall time-out.
    int wait_ms = kAbortCheckMs;
    if (stall_timeout_ms >= 0) {
      const auto stalled = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - last_progress).count();
      if (stalled >= stall_timeout_ms) return false;
      wait_ms = static_cast<int>(std::min<long long>(wait_ms, stall_timeout_ms - stalled));
    }
    pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) return false;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
  }
  return true;
}

void abort_writes(int fd) {
  open_ports().with(fd, false, [](OpenPort& p) { return p.writes_aborted = true; });
}

void close_port(int fd) {
  if (fd < 0) return;
  // Out of the table before the descriptor number can be reused.
  OpenPort gone;
  open_ports().remove(fd, &gone);
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  uucp_unlock(gone.lock_path);
}

}  // namespace kitserial
