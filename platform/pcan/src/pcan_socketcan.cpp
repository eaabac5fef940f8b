// SocketCAN backend: handle 0x51 + n is interface can<n> (n 0..7), 0x509
// and 0x50A are can8 and can9. Each open channel has one reader thread that
// the port joins when it closes.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "backend.h"

namespace kitpcan {
namespace {

std::string interface_of(uint16_t handle) {
  if (handle >= 0x51 && handle <= 0x58) return "can" + std::to_string(handle - 0x51);
  if (handle == 0x509) return "can8";
  if (handle == 0x50A) return "can9";
  return std::string();
}

class SocketPort : public Port {
 public:
  SocketPort(int fd, FrameSink sink) : fd_(fd), sink_(std::move(sink)) {
    running_.store(true);
    reader_ = std::thread(&SocketPort::run, this);
  }
  ~SocketPort() override { close(); }

  bool write(const Frame& f) override {
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (fd_ < 0) return false;
    can_frame cf;
    std::memset(&cf, 0, sizeof cf);
    cf.can_id = f.extended ? ((f.id & CAN_EFF_MASK) | CAN_EFF_FLAG) : (f.id & CAN_SFF_MASK);
    cf.can_dlc = f.len > 8 ? 8 : f.len;
    std::memcpy(cf.data, f.data, cf.can_dlc);
    ssize_t n;
    do {
      n = ::write(fd_, &cf, sizeof cf);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof cf);
  }

  void close() override {
    if (!running_.exchange(false)) return;
    if (reader_.joinable()) reader_.join();
    std::lock_guard<std::mutex> lock(write_mutex_);  // no write in flight on the closed descriptor
    ::close(fd_);
    fd_ = -1;
  }

 private:
  void run() {
    const int fd = fd_;  // fixed until close() has joined this thread
    while (running_.load()) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, 20);
      if (r <= 0 || !(p.revents & POLLIN)) continue;
      can_frame cf;
      ssize_t n = ::read(fd, &cf, sizeof cf);
      // Only complete data frames; error and remote frames are not messages.
      if (n != static_cast<ssize_t>(sizeof cf) || (cf.can_id & (CAN_ERR_FLAG | CAN_RTR_FLAG))) continue;
      Frame f;
      f.extended = (cf.can_id & CAN_EFF_FLAG) != 0;
      f.id = cf.can_id & (f.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
      f.len = cf.can_dlc > 8 ? 8 : cf.can_dlc;
      std::memcpy(f.data, cf.data, f.len);
      sink_(f);
    }
  }

  int fd_;
  FrameSink sink_;
  std::atomic<bool> running_{false};
  std::mutex write_mutex_;
  std::thread reader_;
};

class SocketCanBackend : public Backend {
 public:
  bool channel_name(uint16_t handle, std::string* name) override {
    std::string ifname = interface_of(handle);
    if (ifname.empty() || ::if_nametoindex(ifname.c_str()) == 0) return false;
    *name = ifname + " (SocketCAN)";
    return true;
  }

  std::unique_ptr<Port> open(uint16_t handle, uint16_t, FrameSink sink) override {
    std::string ifname = interface_of(handle);
    unsigned index = ifname.empty() ? 0 : ::if_nametoindex(ifname.c_str());
    if (index == 0) return nullptr;
    int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return nullptr;
    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return nullptr;
    }
    return std::unique_ptr<Port>(new SocketPort(fd, std::move(sink)));
  }
};

}  // namespace

Backend& backend() {
  static SocketCanBackend b;
  return b;
}

}  // namespace kitpcan
