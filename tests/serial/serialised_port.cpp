// kit_serial's functions over one modelled port whose handle, as a
// synchronous Win32 handle, runs one call at a time (see serialised_port.h).
#include "serialised_port.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kitserial/port_list.h"
#include "kitserial/serial_port.h"

namespace serialised_port {

const char* const kName = "SERIALISED1";

namespace {

struct Port {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  kitserial::PortHandle handle = kitserial::kClosedPort;
  kitserial::PortHandle next_handle = 100;  // each open a new value, so a stale one is seen
  bool busy = false;          // a call holds the handle
  int calls_inside = 0;       // reads and writes entered and not yet returned
  int reads_waiting = 0;      // reads waiting for the handle
  int writes_inside = 0;      // writes entered and not yet returned
  bool write_held = false;    // a write waits on the held line
  bool line_held = false;
  bool writes_aborted = false;
  std::vector<uint8_t> sent;
  std::vector<std::string> faults;

  // False, and a fault, when `h` is not the open handle.
  bool usable_locked(kitserial::PortHandle h, const char* call) {
    if (open && h == handle) return true;
    faults.push_back(std::string(call) + " on a handle that is not open");
    return false;
  }
  // The handle, once no other call holds it.
  void take_handle_locked(std::unique_lock<std::mutex>& lock) {
    changed.wait(lock, [this] { return !busy; });
    busy = true;
  }
  void give_handle_back_locked() {
    busy = false;
    changed.notify_all();
  }
};

Port& port() {
  static Port p;
  return p;
}

}  // namespace

void reset() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.open = false;
  p.handle = kitserial::kClosedPort;
  p.busy = false;
  p.calls_inside = 0;
  p.writes_inside = 0;
  p.reads_waiting = 0;
  p.write_held = false;
  p.line_held = false;
  p.writes_aborted = false;
  p.sent.clear();
  p.faults.clear();
}

void hold_line() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.line_held = true;
}

void release_line() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.line_held = false;
  p.changed.notify_all();
}

bool wait_for_read_behind_held_write(std::chrono::milliseconds timeout) {
  Port& p = port();
  std::unique_lock<std::mutex> lock(p.mutex);
  return p.changed.wait_for(lock, timeout, [&p] { return p.write_held && p.reads_waiting > 0; });
}

bool is_open() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.open;
}

std::vector<uint8_t> written() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.sent;
}

std::vector<std::string> faults() {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.faults;
}

}  // namespace serialised_port

namespace kitserial {

using serialised_port::Port;
using serialised_port::port;

PortHandle open_exclusive(const std::string& path) {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (path != serialised_port::kName || p.open) return kClosedPort;
  p.open = true;
  p.handle = p.next_handle++;
  p.writes_aborted = false;
  return p.handle;
}

bool configure_raw_8n1(PortHandle fd, unsigned baud, FlowControl /*flow*/) {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.usable_locked(fd, "configure_raw_8n1") && baud != 0;
}

long read_available(PortHandle fd, uint8_t* dst, size_t capacity) {
  if (!dst || capacity == 0) return -1;
  Port& p = port();
  std::unique_lock<std::mutex> lock(p.mutex);
  if (!p.usable_locked(fd, "read")) return -1;
  ++p.calls_inside;
  ++p.reads_waiting;
  p.changed.notify_all();
  p.take_handle_locked(lock);
  --p.reads_waiting;
  p.give_handle_back_locked();
  --p.calls_inside;
  return 0;  // the peer sends nothing
}

long read_within(PortHandle fd, uint8_t* dst, size_t capacity, int wait_ms) {
  // As on Win32: the read returns at once, the wait is a pause after it.
  const long n = read_available(fd, dst, capacity);
  if (n == 0 && wait_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  return n;
}

bool write_all(PortHandle fd, const uint8_t* data, size_t length, int /*stall_timeout_ms*/) {
  if (!data || length == 0) return false;
  Port& p = port();
  std::unique_lock<std::mutex> lock(p.mutex);
  if (!p.usable_locked(fd, "write") || p.writes_aborted) return false;
  ++p.calls_inside;
  ++p.writes_inside;
  p.take_handle_locked(lock);
  while (p.line_held && !p.writes_aborted) {
    p.write_held = true;
    p.changed.notify_all();
    p.changed.wait(lock);
  }
  p.write_held = false;
  const bool ok = !p.writes_aborted;
  if (ok) p.sent.insert(p.sent.end(), data, data + length);
  --p.writes_inside;
  p.give_handle_back_locked();
  --p.calls_inside;
  return ok;
}

void abort_writes(PortHandle fd) {
  Port& p = port();
  std::unique_lock<std::mutex> lock(p.mutex);
  if (!p.usable_locked(fd, "abort_writes")) return;
  p.writes_aborted = true;
  p.changed.notify_all();
  // As on Win32: returns once no write runs (a read that waits behind it
  // is not cancelled; it runs after).
  p.changed.wait(lock, [&p] { return p.writes_inside == 0; });
}

void close_port(PortHandle fd) {
  if (fd == kClosedPort) return;
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (!p.usable_locked(fd, "close_port")) return;
  if (p.calls_inside > 0) p.faults.push_back("handle closed while a read or a write of it runs");
  p.open = false;
  p.handle = kClosedPort;
  p.changed.notify_all();
}

namespace {

std::vector<std::string> own_port_among(const std::vector<std::string>& named, bool only_if_free) {
  Port& p = port();
  std::lock_guard<std::mutex> lock(p.mutex);
  std::vector<std::string> ports;
  if (std::find(named.begin(), named.end(), serialised_port::kName) != named.end() && !(only_if_free && p.open)) {
    ports.push_back(serialised_port::kName);
  }
  return ports;
}

}  // namespace

std::vector<std::string> list_present_ports(const std::vector<std::string>& named) {
  return own_port_among(named, false);
}

std::vector<std::string> list_openable_ports(const std::vector<std::string>& named) {
  return own_port_among(named, true);
}

}  // namespace kitserial
