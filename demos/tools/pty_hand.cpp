#include "pty_hand.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace demos {

PtyHand::PtyHand(const std::vector<uint8_t>& node_ids, uint16_t model_code) {
  line_.reset(new simhand::SimRs485Line([this](const uint8_t* d, size_t n) { write_reply(d, n); }));
  for (uint8_t id : node_ids) {
    auto model = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(model_code, id));
    models_.push_back(model);
    line_->add_hand(model);
  }
}

PtyHand::~PtyHand() { stop(); }

bool PtyHand::start() {
  if (running_.load()) return true;
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
    stop();
    return false;
  }
  char name[128] = {};
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    error_ = "ptsname failed";
    stop();
    return false;
  }
  slave_path_ = name;
  // Raw from the start: no echo of the host's bytes back to it, no CR/LF
  // translation, whatever the program under test does with the settings.
  slave_keep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_ >= 0) {
    termios tio{};
    if (::tcgetattr(slave_keep_, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(slave_keep_, TCSANOW, &tio);
    }
  }
  // Replies are dropped rather than blocking when nobody reads the slave.
  int flags = ::fcntl(master_, F_GETFL);
  if (flags >= 0) ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  running_.store(true);
  reader_ = std::thread(&PtyHand::run, this);
  return true;
}

void PtyHand::stop() {
  running_.store(false);
  if (reader_.joinable()) reader_.join();
  if (slave_keep_ >= 0) ::close(slave_keep_);
  if (master_ >= 0) ::close(master_);
  slave_keep_ = master_ = -1;
}

void PtyHand::run() {
  uint8_t buffer[1024];
  while (running_.load()) {
    pollfd p{master_, POLLIN, 0};
    int r = ::poll(&p, 1, 20);
    if (r <= 0 || !(p.revents & POLLIN)) continue;
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      bytes_in_.fetch_add(static_cast<uint64_t>(n));
      line_->on_host_bytes(buffer, static_cast<size_t>(n));
    }
  }
}

void PtyHand::write_reply(const uint8_t* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(master_, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // full or gone: the reply is lost, as on a wire
    data += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace demos
