// Serial ports over Win32 comm handles: "\\.\" + name opened for reading and
// writing with share mode 0 (exclusive) and no overlapped I/O; only the rate,
// 8 data bits, no parity and one stop bit are changed in the device's
// settings, the device's flow control among those kept; reads return at
// once; writes are synchronous, without a time-out; no purge. Without
// overlapped I/O the system runs one call at a time on the handle: a read
// waits while a write is in flight.
#include <windows.h>

#include "device_path_win32.h"
#include "kitserial/serial_port.h"
#include "port_table.h"

namespace kitserial {
namespace {

HANDLE as_handle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

// The write state of each open port. A synchronous WriteFile cannot be told
// to stop before it starts: abort_writes cancels the one in flight until
// none is, and marks the port so that no new one starts.
struct WriteState {
  bool aborted = false;
  bool running = false;
};

// How often abort_writes cancels a write that is still running.
const DWORD kCancelRetryMs = 10;

PortTable<WriteState>& open_ports() {
  static PortTable<WriteState> table;
  return table;
}

}  // namespace

PortHandle open_exclusive(const std::string& path) {
  if (path.empty()) return kClosedPort;
  HANDLE h = ::CreateFileA(device_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return kClosedPort;
  const PortHandle port = reinterpret_cast<PortHandle>(h);
  if (!open_ports().add(port, WriteState())) {
    ::CloseHandle(h);
    return kClosedPort;
  }
  return port;
}

bool configure_raw_8n1(PortHandle port, unsigned baud, FlowControl /*flow*/) {
  if (port == kClosedPort || baud == 0) return false;
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(as_handle(port), &dcb)) return false;
  // Either FlowControl keeps the device's: its flow-control fields
  // (fOutxCtsFlow, fOutxDsrFlow, fDtrControl, fRtsControl, fOutX, fInX) and
  // everything else but these four go back as GetCommState gave them.
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!::SetCommState(as_handle(port), &dcb)) return false;
  // Reads return at once with what has arrived; writes have no time-out.
  // A driver that refuses the time-outs still carries bytes, so the port
  // stays usable.
  COMMTIMEOUTS timeouts;
  ZeroMemory(&timeouts, sizeof timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  ::SetCommTimeouts(as_handle(port), &timeouts);
  return true;
}

long read_available(PortHandle port, uint8_t* dst, size_t capacity) {
  if (port == kClosedPort || !dst || capacity == 0) return -1;
  const DWORD want = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD got = 0;
  if (!::ReadFile(as_handle(port), dst, want, &got, nullptr)) return -1;
  return static_cast<long>(got);
}

long read_within(PortHandle port, uint8_t* dst, size_t capacity, int wait_ms) {
  // The time-outs make every read return at once: waiting is a pause after
  // an empty one.
  const long n = read_available(port, dst, capacity);
  if (n == 0 && wait_ms > 0) ::Sleep(static_cast<DWORD>(wait_ms));
  return n;
}

bool write_all(PortHandle port, const uint8_t* data, size_t length, int /*stall_timeout_ms*/) {
  if (port == kClosedPort || !data || length == 0 || length > MAXDWORD) return false;
  const bool may_write = open_ports().with(port, true, [](WriteState& w) {
    w.running = !w.aborted;
    return w.running;
  });
  if (!may_write) return false;
  DWORD written = 0;
  const BOOL ok = ::WriteFile(as_handle(port), data, static_cast<DWORD>(length), &written, nullptr);
  open_ports().with(port, false, [](WriteState& w) { return w.running = false; });
  return ok && written == length;
}

void abort_writes(PortHandle port) {
  open_ports().with(port, false, [](WriteState& w) { return w.aborted = true; });
  // CancelIoEx also reaches a synchronous write of another thread. A write
  // marked as running may not have reached the driver yet when it is
  // cancelled: cancel again until it has returned. The handle runs one call
  // at a time, so a read waiting behind the write runs once it has returned
  // (CancelIoEx cancels every request on the handle: a read it meets may
  // fail, and the reader reads again as after any failed read).
  // (Wine cannot cancel a synchronous serial write: there this waits for the
  // line.)
  while (open_ports().with(port, false, [](WriteState& w) { return w.running; })) {
    ::CancelIoEx(as_handle(port), nullptr);
    ::Sleep(kCancelRetryMs);
  }
}

void close_port(PortHandle port) {
  if (port == kClosedPort) return;
  WriteState gone;
  open_ports().remove(port, &gone);
  ::CloseHandle(as_handle(port));
}

}  // namespace kitserial
