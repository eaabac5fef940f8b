// The demo programs' serial port: a POSIX tty in raw mode or a Win32 comm
// port (kit_serial), with a reader thread that hands every chunk it reads to
// on_receive, and a length of 0 after each read that found nothing within
// its millisecond, which is how the hand library hears the line fall silent.
//
// Threads: open(), close() and the destructor from the owning thread;
// write() from any thread (serialised by the write mutex; the RS485 bus
// worker is its usual caller); on_receive runs on the reader thread and may
// be assigned or cleared from any thread at any time (see ReceiveHook). On
// Windows the port runs one call at a time: while a stalled line holds a
// write, the reader waits behind it and nothing reaches on_receive.
#ifndef DEMOS_COMMON_SERIAL_PORT_H
#define DEMOS_COMMON_SERIAL_PORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kitserial/serial_port.h"

namespace demos {

// The callable behind SerialPort::on_receive. Assigning it and the reader's
// calls take one mutex, so the reader sees no callable or a complete one,
// and once an assignment (clearing included) returns, no call of the old
// callable is still running. The callable must not assign on_receive
// itself.
class ReceiveHook {
 public:
  using Fn = std::function<void(const uint8_t* data, unsigned length)>;

  ReceiveHook& operator=(Fn fn) {
    Fn old;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old.swap(fn_);
      fn_ = std::move(fn);
    }
    // The old callable (and what it holds) is released outside the lock.
    return *this;
  }
  ReceiveHook& operator=(std::nullptr_t) { return *this = Fn(); }
  explicit operator bool() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<bool>(fn_);
  }
  // Calls the callable when one is set; false when the bytes were dropped.
  bool operator()(const uint8_t* data, unsigned length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fn_) return false;
    fn_(data, length);
    return true;
  }

 private:
  mutable std::mutex mutex_;
  Fn fn_;
};

class SerialPort {
 public:
  static constexpr std::size_t kChunkBytes = 1024;

  SerialPort() = default;
  // close(), then the callable is destroyed.
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Ports to offer the user (kitserial::list_present_ports): the ports named
  // (command-line arguments, pseudo-terminals among them) first, then the
  // serial devices found in /dev (Windows: the COM names the system lists).
  // May be empty.
  static std::vector<std::string> list_ports(const std::vector<std::string>& named = {});

  // Opens the port exclusively at baud, 8N1, raw (no echo, no line editing,
  // no character translation), the device's flow control kept, and starts
  // the reader. False when already open (the port stays open), for a baud
  // rate the system does not know, or when any step fails (nothing left
  // open).
  bool open(const std::string& name, unsigned baud);
  // Aborts a write that a stalled line holds (it returns false), stops and
  // joins the reader, closes the device. False when not open. Must not be
  // called from on_receive (the reader cannot join itself).
  bool close();
  // Writes all bytes under the write mutex, with no time-out: a stalled line
  // holds it until the line moves again or close(). True only when every
  // byte was written. False when not open, data null or length 0, when the
  // device fails the write, or when close() aborted it.
  bool write(const uint8_t* data, unsigned length);

  bool is_open() const { return open_.load(std::memory_order_acquire); }

  ReceiveHook on_receive;

 private:
  void rx_loop();

  kitserial::PortHandle port_ = kitserial::kClosedPort;  // guarded by write_mutex_ while open
  std::atomic<bool> open_{false};
  std::thread reader_;
  std::atomic<bool> running_{false};
  std::mutex write_mutex_;
};

}  // namespace demos

#endif  // DEMOS_COMMON_SERIAL_PORT_H
