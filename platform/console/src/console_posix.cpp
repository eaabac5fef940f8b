// Console input on POSIX: one unbuffered reader of file descriptor 0 shared
// by line input and key polling, and termios switched per key read.
#include "kitconsole/console.h"
#include "stdin_slot.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <streambuf>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kitconsole {
namespace {

// Key polling keeps the terminal unechoed and non-canonical from the first
// poll until the next line read (or the end of the program), so that keys
// pressed between two polls are not echoed either. The settings found at
// the first switch are restored before every line read, at exit, and on a
// terminating signal.
termios g_saved{};
volatile sig_atomic_t g_raw_active = 0;
bool g_hooks_installed = false;

void restore_terminal() {
  if (g_raw_active) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    g_raw_active = 0;
  }
}

void restore_and_reraise(int sig) {
  restore_terminal();  // tcsetattr is async-signal-safe
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void install_hooks() {
  if (g_hooks_installed) return;
  g_hooks_installed = true;
  std::atexit(restore_terminal);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      struct sigaction sa {};
      sa.sa_handler = restore_and_reraise;
      sigemptyset(&sa.sa_mask);
      ::sigaction(sig, &sa, nullptr);
    }
  }
}

// Unechoed, non-canonical; reads return at once with what is waiting.
bool enter_raw() {
  if (g_raw_active) return true;
  if (::tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
  install_hooks();
  termios raw = g_saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  g_raw_active = 1;
  return true;
}

}  // namespace

namespace detail {

// Lines are typed with echo and line editing, so the terminal goes back to
// its own settings first.
int read_stream_byte() {
  restore_terminal();
  unsigned char c = 0;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made descriptor 0 non-blocking: wait for it instead of
      // reporting a spurious end.
      pollfd p{STDIN_FILENO, POLLIN, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    return -1;  // 0: end of input; other errors: nothing more can come
  }
}

}  // namespace detail

namespace {

using detail::StdinBuf;
using detail::stdin_buf;

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

// A terminal writes an escape sequence in one go, so its bytes arrive
// together; this is how long the next one may take (a remote shell may
// split a sequence across packets). A lone Esc has nothing behind it.
constexpr int kSequenceGapMs = 50;
// An escape sequence longer than this is cut; the rest come as other keys.
constexpr int kMaxSequenceBytes = 32;

// The next byte of an escape sequence, or kNoKey when none comes in time.
int next_sequence_byte() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, kSequenceGapMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return kNoKey;
  const int b = read_one_byte();
  return b >= 0 ? b : kNoKey;
}

// After an ESC read from the terminal (in key mode): takes the rest of an
// escape sequence and returns kKeySequence, or returns kKeyEsc for a lone
// Esc. A second ESC right behind the first is a second Esc: it goes into
// the stream's slot for the next read.
int finish_escape(StdinBuf& buf) {
  int b = next_sequence_byte();
  if (b == kNoKey) return kKeyEsc;
  if (b == kKeyEsc) {
    buf.stash(static_cast<unsigned char>(b));
    return kKeyEsc;
  }
  if (b == '[') {
    // CSI: parameter and intermediate bytes (0x20..0x3F), then one final
    // byte (0x40..0x7E). The Linux console's F1..F5 put a second '[' first.
    for (int n = 2; n < kMaxSequenceBytes; ++n) {
      b = next_sequence_byte();
      if (b == kNoKey) break;
      if (n == 2 && b == '[') continue;
      if (b < 0x20 || b > 0x3F) break;  // the final byte, or one that ends a broken sequence
    }
  } else if (b == 'O') {
    next_sequence_byte();  // SS3: one final byte (F1..F4, keypad)
  }
  // Any other byte: Alt held with that key.
  return kKeySequence;
}

// One key from the terminal, which is in key mode.
int read_terminal_key(StdinBuf& buf) {
  const int key = read_one_byte();
  if (key == kInputEnded) buf.mark_ended();
  return key == kKeyEsc ? finish_escape(buf) : key;
}

}  // namespace

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

int poll_key() {
  StdinBuf& buf = stdin_buf();
  unsigned char c = 0;
  if (buf.take_pending(&c)) return c;
  if (buf.ended()) return kInputEnded;

  if (input_is_terminal()) {
    // A terminal never reports an end: Ctrl-D is an ordinary byte here.
    if (!enter_raw()) return kNoKey;
    return read_terminal_key(buf);
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

int peek_key() {
  StdinBuf& buf = stdin_buf();
  if (buf.has_pending()) return buf.pending();
  int key = poll_key();
  // A sequence cannot go back into the one-byte slot, nor can a key when
  // the slot holds the second of two Esc.
  if (key >= 0 && key <= 0xFF && !buf.has_pending()) buf.stash(static_cast<unsigned char>(key));
  return key;
}

void begin_key_mode() {
  if (input_is_terminal()) enter_raw();
}

void end_key_mode() { restore_terminal(); }

void pause() {
  std::cout << "Press any key to continue . . ." << std::flush;
  if (input_is_terminal()) {
    unsigned char c = 0;
    if (!stdin_buf().take_pending(&c) && enter_raw()) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      read_terminal_key(stdin_buf());  // an arrow key leaves nothing behind
    }
    restore_terminal();
  }
  std::cout << std::endl;
}

void enable_output_sequences() {}

}  // namespace kitconsole
