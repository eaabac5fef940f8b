#include "com_port.h"

#include <chrono>
#include <system_error>

#include "kitserial/serial_port.h"

namespace lv {
namespace {

// A write gives up when the driver takes no byte for this long (a stalled
// USB converter); the hand library's bus worker must not hang on it.
const int kWriteStallTimeoutMs = 1000;

std::mutex& extra_names_mutex() {
  static std::mutex m;
  return m;
}

std::vector<std::string>& extra_names() {
  static std::vector<std::string> names;
  return names;
}

}  // namespace

ComPort::~ComPort() { close(); }

std::vector<std::string> ComPort::scan_ports() {
  std::vector<std::string> extras;
  {
    std::lock_guard<std::mutex> lock(extra_names_mutex());
    extras = extra_names();
  }
  return kitserial::list_openable_ports(extras);
}

void ComPort::set_extra_port_names(const std::vector<std::string>& paths) {
  std::lock_guard<std::mutex> lock(extra_names_mutex());
  extra_names() = paths;
}

bool ComPort::open(const std::string& name) {
  if (open_.load()) return false;
  const kitserial::PortHandle fd = kitserial::open_exclusive(name);
  if (fd == kitserial::kClosedPort) return false;
  if (!kitserial::configure_raw_8n1(fd, kBaud)) {
    kitserial::close_port(fd);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    fd_ = fd;
  }
  open_.store(true);
  running_.store(true);
  try {
    reader_ = std::thread(&ComPort::rx_loop, this);
  } catch (const std::system_error&) {
    running_.store(false);
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(fd_);
    fd_ = -1;
    open_.store(false);
    return false;
  }
  return true;
}

void ComPort::close() {
  if (!open_.load()) return;
  running_.store(false);
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
  // Under the write mutex, so a write in flight finishes on the descriptor it
  // started with and no later write can reach a closed (or reused) one.
  std::lock_guard<std::mutex> lock(write_mutex_);
  kitserial::close_port(fd_);
  fd_ = -1;
  open_.store(false);
}

bool ComPort::write(const uint8_t* data, unsigned length) {
  if (!open_.load() || !data || length == 0) return false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (fd_ < 0) return false;
  return kitserial::write_all(fd_, data, length, kWriteStallTimeoutMs);
}

void ComPort::set_on_receive(ReceiveFn fn) {
  std::lock_guard<std::mutex> lock(receive_mutex_);
  on_receive_ = std::move(fn);
}

void ComPort::rx_loop() {
  uint8_t buffer[kChunkBytes];
  while (running_.load()) {
    if (!open_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // fd_ does not change while the reader runs: open() sets it before the
    // thread starts and close() only after joining it.
    const long n = kitserial::read_available(fd_, buffer, sizeof buffer);
    if (n > 0) {
      std::lock_guard<std::mutex> lock(receive_mutex_);
      if (on_receive_) on_receive_(buffer, static_cast<size_t>(n));
      continue;  // more may be waiting: read again at once
    }
    // Nothing, or a read error (which never closes the port): try again soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace lv
