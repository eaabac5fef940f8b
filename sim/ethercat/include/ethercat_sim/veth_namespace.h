// A private network namespace holding one veth pair, for EtherCAT tests and
// benchmarks.
//
// create() unshares a new network namespace on a short-lived helper thread,
// keeps a descriptor to it and creates the pair "ecm0" (master side) and
// "ecs0" (slave side) inside, both up. Nothing outside the namespace sees
// them. Sockets opened through run_inside() belong to the namespace and keep
// working from any thread. When the object and every socket are gone, the
// kernel removes the namespace with its veth pair, also after a crash.
#ifndef ETHERCAT_SIM_VETH_NAMESPACE_H
#define ETHERCAT_SIM_VETH_NAMESPACE_H

#include <functional>
#include <string>

namespace ecat_sim {

class VethNamespace {
 public:
  VethNamespace() = default;
  ~VethNamespace();
  VethNamespace(const VethNamespace&) = delete;
  VethNamespace& operator=(const VethNamespace&) = delete;

  // False, with the reason in `why`, when the machine does not allow it.
  bool create(std::string* why);

  // Runs `fn` on a thread that has joined the namespace, and waits for it.
  void run_inside(const std::function<void()>& fn) const;

  // Sets an interface of the namespace up or down (a pulled cable). False
  // when `ip` failed.
  bool set_link(const char* ifname, bool up) const;

  static const char* master_if() { return "ecm0"; }
  static const char* slave_if() { return "ecs0"; }

 private:
  int ns_fd_ = -1;
};

}  // namespace ecat_sim

#endif
