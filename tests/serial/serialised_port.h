// A stand-in for kit_serial (it defines kitserial::open_exclusive and the
// rest of serial_port.h and port_list.h, and is linked instead of the real
// backend) with one port, kName, that behaves as a Win32 comm handle opened
// without overlapped I/O:
//
// - The handle runs one call at a time: a read that comes while a write is
//   in flight waits until the write has returned, whatever the read's own
//   time-outs say.
// - A write waits for as long as the peer holds the line; abort_writes ends
//   it (false) and fails the later ones, and returns once no write runs. It
//   does not reach a read that waits behind that write: the read runs once
//   the write has returned.
// - The peer sends nothing: a read returns 0 as soon as it has the handle.
//
// It refuses what the real backend refuses (a second open, a missing name,
// null or empty buffers) and records as a fault every call that the real
// system would make undefined: a handle closed while another thread is
// inside a read or a write of it, a call on a handle that is not open.
//
// The functions below are the peer's side and the test's view, from any
// thread.
#ifndef TESTS_SERIAL_SERIALISED_PORT_H
#define TESTS_SERIAL_SERIALISED_PORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace serialised_port {

// The one name open_exclusive opens.
extern const char* const kName;

// Back to a closed port, a free line, nothing received and no faults. Only
// while no thread uses the port.
void reset();

// The peer stops the line: writes wait from now on. release_line() lets
// them, and the one waiting, finish.
void hold_line();
void release_line();

// True once a write waits on the held line and a read waits behind it;
// false when that did not happen within `timeout`.
bool wait_for_read_behind_held_write(std::chrono::milliseconds timeout);

bool is_open();
// The bytes that writes have put on the line, in order.
std::vector<uint8_t> written();
// What the port's user did that the real system would not survive.
std::vector<std::string> faults();

}  // namespace serialised_port

#endif  // TESTS_SERIAL_SERIALISED_PORT_H
