// sim_hand_pty: simulated hands on an RS485 line behind a pseudo-terminal,
// for running rs485_demo and rs485_bus_demo without hardware.
//
//   sim_hand_pty [--link PATH] [--nodes 1|2] [--model-code 5|6] [--seconds N]
//
// Prints the slave device path (and makes PATH a symbolic link to it), then
// answers as the simulated hand(s) until SIGINT or SIGTERM, or for N seconds.
// --nodes 2 puts hands with node ids 1 and 2 on the line (rs485_bus_demo).
// The hands are simulated: no hardware is involved.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "pty_hand.h"

namespace {

void usage() {
  std::cerr << "usage: sim_hand_pty [--link PATH] [--nodes 1|2] [--model-code 5|6] [--seconds N]" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link;
  int nodes = 1;
  int model_code = 6;
  long seconds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    std::string v = argv[++i];
    if (a == "--link") {
      link = v;
    } else if (a == "--nodes") {
      nodes = std::atoi(v.c_str());
    } else if (a == "--model-code") {
      model_code = std::atoi(v.c_str());
    } else if (a == "--seconds") {
      seconds = std::atol(v.c_str());
    } else {
      usage();
      return 2;
    }
  }
  if (nodes < 1 || nodes > 2 || (model_code != 5 && model_code != 6) || seconds < 0) {
    usage();
    return 2;
  }

  // Signals are taken synchronously below, never by a handler.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::vector<uint8_t> ids = {1};
  if (nodes == 2) ids.push_back(2);
  demos::PtyHand hand(ids, static_cast<uint16_t>(model_code));
  if (!hand.start()) {
    std::cerr << "sim_hand_pty: " << hand.error() << std::endl;
    return 1;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(hand.slave_path().c_str(), link.c_str()) != 0) {
      std::cerr << "sim_hand_pty: cannot create link " << link << ": " << std::strerror(errno) << std::endl;
      return 1;
    }
  }
  std::cout << "SIMULATED hand" << (nodes == 2 ? "s (node ids 1 and 2)" : " (node id 1)")
            << ", model code " << model_code << ", on " << hand.slave_path()
            << (link.empty() ? "" : " (link " + link + ")") << std::endl;

  timespec wait{1, 0};
  for (long waited = 0; seconds == 0 || waited < seconds; ++waited) {
    if (sigtimedwait(&set, nullptr, &wait) > 0) break;
  }
  hand.stop();
  if (!link.empty()) ::unlink(link.c_str());
  std::cout << "Simulated hand stopped; " << hand.bytes_from_host() << " bytes came from the host." << std::endl;
  return 0;
}
