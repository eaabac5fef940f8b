// A serial port as the kit's transports use it: opened exclusively by name,
// raw 8N1 at a fixed bit rate, reads that return at once with what has
// arrived, writes that hand over every byte or report failure.
//
// POSIX termios backend. Exclusive means: no other program and no other
// descriptor of this process holds the port (an advisory flock() plus
// TIOCEXCL, so even a second open by this library fails while the first is
// open), and no live process holds its UUCP lock file (/run/lock/LCK..name,
// the convention of terminal programs that take neither); an open port
// holds that lock file itself until it is closed.
//
// Win32 backend (serial_win32.cpp): ports are COM names ("COM3"), opened as
// "\\.\" + name with share mode 0; only the rate and 8N1 are changed in the
// device's settings (its flow control is always kept); reads return at once;
// a write is one synchronous WriteFile (no stall time-out). The list probes
// COM1 to COM20.
//
// Threads: one thread may read while another writes on the same port; the
// caller serialises writes among themselves.
#ifndef KITSERIAL_SERIAL_PORT_H
#define KITSERIAL_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kitserial {

// An open port: a descriptor (POSIX) or a file handle (Win32).
#ifdef _WIN32
using PortHandle = intptr_t;
#else
using PortHandle = int;
#endif

// Value of a port that is not open (also INVALID_HANDLE_VALUE).
const PortHandle kClosedPort = -1;

// Opens `path` for reading and writing, exclusively, without making it the
// controlling terminal and without waiting for carrier. Returns the
// descriptor, or kClosedPort when the port is missing, held by someone else
// or cannot be opened.
PortHandle open_exclusive(const std::string& path);

// What configure_raw_8n1 does with the device's flow control. The Win32
// backend keeps the device's flow control in both cases: it writes only the
// rate and 8N1 into the device's settings.
enum class FlowControl {
  // POSIX: RTS/CTS and XON/XOFF off, whatever the device had.
  kOff,
  // POSIX: the device's RTS/CTS setting and its input XON/XOFF (IXOFF) stay
  // as they are. Output XON/XOFF (IXON) is off all the same: a binary frame
  // may carry those bytes, and the driver would swallow them.
  kKeepDevice,
};

// Sets raw mode, 8 data bits, no parity, one stop bit, flow control as
// `flow` says, the receiver on, modem lines ignored, and `baud` in both
// directions. False when the rate is not supported or the driver refuses
// the settings.
bool configure_raw_8n1(PortHandle fd, unsigned baud, FlowControl flow);

// Reads what has arrived, at most `capacity` bytes, without waiting.
// Returns the count (> 0), 0 when nothing is waiting, -1 on an error
// (a vanished device, a hung-up pseudo-terminal).
long read_available(PortHandle fd, uint8_t* dst, size_t capacity);

// As read_available, but waits up to `wait_ms` for the first byte: 0 means
// nothing came in that time. An error returns -1 at once, so a caller that
// loops pauses itself after one.
long read_within(PortHandle fd, uint8_t* dst, size_t capacity, int wait_ms);

// stall_timeout_ms of write_all that waits for room as long as it takes.
const int kNoStallTimeout = -1;

// Writes all `length` bytes, waiting for room in the driver's buffer when it
// is full; gives up when no byte can be written for `stall_timeout_ms`
// (never with kNoStallTimeout). True only when every byte was written.
bool write_all(PortHandle fd, const uint8_t* data, size_t length, int stall_timeout_ms);

// Releases the locks and closes the descriptor. kClosedPort: nothing.
void close_port(PortHandle fd);

// True when `path` can be opened exclusively right now (opened and closed
// again at once).
bool can_open(const std::string& path);

// The serial ports that can be opened exclusively now, in this order: each
// of `extra_paths` in the given order, then /dev/ttyUSB0-19 (USB serial
// adapters, the usual RS485 converters), /dev/ttyACM0-19 (CDC-ACM devices),
// /dev/ttyS0-19 (on-board UARTs; only those the kernel knows a UART behind).
// A name appears once.
std::vector<std::string> list_openable_ports(const std::vector<std::string>& extra_paths);

}  // namespace kitserial

#endif  // KITSERIAL_SERIAL_PORT_H
