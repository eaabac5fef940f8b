// A NIC layer without raw Ethernet: no adapter is listed and no port opens,
// so the master reports that it found no slave. Stands in on Windows until
// the packet-capture backend is built there.
#include <chrono>
#include <thread>

#include "ethercat/master.h"
#include "raw_socket.h"

namespace ecat {

int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool RawSocket::open(const char*) { return false; }
void RawSocket::close() { fd_ = -1; }
bool RawSocket::send(const uint8_t*, size_t) { return false; }
long RawSocket::receive(uint8_t*, size_t, int64_t) { return -1; }
int RawSocket::drain() { return 0; }

std::vector<Adapter> list_adapters() { return {}; }

int sleep_us(int us) {
  if (us < 0) return -1;
  std::this_thread::sleep_for(std::chrono::microseconds(us));
  return 0;
}

}  // namespace ecat
