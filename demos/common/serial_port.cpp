// SerialPort on kit_serial: a POSIX tty or a Win32 comm handle.
#include "serial_port.h"

#include <chrono>

#include "kitserial/port_list.h"

namespace demos {
namespace {

// How long one wait of the reader for bytes lasts: an idle port costs one
// wake-up per millisecond, and bytes are read as soon as they arrive.
const int kReadWaitMs = 1;

}  // namespace

SerialPort::~SerialPort() {
  close();
  on_receive = nullptr;
}

std::vector<std::string> SerialPort::list_ports(const std::vector<std::string>& named) {
  return kitserial::list_present_ports(named);
}

bool SerialPort::open(const std::string& name, unsigned baud) {
  if (open_.load(std::memory_order_acquire)) return false;
  // Exclusive use, as one program per line: a second opener, or a line that
  // another program holds, is refused.
  const kitserial::PortHandle port = kitserial::open_exclusive(name);
  if (port == kitserial::kClosedPort) return false;
  // The wiring of the line (an RS485 converter with or without handshake)
  // is the device's business: its flow control stays as configured.
  if (!kitserial::configure_raw_8n1(port, baud, kitserial::FlowControl::kKeepDevice)) {
    kitserial::close_port(port);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    port_ = port;
  }
  open_.store(true, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  try {
    reader_ = std::thread(&SerialPort::rx_loop, this);
  } catch (...) {
    running_.store(false, std::memory_order_release);
    open_.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(port_);
    port_ = kitserial::kClosedPort;
    return false;
  }
  return true;
}

void SerialPort::rx_loop() {
  const kitserial::PortHandle port = port_;  // fixed while the reader runs
  uint8_t buffer[kChunkBytes];
  while (running_.load(std::memory_order_acquire)) {
    if (!open_.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const long n = kitserial::read_within(port, buffer, sizeof buffer, kReadWaitMs);
    if (n >= 0) {
      // Nothing read is passed on too: the hand library tells the line's
      // silence from it.
      on_receive(buffer, static_cast<unsigned>(n));
      continue;  // data flows, or the wait is over: read again at once
    }
    // A failed read (a vanished device, a hung-up line) returns at once and
    // never closes the port or ends the reader: pause before the next.
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SerialPort::write(const uint8_t* data, unsigned length) {
  if (data == nullptr || length == 0 || !open_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (port_ == kitserial::kClosedPort) return false;
  // Writes have no time-out: a stalled line holds this call, and with it the
  // RS485 bus worker, until the line moves again or close() aborts it.
  return kitserial::write_all(port_, data, length, kitserial::kNoStallTimeout);
}

bool SerialPort::close() {
  if (!open_.load(std::memory_order_acquire)) return false;
  running_.store(false, std::memory_order_release);
  // The write goes first: a write held by a stalled line keeps the write
  // mutex, and on Windows the reader's next read waits behind it (one call
  // at a time on the handle), so the reader could not end before it.
  // port_ changes only on this thread.
  kitserial::abort_writes(port_);
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    // On a tty this also clears the exclusive flag, which would otherwise
    // outlive us while another process (a simulator holding a
    // pseudo-terminal, say) keeps the device open, and the lock file.
    kitserial::close_port(port_);
    port_ = kitserial::kClosedPort;
  }
  open_.store(false, std::memory_order_release);
  return true;
}

}  // namespace demos
