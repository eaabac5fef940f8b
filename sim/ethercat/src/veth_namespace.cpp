#include "ethercat_sim/veth_namespace.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace ecat_sim {

namespace {

// Runs `ip` with the arguments; the child inherits the calling thread's
// network namespace.
bool run_ip(const std::vector<const char*>& args, std::string* why) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("ip"));
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    *why = std::string("cannot run 'ip' (iproute2): ") + std::strerror(rc);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = "'ip";
    for (const char* a : args) *why += std::string(" ") + a;
    *why += "' failed inside the test's network namespace";
    return false;
  }
  return true;
}

}  // namespace

VethNamespace::~VethNamespace() {
  if (ns_fd_ >= 0) close(ns_fd_);
}

bool VethNamespace::create(std::string* why) {
  std::string reason;
  int fd = -1;
  // unshare() moves only the calling thread; a helper thread keeps the test's
  // own threads in their namespace.
  std::thread helper([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      reason = std::string("cannot create a network namespace (needs root or CAP_SYS_ADMIN): ") +
               std::strerror(errno);
      return;
    }
    fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      reason = std::string("cannot open /proc/thread-self/ns/net: ") + std::strerror(errno);
      return;
    }
    if (!run_ip({"link", "add", "ecm0", "type", "veth", "peer", "name", "ecs0"}, &reason) ||
        !run_ip({"link", "set", "ecm0", "up"}, &reason) || !run_ip({"link", "set", "ecs0", "up"}, &reason)) {
      close(fd);
      fd = -1;
    }
  });
  helper.join();
  if (fd < 0) {
    if (why != nullptr) *why = reason;
    return false;
  }
  ns_fd_ = fd;
  return true;
}

bool VethNamespace::set_link(const char* ifname, bool up) const {
  bool ok = false;
  std::string why;
  run_inside([&] { ok = run_ip({"link", "set", ifname, up ? "up" : "down"}, &why); });
  return ok;
}

void VethNamespace::run_inside(const std::function<void()>& fn) const {
  std::thread t([&] {
    if (setns(ns_fd_, CLONE_NEWNET) != 0) return;  // the callee's sockets then fail to open
    fn();
  });
  t.join();
}

}  // namespace ecat_sim
