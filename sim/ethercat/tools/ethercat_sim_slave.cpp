// Runs simulated hand slaves on one end of a veth pair until SIGINT/SIGTERM.
//   unshare -rn sh -c 'ip link add ecm0 type veth peer name ecs0 &&
//     ip link set ecm0 up && ip link set ecs0 up &&
//     (ethercat_sim_slave ecs0 &) && sleep 0.2 && <master program> ecm0'
// Usage: ethercat_sim_slave IFNAME [SLAVES]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ethercat_sim/sim_bus.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IFNAME [SLAVES]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 1;
  if (count < 1 || count > 16) {
    std::fprintf(stderr, "SLAVES must be 1..16\n");
    return 2;
  }
  std::vector<ecat_sim::SlaveConfig> slaves(static_cast<size_t>(count));
  ecat_sim::SimBus bus(slaves);
  if (!bus.start(argv[1])) {
    std::fprintf(stderr, "cannot open %s (needs CAP_NET_RAW and an existing interface)\n", argv[1]);
    return 1;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  while (!g_stop) pause();
  bus.stop();
  return 0;
}
