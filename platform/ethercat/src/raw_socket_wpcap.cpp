// The NIC layer on Windows: a wpcap capture handle on one adapter. Captures
// only EtherType 0x88A4 where the library can compile a filter, hands each
// packet over at once where it allows, and skips the frames the master sent
// itself (wpcap also captures those, unlike the Linux socket).
#include <windows.h>

#include <cstring>

#include "frame_codec.h"
#include "raw_socket.h"
#include "wpcap_api.h"

namespace ecat {
namespace {

// The capture waits at most this long inside one library call, so receive()
// looks at its deadline at least every millisecond.
constexpr int kCaptureTimeoutMs = 1;
constexpr int kSnapBytes = 65536;

wpcap::Capture* as_capture(void* p) { return static_cast<wpcap::Capture*>(p); }

// Frames whose source address is the master's own are ours, looped back by
// the capture.
bool sent_by_master(const uint8_t* frame, uint32_t len) {
  return len >= kEthHeaderBytes && std::memcmp(frame + 6, kMasterMac, 6) == 0;
}

}  // namespace

int64_t monotonic_ns() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t ticks = static_cast<int64_t>(now.QuadPart);
  // Split so the product cannot overflow for counters running at 10 MHz and more.
  return (ticks / frequency) * 1000000000LL + (ticks % frequency) * 1000000000LL / frequency;
}

bool RawSocket::open(const char* ifname) {
  close();
  const wpcap::Api* pcap = wpcap::api();
  if (pcap == nullptr || ifname == nullptr || ifname[0] == '\0') return false;
  char errbuf[wpcap::kErrorBufferBytes] = {0};
  wpcap::Capture* p = pcap->open_live(ifname, kSnapBytes, 1, kCaptureTimeoutMs, errbuf);
  if (p == nullptr) return false;
  if (pcap->setmintocopy != nullptr) (void)pcap->setmintocopy(p, 0);
  if (pcap->compile != nullptr && pcap->setfilter != nullptr) {
    wpcap::FilterProgram program{};
    if (pcap->compile(p, &program, "ether proto 0x88a4", 1, 0xFFFFFFFFu) == 0) {
      (void)pcap->setfilter(p, &program);
      if (pcap->freecode != nullptr) pcap->freecode(&program);
    }
  }
  capture_ = p;
  drain();
  return true;
}

void RawSocket::close() {
  if (capture_ != nullptr) {
    wpcap::api()->close(as_capture(capture_));
    capture_ = nullptr;
  }
}

bool RawSocket::send(const uint8_t* frame, size_t len) {
  if (capture_ == nullptr || len > kMaxFrameBytes) return false;
  return wpcap::api()->sendpacket(as_capture(capture_), frame, static_cast<int>(len)) == 0;
}

long RawSocket::receive(uint8_t* buf, size_t cap, int64_t deadline_ns) {
  if (capture_ == nullptr) return -1;
  const wpcap::Api* pcap = wpcap::api();
  for (;;) {
    wpcap::PacketHeader* header = nullptr;
    const uint8_t* data = nullptr;
    const int r = pcap->next_ex(as_capture(capture_), &header, &data);
    if (r < 0) return -1;
    if (r == 1 && header != nullptr && data != nullptr) {
      const uint32_t got = header->caplen;
      if (sent_by_master(data, got)) continue;
      const size_t n = got < cap ? got : cap;
      std::memcpy(buf, data, n);
      return static_cast<long>(n);
    }
    if (monotonic_ns() >= deadline_ns) return 0;
  }
}

int RawSocket::drain() {
  if (capture_ == nullptr) return 0;
  const wpcap::Api* pcap = wpcap::api();
  char errbuf[wpcap::kErrorBufferBytes] = {0};
  wpcap::Capture* p = as_capture(capture_);
  const bool nonblocking = pcap->setnonblock(p, 1, errbuf) == 0;
  int count = 0;
  const int64_t end_ns = monotonic_ns() + 5000000;  // bounded even if the mode did not change
  for (;;) {
    wpcap::PacketHeader* header = nullptr;
    const uint8_t* data = nullptr;
    if (pcap->next_ex(p, &header, &data) != 1) break;
    if (header != nullptr && data != nullptr && !sent_by_master(data, header->caplen)) ++count;
    if (!nonblocking && monotonic_ns() >= end_ns) break;
  }
  if (nonblocking) (void)pcap->setnonblock(p, 0, errbuf);
  return count;
}

}  // namespace ecat
