// A serial port as the kit's transports use it: opened exclusively by name,
// raw 8N1 at a fixed bit rate, reads that return at once with what has
// arrived, writes that hand over every byte or report failure.
//
// Two backends, one per platform. POSIX termios: ports are device paths;
// exclusive means no other program and no other descriptor of this process
// holds the port (an advisory flock() plus TIOCEXCL, so even a second open by
// this library fails while the first is open). Win32: ports are COM names
// ("COM3"), opened as "\\.\" + name with share mode 0, synchronous I/O.
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

// An open port: a descriptor (POSIX) or a file handle (Win32) as an integer.
using PortHandle = intptr_t;
// A port that is not open (-1 is also INVALID_HANDLE_VALUE).
const PortHandle kClosedPort = -1;

// Opens `path` for reading and writing, exclusively, without making it the
// controlling terminal and without waiting for carrier. Returns the
// handle, or kClosedPort when the port is missing, held by someone else
// or cannot be opened.
PortHandle open_exclusive(const std::string& path);

// POSIX: raw mode, 8 data bits, no parity, one stop bit, no flow control,
// the receiver on, modem lines ignored, `baud` in both directions. Win32:
// the device's settings with only the rate, 8 data bits, no parity and one
// stop bit changed, and time-outs that make reads return at once. False
// when the rate is not supported or the driver refuses the settings.
bool configure_raw_8n1(PortHandle port, unsigned baud);

// Reads what has arrived, at most `capacity` bytes, without waiting.
// Returns the count (> 0), 0 when nothing is waiting, -1 on an error
// (a vanished device, a hung-up pseudo-terminal).
long read_available(PortHandle port, uint8_t* dst, size_t capacity);

// POSIX: writes all `length` bytes, waiting for room in the driver's buffer
// when it is full; gives up when no byte can be written for
// `stall_timeout_ms`. Win32: one synchronous write (the driver takes the
// whole buffer or fails). True only when every byte was written.
bool write_all(PortHandle port, const uint8_t* data, size_t length, int stall_timeout_ms);

// Releases the lock and closes the port. kClosedPort: nothing.
void close_port(PortHandle port);

// True when `path` can be opened exclusively right now (opened and closed
// again at once).
bool can_open(const std::string& path);

// The serial ports that can be opened exclusively now: each of
// `extra_paths` in the given order, then on Linux /dev/ttyUSB0-19 (USB
// serial adapters, the usual RS485 converters), /dev/ttyACM0-19 (CDC-ACM
// devices), /dev/ttyS0-19 (on-board UARTs; only those the kernel knows a
// UART behind); on Windows COM1 to COM20. A name appears once.
std::vector<std::string> list_openable_ports(const std::vector<std::string>& extra_paths);

}  // namespace kitserial

#endif  // KITSERIAL_SERIAL_PORT_H
