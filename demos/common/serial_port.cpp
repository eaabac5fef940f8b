// SerialPort on a POSIX tty.
#include "serial_port.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "kitserial/serial_port.h"
#include "kitserial_list/serial_list.h"

namespace demos {
namespace {

bool baud_constant(unsigned baud, speed_t* out) {
  struct Entry {
    unsigned baud;
    speed_t code;
  };
  static const Entry kTable[] = {
      {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
      {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
  };
  for (const Entry& e : kTable) {
    if (e.baud == baud) {
      *out = e.code;
      return true;
    }
  }
  return false;
}

}  // namespace

SerialPort::~SerialPort() {
  close();
  on_receive = nullptr;
}

std::vector<std::string> SerialPort::list_ports(const std::vector<std::string>& named) {
  return kitserial::list_serial_ports(named);
}

bool SerialPort::open(const std::string& name, unsigned baud) {
  if (open_.load(std::memory_order_acquire)) return false;
  speed_t speed;
  if (!baud_constant(baud, &speed)) return false;

  // Exclusive use, as one program per line: a second opener, or a line that
  // another program holds (flock, TIOCEXCL or a UUCP lock file), is refused.
  // The open is non-blocking, so that a modem line without carrier cannot
  // hold it; I/O below is blocking.
  int fd = kitserial::open_exclusive(name);
  if (fd == kitserial::kClosedPort) return false;
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    kitserial::close_port(fd);
    return false;
  }
  // Binary frames must pass untouched: no echo, no line editing, no CR/LF
  // translation, 8 data bits, no parity, one stop bit. Hardware flow control
  // keeps the device's setting.
  const tcflag_t rtscts = tio.c_cflag & CRTSCTS;
  ::cfmakeraw(&tio);
  tio.c_cflag &= static_cast<tcflag_t>(~(CSIZE | PARENB | CSTOPB | CRTSCTS));
  tio.c_cflag |= CS8 | CREAD | CLOCAL | rtscts;
  tio.c_cc[VMIN] = 0;  // reads return at once with what is waiting
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
      ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    kitserial::close_port(fd);
    return false;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    kitserial::close_port(fd);
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    fd_ = fd;
  }
  open_.store(true, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  try {
    reader_ = std::thread(&SerialPort::rx_loop, this);
  } catch (...) {
    running_.store(false, std::memory_order_release);
    open_.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

void SerialPort::rx_loop() {
  const int fd = fd_;  // fixed while the reader runs
  uint8_t buffer[kChunkBytes];
  while (running_.load(std::memory_order_acquire)) {
    if (!open_.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // Waiting in poll for at most 1 ms stands for "read at once, sleep 1 ms
    // when nothing came" and answers sooner when bytes arrive.
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 1);
    if (r <= 0 || !(p.revents & POLLIN)) {
      // Hang-up or error without data (the peer of a pseudo-terminal went
      // away): poll returns at once, so pause to keep this from spinning.
      if (r > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      on_receive(buffer, static_cast<unsigned>(n));
      continue;  // data flows: read again at once
    }
    // A failed read never closes the port or ends the reader.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SerialPort::write(const uint8_t* data, unsigned length) {
  if (data == nullptr || length == 0 || !open_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (fd_ < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd_, data, length);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<unsigned>(n) == length;
}

bool SerialPort::close() {
  if (!open_.load(std::memory_order_acquire)) return false;
  running_.store(false, std::memory_order_release);
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    // Also clears the terminal's exclusive flag, which would otherwise
    // outlive us while another process (a simulator holding a
    // pseudo-terminal, say) keeps the device open, and the lock file.
    kitserial::close_port(fd_);
    fd_ = -1;
  }
  open_.store(false, std::memory_order_release);
  return true;
}

}  // namespace demos
