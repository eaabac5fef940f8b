// A pseudo-terminal with a minimal hand on its master side, for the RS485
// path of the flat library: the library opens the slave side as its serial
// port; the hand thread reads the host's frames, answers parameter reads with
// 'X' frames and status polls with 'H' frames, and records every frame.
// The CRC here is written out independently of the hand library.
#ifndef TESTS_FLATLIB_PTY_HAND_H
#define TESTS_FLATLIB_PTY_HAND_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wait_for.h"

namespace flatlib_test {

inline uint16_t modbus_crc(const uint8_t* p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

inline bool crc_ok(const std::vector<uint8_t>& f) {
  if (f.size() < 4) return false;
  const uint16_t c = modbus_crc(f.data(), f.size() - 2);
  return f[f.size() - 2] == (c & 0xFF) && f[f.size() - 1] == (c >> 8);
}

inline void append_crc(std::vector<uint8_t>& f) {
  const uint16_t c = modbus_crc(f.data(), f.size());
  f.push_back(static_cast<uint8_t>(c & 0xFF));
  f.push_back(static_cast<uint8_t>(c >> 8));
}

class Pty {
 public:
  Pty() {
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    slave_name_ = name;
    // The library opens the slave itself; ours would only hold it.
    ::close(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { close_master(); }
  bool ok() const { return master_ >= 0; }
  int master() const { return master_; }
  const std::string& slave_name() const { return slave_name_; }
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_name_;
};

// The hand on the master side of a pty.
class PtyHand {
 public:
  explicit PtyHand(int master_fd, uint8_t node_id = 1) : fd_(master_fd), node_(node_id) {
    // Identity as a 6-joint RS485 hand of type 1 would report it.
    params_[{0x200E, 29}] = 5;    // model code
    params_[{0x200E, 30}] = 123;  // firmware version x 100
    params_[{0x2030, 5}] = 1;     // hand direction code
    for (int d = 0; d < 6; ++d) params_[{static_cast<uint16_t>(0x2030 + 0x40 * d), 6}] = static_cast<uint16_t>(d + 1);
  }
  ~PtyHand() { stop(); }

  void start() {
    running_ = true;
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  void set_silent(bool s) { silent_ = s; }
  // Polls go unanswered; parameter reads are still answered.
  void set_answers_polls(bool a) { answers_polls_ = a; }
  // Bytes put on the line in front of every reply (line noise at each turn).
  void set_stray_before_replies(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> l(mutex_);
    stray_ = std::move(bytes);
  }
  void set_param(uint16_t index, uint8_t sub, uint16_t value) {
    std::lock_guard<std::mutex> l(mutex_);
    params_[{index, sub}] = value;
  }
  void set_position(int joint, uint16_t pos) {
    std::lock_guard<std::mutex> l(mutex_);
    positions_[joint] = pos;
  }

  std::vector<std::vector<uint8_t>> frames() const {
    std::lock_guard<std::mutex> l(mutex_);
    return frames_;
  }
  size_t polls() const { return polls_.load(); }
  size_t param_reads() const { return param_reads_.load(); }
  size_t crc_errors() const { return crc_errors_.load(); }

 private:
  void run() {
    std::vector<uint8_t> buf;
    uint8_t chunk[512];
    while (running_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5) <= 0) continue;
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) continue;
      buf.insert(buf.end(), chunk, chunk + n);
      parse(buf);
    }
  }

  // Host frames: 0x50 polls (6 bytes) or commands (68), 0x60 parameter
  // requests (12). Anything that does not check out loses its first byte.
  void parse(std::vector<uint8_t>& buf) {
    for (;;) {
      if (buf.size() < 6) return;
      size_t len = 0;
      bool need_more = false;
      const size_t candidates_50[] = {6, 68};
      const size_t candidates_60[] = {12};
      const size_t* c = nullptr;
      size_t nc = 0;
      if (buf[0] == 0x50) {
        c = candidates_50;
        nc = 2;
      } else if (buf[0] == 0x60) {
        c = candidates_60;
        nc = 1;
      }
      for (size_t i = 0; i < nc; ++i) {
        if (buf.size() < c[i]) {
          need_more = true;
          break;
        }
        std::vector<uint8_t> f(buf.begin(), buf.begin() + static_cast<long>(c[i]));
        if (crc_ok(f)) {
          len = c[i];
          break;
        }
      }
      if (len == 0) {
        if (need_more) return;
        if (nc) crc_errors_++;
        buf.erase(buf.begin());
        continue;
      }
      std::vector<uint8_t> f(buf.begin(), buf.begin() + static_cast<long>(len));
      buf.erase(buf.begin(), buf.begin() + static_cast<long>(len));
      {
        std::lock_guard<std::mutex> l(mutex_);
        frames_.push_back(f);
      }
      if (f[1] == node_ && !silent_) answer(f);
    }
  }

  bool write_all(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) return false;
      }
    }
    return true;
  }

  bool is_poll(const std::vector<uint8_t>& f) const {
    return f[0] == 0x50 && f.size() == 6 && (f[2] == 0xD0 || f[2] == 0xDA);
  }

  void answer(const std::vector<uint8_t>& f) {
    if (is_poll(f) && !answers_polls_) return;
    std::vector<uint8_t> r;
    if (f[0] == 0x60 && f[2] == 0x40) {
      param_reads_++;
      const uint16_t index = static_cast<uint16_t>(f[3] | f[4] << 8);
      const uint8_t sub = f[5];
      uint16_t v = 0;
      {
        std::lock_guard<std::mutex> l(mutex_);
        auto it = params_.find({index, sub});
        if (it != params_.end()) v = it->second;
      }
      r = {'X', node_, 0x4B, f[3], f[4], sub, static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8), 0, 0};
    } else if (f[0] == 0x50 && f.size() == 6 && f[2] == 0xD0) {
      polls_++;
      // [code, D, 6 items of position/velocity/current, 6 status bytes]
      r = {'H', node_, 0xD0, 42};
      std::lock_guard<std::mutex> l(mutex_);
      for (int j = 0; j < 6; ++j) {
        const uint16_t pos = positions_.count(j + 1) ? positions_[j + 1] : 0;
        const uint8_t item[6] = {static_cast<uint8_t>(pos & 0xFF), static_cast<uint8_t>(pos >> 8), 0, 0,
                                 static_cast<uint8_t>(10 * (j + 1)), 0};
        r.insert(r.end(), item, item + 6);
      }
      for (int j = 0; j < 6; ++j) r.push_back(0x31);
    } else if (f[0] == 0x50 && f.size() == 6 && f[2] == 0xDA) {
      polls_++;
      r = {'H', node_, 0xDA, 12};
      for (int j = 0; j < 6; ++j) {
        r.push_back(0x31);
        r.push_back(0x00);
      }
    } else {
      return;  // commands get no reply
    }
    append_crc(r);
    std::vector<uint8_t> stray;
    {
      std::lock_guard<std::mutex> l(mutex_);
      stray = stray_;
    }
    if (!stray.empty() && !write_all(stray)) return;
    write_all(r);
  }

  int fd_;
  uint8_t node_;
  std::atomic<bool> running_{false};
  std::atomic<bool> silent_{false};
  std::atomic<bool> answers_polls_{true};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> frames_;
  std::map<int, uint16_t> positions_;
  std::map<std::pair<uint16_t, uint8_t>, uint16_t> params_;  // guarded by mutex_ (set before start() or through set_param)
  std::vector<uint8_t> stray_;                               // guarded by mutex_
  std::atomic<size_t> polls_{0}, param_reads_{0}, crc_errors_{0};
};

}  // namespace flatlib_test

#endif  // TESTS_FLATLIB_PTY_HAND_H
