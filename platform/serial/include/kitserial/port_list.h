// The serial ports a program offers its user, as names that open_exclusive()
// takes unchanged. Two lists, which differ only where the two kinds of
// caller differ:
//
// - list_present_ports: the ports the system has (the demo programs, which
//   let the user pick one and report a failed open).
// - list_openable_ports: the ports that can be opened exclusively right now
//   (the flat library, whose device index counts only ports it can open: a
//   port held by another program, or by an open port of this process, is
//   missing while it is held).
//
// Linux: both come from one scan of /dev: /dev/ttyUSB* (USB serial
// adapters, the usual RS485 converters), /dev/ttyACM* (CDC-ACM devices),
// then the /dev/ttyS* behind which the kernel reports a UART (most ttyS
// nodes are empty slots), each group in ascending number order. The
// openable list keeps the ports a probe finds free (see port_list_linux.cpp).
//
// Windows: present are the REG_SZ values under HKEY_LOCAL_MACHINE
// "HARDWARE\DEVICEMAP\SERIALCOMM" in enumeration order, unchecked; only when
// the key lists none, COM1 to COM256 that a device stands behind (opened
// with access 0). Openable are COM1 to COM20, each opened exclusively and
// closed again, in ascending order; no registry lookup.
//
// Both lists put the ports named by the caller first, in the order given,
// each kept when it passes the list's own check (present: a character
// device, or a COM device that exists; openable: the probe); a name appears
// once, at its first place. Either list may be empty. Any thread.
#ifndef KITSERIAL_PORT_LIST_H
#define KITSERIAL_PORT_LIST_H

#include <string>
#include <vector>

namespace kitserial {

std::vector<std::string> list_present_ports(const std::vector<std::string>& named = {});

std::vector<std::string> list_openable_ports(const std::vector<std::string>& named = {});

}  // namespace kitserial

#endif  // KITSERIAL_PORT_LIST_H
