#include "ethercat_sim/sim_bus.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>

#include "le_bytes.h"

namespace ecat_sim {

namespace {
const uint16_t kEtherType = 0x88A4;
const size_t kMaxFrame = 1514;
// Low real-time priority: above every ordinary thread, below the kernel's own.
const int kBusThreadPriority = 10;

// A slave controller answers in hardware, within microseconds, however busy
// the host is. A bus thread that shares a loaded machine with ordinary
// threads is often not scheduled for tens of milliseconds (80 ms and more
// measured with 20 runnable threads on 8 cores), far beyond the 2 ms a
// master gives a frame and the 20 ms it gives a configuration access: a
// master that is right would then fail on a slave that merely sat in a run
// queue. Where the process may (root or CAP_SYS_NICE), the bus thread runs
// under a real-time policy and answers as soon as a frame arrives; it
// blocks in poll() between frames. Elsewhere it keeps the default policy.
bool answer_like_hardware() {
  sched_param p{};
  p.sched_priority = kBusThreadPriority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}
}  // namespace

SimBus::SimBus(const std::vector<SlaveConfig>& slaves) {
  for (size_t i = 0; i < slaves.size(); ++i) slaves_.emplace_back(slaves[i], i + 1 == slaves.size());
}

SimBus::~SimBus() { stop(); }

bool SimBus::start(const char* ifname) {
  if (running_.load() || ifname == nullptr) return false;
  const unsigned index = if_nametoindex(ifname);
  if (index == 0) return false;
  const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
  if (fd < 0) return false;
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(kEtherType);
  addr.sll_ifindex = static_cast<int>(index);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  wake_fd_ = wake;
  running_.store(true);
  // Return only once the thread runs at its final priority, as a slave is
  // powered up before its master starts: a new thread can otherwise sit in
  // a busy machine's run queue while the master's first accesses time out.
  std::promise<void> up;
  std::future<void> is_up = up.get_future();
  thread_ = std::thread([this, &up] {
    realtime_.store(answer_like_hardware());
    up.set_value();
    run();
  });
  is_up.wait();
  return true;
}

void SimBus::stop() {
  if (thread_.joinable()) {
    running_.store(false);
    const uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
      // The eventfd cannot be full here; the thread also checks running_ on each wake-up.
    }
    thread_.join();
  }
  running_.store(false);
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  fd_ = -1;
  wake_fd_ = -1;
}

void SimBus::run() {
  uint8_t frame[kMaxFrame];
  while (running_.load()) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int r = ::poll(p, 2, 5);
    if (r < 0 && errno != EINTR) break;
    {
      std::lock_guard<std::mutex> g(lock_);
      for (EscModel& s : slaves_) s.tick();
    }
    if (r <= 0 || (p[0].revents & POLLIN) == 0) continue;
    const ssize_t n = ::recv(fd_, frame, sizeof frame, MSG_DONTWAIT);
    if (n <= 0) continue;
    if (silent_.load()) continue;
    bool logical = false;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!process_frame(slaves_, frame, static_cast<size_t>(n), &logical)) continue;
    }
    if (logical && wkc_frames_.load() > 0) {
      wkc_frames_.fetch_sub(1);
      // The first datagram's working counter sits right after its data.
      const uint16_t dlen = le16(frame + 16 + 6) & 0x07FF;
      uint8_t* w = frame + 16 + 10 + dlen;
      set_le16(w, static_cast<uint16_t>(le16(w) + wkc_delta_.load()));
    }
    if (garbage_frames_.load() > 0) {
      garbage_frames_.fetch_sub(1);
      send_garbage(frame, static_cast<size_t>(n));
    }
    if (delay_frames_.load() > 0) {
      delay_frames_.fetch_sub(1);
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us_.load()));
    }
    if (::send(fd_, frame, static_cast<size_t>(n), 0) == n) answered_.fetch_add(1);
  }
}

// Malformed or foreign frames of EtherType 0x88A4, each derived from the
// real reply so that it looks close to what the master waits for.
void SimBus::send_garbage(const uint8_t* reply, size_t len) {
  uint8_t g[kMaxFrame];
  for (int variant = 0; variant < 8; ++variant) {
    std::memcpy(g, reply, len);
    size_t glen = len;
    garbage_seed_ = garbage_seed_ * 1103515245u + 12345u;
    const uint32_t rnd = garbage_seed_ >> 8;
    switch (variant) {
      case 0:  // random bytes behind a valid Ethernet header
        glen = 14 + rnd % 80;
        for (size_t i = 14; i < glen; ++i) g[i] = static_cast<uint8_t>((rnd >> (i % 16)) ^ (i * 37));
        break;
      case 1: glen = 16 + rnd % (len > 17 ? len - 17 : 1); break;  // truncated
      case 2: g[17] = static_cast<uint8_t>(g[17] + 1); break;      // another index: a stale reply
      case 3: set_le16(g + 22, static_cast<uint16_t>(0x07FF | (le16(g + 22) & 0xF800))); break;  // datagram too long
      case 4: set_le16(g + 14, static_cast<uint16_t>((le16(g + 14) & 0x0FFF) | 0x2000)); break;  // not commands
      case 5: set_le16(g + 22, static_cast<uint16_t>(le16(g + 22) | 0x8000)); break;  // claims a next datagram
      case 6: g[6] = static_cast<uint8_t>(g[6] & ~0x02); break;  // did not pass a slave: our own frame
      case 7: set_le16(g + 14, static_cast<uint16_t>(le16(g + 14) | 0x07FF)); break;  // header length too long
    }
    if (glen < 14) glen = 14;
    if (::send(fd_, g, glen, 0) == static_cast<ssize_t>(glen)) garbage_sent_.fetch_add(1);
  }
}

void SimBus::set_silent(bool silent) { silent_.store(silent); }
void SimBus::corrupt_wkc(int frames, int delta) {
  wkc_delta_.store(delta);
  wkc_frames_.store(frames);
}
void SimBus::garbage_before_reply(int frames) { garbage_frames_.store(frames); }
void SimBus::delay_replies(int frames, int delay_us) {
  delay_us_.store(delay_us);
  delay_frames_.store(frames);
}

EscModel* SimBus::at(int slave) {
  return (slave >= 1 && static_cast<size_t>(slave) <= slaves_.size()) ? &slaves_[static_cast<size_t>(slave) - 1] : nullptr;
}
const EscModel* SimBus::at(int slave) const {
  return (slave >= 1 && static_cast<size_t>(slave) <= slaves_.size()) ? &slaves_[static_cast<size_t>(slave) - 1] : nullptr;
}

void SimBus::drop_to_safe_op(int slave, uint16_t code) {
  std::lock_guard<std::mutex> g(lock_);
  if (EscModel* s = at(slave)) s->drop_to_safe_op(code);
}

void SimBus::abort_uploads(int slave, int uploads, uint32_t code) {
  std::lock_guard<std::mutex> g(lock_);
  if (EscModel* s = at(slave)) s->mailbox().abort_uploads(uploads, code);
}

void SimBus::drop_mailbox_replies(int slave, int replies) {
  std::lock_guard<std::mutex> g(lock_);
  if (EscModel* s = at(slave)) s->mailbox().drop_replies(replies);
}

void SimBus::emergency_before_replies(int slave, int replies) {
  std::lock_guard<std::mutex> g(lock_);
  if (EscModel* s = at(slave)) s->mailbox().emergency_before_replies(replies);
}

uint64_t SimBus::mailbox_requests(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->mailbox().requests() : 0;
}

std::vector<uint8_t> SimBus::outputs(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->applied_outputs() : std::vector<uint8_t>();
}

std::vector<std::vector<uint8_t>> SimBus::output_changes(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->output_changes() : std::vector<std::vector<uint8_t>>();
}

uint64_t SimBus::output_updates(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->output_updates() : 0;
}

void SimBus::set_inputs(int slave, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> g(lock_);
  if (EscModel* s = at(slave)) s->set_inputs(data.data(), data.size());
}

uint16_t SimBus::al_status(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->al_status() : 0;
}

uint16_t SimBus::al_status_code(int slave) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->al_status_code() : 0;
}

uint16_t SimBus::register16(int slave, uint16_t address) const {
  std::lock_guard<std::mutex> g(lock_);
  const EscModel* s = at(slave);
  return s ? s->read16(address) : 0;
}

}  // namespace ecat_sim
