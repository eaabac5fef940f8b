// The console on Windows. Lines come through the C runtime's unbuffered
// descriptor 0. Keys: on a console, key-down events of the console input
// handle (waited for with a zero time-out, so a poll never blocks). When
// standard input is a pipe or a file, one reader thread takes its bytes
// through the C runtime into a queue that line reads and key polls share,
// so a poll never blocks and no byte is taken out of order (wine's pipes
// cannot be peeked at). Output: virtual-terminal processing on request.
#include "kitconsole/console.h"
#include "stdin_slot.h"

#include <windows.h>

#include <io.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <thread>

namespace kitconsole {
namespace {

HANDLE input_handle() { return ::GetStdHandle(STD_INPUT_HANDLE); }

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

// One byte through the C runtime: its code, or kInputEnded at the end of
// input or on an error.
int read_runtime_byte() {
  unsigned char c = 0;
  return ::_read(0, &c, 1) == 1 ? c : kInputEnded;
}

// The bytes of a standard input that is not a console. The reader thread
// ends with the input; at the program's exit the system ends it.
class ByteQueue {
 public:
  // The next byte: waits for one when wait is set, else kNoKey when none
  // has arrived; kInputEnded once the input has ended and all were taken.
  int take(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
      started_ = true;
      std::thread(&ByteQueue::run, this).detach();
    }
    if (wait) changed_.wait(lock, [this] { return !bytes_.empty() || ended_; });
    if (!bytes_.empty()) {
      int c = bytes_.front();
      bytes_.pop_front();
      return c;
    }
    return ended_ ? kInputEnded : kNoKey;
  }

 private:
  void run() {
    for (;;) {
      int c = read_runtime_byte();
      std::lock_guard<std::mutex> lock(mutex_);
      if (c < 0) ended_ = true;
      else bytes_.push_back(static_cast<unsigned char>(c));
      changed_.notify_all();
      if (c < 0) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<unsigned char> bytes_;
  bool ended_ = false;
  bool started_ = false;
};

ByteQueue& byte_queue() {
  static ByteQueue* queue = new ByteQueue();  // never destroyed: its thread may outlive main
  return *queue;
}

// One byte of standard input for a line read: waits for it.
int read_input_byte() {
  return is_console(::GetStdHandle(STD_INPUT_HANDLE)) ? read_runtime_byte() : byte_queue().take(true);
}

// The next key-down event with a character, from the console input buffer.
// wait_ms 0: only what is waiting now.
int read_console_key(HANDLE h, DWORD wait_ms) {
  for (;;) {
    if (::WaitForSingleObject(h, wait_ms) != WAIT_OBJECT_0) return kNoKey;
    INPUT_RECORD record;
    DWORD count = 0;
    if (!::ReadConsoleInputA(h, &record, 1, &count)) return kInputEnded;
    if (count == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.uChar.AsciiChar != 0)
      return static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
    // Key releases, mouse and focus events, keys without a character.
  }
}

}  // namespace

namespace detail {

int read_stream_byte() { return read_input_byte(); }

}  // namespace detail

namespace {

using detail::StdinBuf;
using detail::stdin_buf;

}  // namespace

bool input_is_terminal() { return is_console(input_handle()); }

int poll_key() {
  StdinBuf& buf = stdin_buf();
  unsigned char c = 0;
  if (buf.take_pending(&c)) return c;
  if (buf.ended()) return kInputEnded;

  HANDLE h = input_handle();
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    buf.mark_ended();
    return kInputEnded;
  }
  if (is_console(h)) return read_console_key(h, 0);

  int key = byte_queue().take(false);
  if (key == kInputEnded) buf.mark_ended();
  return key;
}

int peek_key() {
  StdinBuf& buf = stdin_buf();
  if (buf.has_pending()) return buf.pending();
  int key = poll_key();
  if (key >= 0) buf.stash(static_cast<unsigned char>(key));
  return key;
}

// Key-down events are read without echo and arrow or function keys carry no
// character (they are skipped), so a console needs no switching: key mode is
// kept for programs written against terminals.
void begin_key_mode() {}
void end_key_mode() {}

void pause() {
  std::cout << "Press any key to continue . . ." << std::flush;
  HANDLE h = input_handle();
  unsigned char c = 0;
  if (is_console(h) && !stdin_buf().take_pending(&c)) read_console_key(h, INFINITE);
  std::cout << std::endl;
}

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The console is shared with the shell that started the program: its output
// mode goes back as it was found.
HANDLE g_switched_output = nullptr;
DWORD g_output_mode_found = 0;

void restore_output_mode() { ::SetConsoleMode(g_switched_output, g_output_mode_found); }

}  // namespace

void enable_output_sequences() {
  if (g_switched_output != nullptr) return;
  HANDLE h = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (h == nullptr || h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return;
  // A console before Windows 10 refuses the flag and prints the sequences
  // as they are, as it did before.
  if (!::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
  g_switched_output = h;
  g_output_mode_found = mode;
  std::atexit(restore_output_mode);
}

}  // namespace kitconsole
