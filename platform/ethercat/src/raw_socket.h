// The NIC layer: a Linux packet socket that sends and receives whole Ethernet
// frames of EtherType 0x88A4 on one interface.
#ifndef ETHERCAT_RAW_SOCKET_H
#define ETHERCAT_RAW_SOCKET_H

#include <cstddef>
#include <cstdint>

namespace ecat {

class RawSocket {
 public:
  RawSocket() = default;
  ~RawSocket() { close(); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  // Opens and binds to `ifname` in the calling thread's network namespace.
  // False without CAP_NET_RAW, for an unknown interface or a null name.
  bool open(const char* ifname);
  void close();
  bool is_open() const { return fd_ >= 0; }

  // Sends one whole frame; true when the kernel took all of it.
  bool send(const uint8_t* frame, size_t len);

  // Waits until `deadline_ns` (CLOCK_MONOTONIC) for one incoming frame.
  // Returns its length (at most `cap`; longer frames are cut, so the parser
  // sees a mismatch), 0 on timeout, -1 on a socket error. Frames this host
  // sent are skipped.
  long receive(uint8_t* buf, size_t cap, int64_t deadline_ns);

  // Drops every frame already queued, without waiting. Returns how many.
  int drain();

 private:
  int fd_ = -1;
};

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonic_ns();

}  // namespace ecat

#endif
