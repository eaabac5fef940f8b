// UUCP lock files: the convention by which Linux serial programs (minicom,
// picocom, screen, gpsd, ModemManager, ...) mark a line as in use, also
// those that take neither flock() nor TIOCEXCL. The lock of /dev/ttyUSB0 is
// <lock dir>/LCK..ttyUSB0 and holds the owner's pid as ten ASCII characters,
// right-aligned, and a line end. A lock whose pid names no live process is
// stale and is removed by the next program that wants the line.
//
// The lock directory is /run/lock, or the directory named by the
// environment variable KITSERIAL_LOCK_DIR (tests, systems that keep their
// locks in /var/lock).
#ifndef KITSERIAL_SRC_UUCP_LOCK_H
#define KITSERIAL_SRC_UUCP_LOCK_H

#include <string>

namespace kitserial {

// The lock file of a device: the path is resolved through symbolic links,
// and what follows "/dev/" names the lock with '/' turned into '_'
// (/dev/pts/3 -> LCK..pts_3).
std::string uucp_lock_path(const std::string& device_path);

// True when a live process, this one included, holds the device's lock.
// A lock file whose content is not a pid counts as held. Removes nothing.
bool uucp_locked(const std::string& device_path);

enum class UucpLock {
  kTaken,        // the lock file now holds our pid: release it when done
  kHeld,         // another live process (or this one) holds the line
  kUnavailable,  // no lock file can be made here (no directory, no write
                 // permission): nobody holds the line; go on without one
};

// Takes the device's lock for this process, removing a stale one first.
// *lock_path gets the lock file's path when the result is kTaken.
UucpLock uucp_lock(const std::string& device_path, std::string* lock_path);

// Removes the lock file if it still holds our pid. Empty path: nothing.
void uucp_unlock(const std::string& lock_path);

}  // namespace kitserial

#endif  // KITSERIAL_SRC_UUCP_LOCK_H
