// UUCP lock files (see uucp_lock.h). Every failure of the file system is
// mapped here to one of the three outcomes; errno goes no further.
#include "uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace kitserial {
namespace {

const char kDefaultLockDir[] = "/run/lock";
const char kLockDirVariable[] = "KITSERIAL_LOCK_DIR";
// A stale lock is removed and the create retried; another program doing the
// same at that moment may win the line, after which we give up.
const int kCreateAttempts = 3;

std::string lock_dir() {
  const char* dir = std::getenv(kLockDirVariable);
  return (dir != nullptr && dir[0] != '\0') ? dir : kDefaultLockDir;
}

enum class Owner { kNone, kLive, kDead };

// The pid in a lock file: "%10d\n" by convention, so blanks may lead and a
// line end follows. 0 when the text is no pid (still being written by its
// creator, or another format): the caller treats that as held.
long lock_pid(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || pid <= 0 || pid > INT_MAX) return 0;
  for (; *end != '\0'; ++end) {
    if (*end != '\n' && *end != ' ' && *end != '\r') return 0;
  }
  return pid;
}

// Who holds the lock file at lock_path; *pid gets the pid read (0 if none).
Owner lock_owner(const std::string& lock_path, long* pid) {
  *pid = 0;
  const int fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? Owner::kNone : Owner::kLive;
  char text[32];
  ssize_t n;
  do {
    n = ::read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return Owner::kLive;
  text[n] = '\0';
  *pid = lock_pid(text);
  if (*pid == 0) return Owner::kLive;
  // EPERM: the process exists but belongs to another user.
  if (::kill(static_cast<pid_t>(*pid), 0) == 0 || errno != ESRCH) return Owner::kLive;
  return Owner::kDead;
}

}  // namespace

std::string uucp_lock_path(const std::string& device_path) {
  std::string device = device_path;
  if (char* resolved = ::realpath(device_path.c_str(), nullptr)) {
    device = resolved;
    std::free(resolved);
  }
  const std::string dev_prefix = "/dev/";
  std::string name;
  if (device.compare(0, dev_prefix.size(), dev_prefix) == 0) {
    name = device.substr(dev_prefix.size());
  } else {
    const size_t slash = device.rfind('/');
    name = slash == std::string::npos ? device : device.substr(slash + 1);
  }
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return lock_dir() + "/LCK.." + name;
}

bool uucp_locked(const std::string& device_path) {
  long pid = 0;
  return lock_owner(uucp_lock_path(device_path), &pid) == Owner::kLive;
}

UucpLock uucp_lock(const std::string& device_path, std::string* lock_path) {
  const std::string path = uucp_lock_path(device_path);
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    long pid = 0;
    const Owner owner = lock_owner(path, &pid);
    if (owner == Owner::kLive) return UucpLock::kHeld;
    if (owner == Owner::kDead && ::unlink(path.c_str()) != 0 && errno != ENOENT) return UucpLock::kHeld;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;  // someone was quicker: look again
      return UucpLock::kUnavailable;
    }
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    const bool written = len > 0 && ::write(fd, text, static_cast<size_t>(len)) == len;
    ::close(fd);
    if (!written) {  // a full file system: a lock without a pid would block the line for good
      ::unlink(path.c_str());
      return UucpLock::kUnavailable;
    }
    if (lock_path) *lock_path = path;
    return UucpLock::kTaken;
  }
  return UucpLock::kHeld;
}

void uucp_unlock(const std::string& lock_path) {
  if (lock_path.empty()) return;
  long pid = 0;
  lock_owner(lock_path, &pid);
  if (pid == static_cast<long>(::getpid())) ::unlink(lock_path.c_str());
}

}  // namespace kitserial
