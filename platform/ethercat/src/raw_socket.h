// The NIC layer: sends and receives whole Ethernet frames of EtherType 0x88A4
// on one interface. One backend per platform: a Linux packet socket
// (raw_socket.cpp) or a wpcap capture handle on Windows (raw_socket_wpcap.cpp).
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

  // Opens and binds to `ifname` in the calling thread's network namespace
  // (on Windows: a wpcap adapter name). False without CAP_NET_RAW (without
  // wpcap.dll), for an unknown interface or a null name.
  bool open(const char* ifname);
  void close();
  bool is_open() const { return fd_ >= 0 || capture_ != nullptr; }

  // Sends one whole frame; true when the kernel took all of it.
  bool send(const uint8_t* frame, size_t len);

  // Waits until `deadline_ns` (monotonic_ns()) for one incoming frame.
  // Returns its length (at most `cap`; longer frames are cut, so the parser
  // sees a mismatch), 0 on timeout, -1 on a socket error. Frames this host
  // sent are skipped.
  long receive(uint8_t* buf, size_t cap, int64_t deadline_ns);

  // Drops every frame already queued, without waiting. Returns how many.
  int drain();

 private:
  int fd_ = -1;               // Linux: the packet socket
  void* capture_ = nullptr;   // Windows: the wpcap capture handle
};

// A monotonic clock in nanoseconds (CLOCK_MONOTONIC; the performance counter
// on Windows).
int64_t monotonic_ns();

}  // namespace ecat

#endif
