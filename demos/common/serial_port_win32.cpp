// SerialPort on a Win32 comm handle: "\\.\" + name, exclusive, synchronous
// I/O, the device's settings with only the rate and 8N1 changed, reads that
// return at once with what is waiting.
#include "serial_port.h"

#include <chrono>

#include "kitserial/serial_port.h"
#include "kitserial_list/serial_list.h"

namespace demos {

SerialPort::~SerialPort() {
  close();
  on_receive = nullptr;
}

std::vector<std::string> SerialPort::list_ports(const std::vector<std::string>& named) {
  return kitserial::list_serial_ports(named);
}

bool SerialPort::open(const std::string& name, unsigned baud) {
  if (open_.load(std::memory_order_acquire)) return false;
  kitserial::PortHandle h = kitserial::open_exclusive(name);
  if (h == kitserial::kClosedPort) return false;
  if (!kitserial::configure_raw_8n1(h, baud)) {
    kitserial::close_port(h);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    handle_ = h;
  }
  open_.store(true, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  try {
    reader_ = std::thread(&SerialPort::rx_loop, this);
  } catch (...) {
    running_.store(false, std::memory_order_release);
    open_.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(handle_);
    handle_ = kitserial::kClosedPort;
    return false;
  }
  return true;
}

void SerialPort::rx_loop() {
  const kitserial::PortHandle h = handle_;  // fixed while the reader runs
  uint8_t buffer[kChunkBytes];
  while (running_.load(std::memory_order_acquire)) {
    if (open_.load(std::memory_order_acquire)) {
      long n = kitserial::read_available(h, buffer, sizeof buffer);
      if (n > 0) {
        on_receive(buffer, static_cast<unsigned>(n));
        continue;  // data flows: read again at once
      }
    }
    // Nothing waiting, or a failed read: the port stays open.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SerialPort::write(const uint8_t* data, unsigned length) {
  if (data == nullptr || length == 0 || !open_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  return kitserial::write_all(handle_, data, length, 0);
}

bool SerialPort::close() {
  if (!open_.load(std::memory_order_acquire)) return false;
  running_.store(false, std::memory_order_release);
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(handle_);
    handle_ = kitserial::kClosedPort;
  }
  open_.store(false, std::memory_order_release);
  return true;
}

}  // namespace demos
