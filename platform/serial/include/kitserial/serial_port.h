// A serial port as the kit's transports use it: opened exclusively by name,
// raw 8N1 at a fixed bit rate, reads that return at once with what has
// arrived, writes that hand over every byte or report failure. The lists of
// ports to offer are in port_list.h.
//
// POSIX termios backend. Exclusive means: no other program and no other
// descriptor of this process holds the port (an advisory flock() plus
// TIOCEXCL, so even a second open by this library fails while the first is
// open), and no live process holds its UUCP lock file (/run/lock/LCK..name,
// the convention of terminal programs that take neither); an open port
// holds that lock file itself until it is closed.
//
// Win32 backend: ports are COM names ("COM3"), opened as "\\.\" + name with
// share mode 0 and no overlapped I/O. Only the rate and 8N1 are written into
// the device's settings, so its flow control stays whatever it was, for
// either FlowControl. The time-outs make reads return at once and set no
// write time-out.
//
// When the line stalls (the peer holds it with flow control, a converter
// stops taking bytes): a POSIX write waits for room up to its stall
// time-out; a Win32 write waits for as long as the line holds it, whatever
// stall time-out it was given. Either way abort_writes() ends the wait, so a
// port can always be closed (except under wine, which cannot cancel a
// synchronous serial write).
//
// Threads: one thread may read while another writes on the same port; the
// caller serialises writes among themselves. On POSIX the two run side by
// side. A Win32 handle without overlapped I/O runs one call at a time: a
// read that comes while a write is in flight waits until that write has
// returned, so while a stalled line holds a write nothing is read (what
// arrives waits in the driver's receive buffer) and the reader stays inside
// its read. abort_writes() is made from a thread other than the writer's,
// the one about to close the port; it ends the held write and so frees the
// read behind it: a closer aborts the writes before it waits for its reader.
#ifndef KITSERIAL_SERIAL_PORT_H
#define KITSERIAL_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>
#include <string>

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

// What configure_raw_8n1 does with the device's flow control on POSIX. The
// Win32 backend keeps the device's flow control for both values.
enum class FlowControl {
  // RTS/CTS and XON/XOFF off, whatever the device had.
  kOff,
  // The device's RTS/CTS setting and its input XON/XOFF (IXOFF) stay as
  // they are. Output XON/XOFF (IXON) is off all the same: a binary frame may
  // carry those bytes, and the driver would swallow them.
  kKeepDevice,
};

// Sets raw mode, 8 data bits, no parity, one stop bit, flow control as
// `flow` says, the receiver on, modem lines ignored, and `baud` in both
// directions. False when the rate is not supported or the driver refuses
// the settings.
bool configure_raw_8n1(PortHandle fd, unsigned baud, FlowControl flow);

// Reads what has arrived, at most `capacity` bytes, without waiting for
// bytes (Win32: behind a write in flight on the port, see Threads above).
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
// is full. POSIX: gives up when no byte can be written for
// `stall_timeout_ms` (never with kNoStallTimeout). Win32: one synchronous
// WriteFile, which waits as long as the line holds it; `stall_timeout_ms` is
// not applied. True only when every byte was written; false at once after
// abort_writes().
bool write_all(PortHandle fd, const uint8_t* data, size_t length, int stall_timeout_ms);

// Ends a write_all that waits on `fd` in another thread (it returns false)
// and makes every later one on `fd` fail at once, so that a caller can take
// the lock its writes run under and close the port. Reads go on and the
// port stays open; bytes already handed to the driver stay there. Win32:
// returns once no write is running on the port; a read that waited behind
// the write then runs (the cancel may fail a read that it meets on its
// way, which the reader takes as any failed read).
void abort_writes(PortHandle fd);

// Releases the locks and closes the descriptor. kClosedPort: nothing.
void close_port(PortHandle fd);

}  // namespace kitserial

#endif  // KITSERIAL_SERIAL_PORT_H
