#include "raw_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "frame_codec.h"

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

namespace ecat {

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool RawSocket::open(const char* ifname) {
  close();
  if (ifname == nullptr || ifname[0] == '\0' || std::strlen(ifname) >= IF_NAMESIZE) return false;
  const unsigned index = if_nametoindex(ifname);
  if (index == 0) return false;
  const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherTypeEcat));
  if (fd < 0) return false;
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(kEtherTypeEcat);
  addr.sll_ifindex = static_cast<int>(index);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  // The kernel never loops a socket's own frames back to it; this also keeps
  // other local senders' outgoing frames away (Linux >= 4.20, optional).
  const int one = 1;
  (void)setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  fd_ = fd;
  drain();
  return true;
}

void RawSocket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool RawSocket::send(const uint8_t* frame, size_t len) {
  if (fd_ < 0) return false;
  for (;;) {
    const ssize_t n = ::send(fd_, frame, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == static_cast<ssize_t>(len);
  }
}

long RawSocket::receive(uint8_t* buf, size_t cap, int64_t deadline_ns) {
  if (fd_ < 0) return -1;
  for (;;) {
    sockaddr_ll from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                 &from_len);
    if (n >= 0) {
      if (from.sll_pkttype == PACKET_OUTGOING) continue;
      return static_cast<long>(n);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const int64_t left_ns = deadline_ns - monotonic_ns();
    if (left_ns <= 0) return 0;
    pollfd pfd{fd_, POLLIN, 0};
    timespec ts{static_cast<time_t>(left_ns / 1000000000LL), static_cast<long>(left_ns % 1000000000LL)};
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return -1;
    if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL)) != 0) return -1;
  }
}

int RawSocket::drain() {
  if (fd_ < 0) return 0;
  uint8_t scratch[kMaxFrameBytes];
  int count = 0;
  for (;;) {
    const ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return count;
    }
    ++count;
  }
}

}  // namespace ecat
