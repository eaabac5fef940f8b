// Console input on POSIX: one unbuffered reader of file descriptor 0 shared
// by line input and key polling, and termios switched per key read.
#include "kitconsole/console.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <streambuf>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kitconsole {
namespace {

// Holds at most the one byte that a stream operation peeked at, so that
// every byte not yet taken by a stream operation is still in the kernel (or
// in this one slot) for poll_key().
class StdinBuf : public std::streambuf {
 public:
  // Takes the peeked byte, if any.
  bool take_pending(unsigned char* c) {
    if (gptr() == nullptr || gptr() >= egptr()) return false;
    *c = static_cast<unsigned char>(*gptr());
    gbump(1);
    return true;
  }
  bool ended() const { return ended_; }
  void mark_ended() { ended_ = true; }

 protected:
  int_type underflow() override {
    if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (ended_) return traits_type::eof();
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, &slot_, 1);
      if (n == 1) {
        setg(&slot_, &slot_, &slot_ + 1);
        return traits_type::to_int_type(slot_);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Someone made descriptor 0 non-blocking: wait for it instead of
        // reporting a spurious end.
        pollfd p{STDIN_FILENO, POLLIN, 0};
        ::poll(&p, 1, -1);
        continue;
      }
      ended_ = true;  // 0: end of input; other errors: nothing more can come
      return traits_type::eof();
    }
  }

 private:
  char slot_ = 0;
  bool ended_ = false;
};

StdinBuf& stdin_buf() {
  static StdinBuf buf;
  return buf;
}

// Restores the terminal's settings when it leaves scope.
class RawMode {
 public:
  // vmin 0: reads return at once; 1: a read waits for one byte.
  explicit RawMode(int vmin) {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = static_cast<cc_t>(vmin);
    raw.c_cc[VTIME] = 0;
    active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawMode() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

// One byte straight from descriptor 0: its code, kNoKey, or kInputEnded.
int read_one_byte() {
  for (;;) {
    unsigned char c = 0;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNoKey;
    return n == 0 ? kNoKey : kInputEnded;
  }
}

}  // namespace

std::istream& input() {
  static std::istream in(&stdin_buf());
  return in;
}

bool read_line(std::string* line) {
  if (line == nullptr) return false;
  std::istream& in = input();
  if (!std::getline(in, *line)) {
    in.clear();
    return false;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();  // CR LF from a script
  in.clear();
  return true;
}

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

int poll_key() {
  StdinBuf& buf = stdin_buf();
  unsigned char c = 0;
  if (buf.take_pending(&c)) return c;
  if (buf.ended()) return kInputEnded;

  if (input_is_terminal()) {
    // A terminal never reports an end: Ctrl-D is an ordinary byte here.
    RawMode raw(0);
    int key = read_one_byte();
    if (key == kInputEnded) buf.mark_ended();
    return key;
  }

  pollfd p{STDIN_FILENO, POLLIN, 0};
  int r = ::poll(&p, 1, 0);
  if (r < 0) return errno == EINTR ? kNoKey : (buf.mark_ended(), kInputEnded);
  if (r == 0) return kNoKey;
  if (p.revents & POLLNVAL) {
    buf.mark_ended();
    return kInputEnded;
  }
  // Readable, or hung up: a read of 0 bytes now means the writer is gone.
  unsigned char byte = 0;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNoKey;
    buf.mark_ended();
    return kInputEnded;
  }
}

void pause() {
  std::cout << "Press any key to continue . . ." << std::flush;
  if (input_is_terminal()) {
    unsigned char c = 0;
    if (!stdin_buf().take_pending(&c)) {
      RawMode raw(1);
      if (raw.active()) read_one_byte();
    }
  }
  std::cout << std::endl;
}

}  // namespace kitconsole
