// The stream under kitconsole::input(), shared by both console backends: it
// holds at most the one byte that a stream operation peeked at, so that
// every byte not yet taken by a stream operation is still with the system
// (or in this one slot) for poll_key().
#ifndef KITCONSOLE_STDIN_SLOT_H
#define KITCONSOLE_STDIN_SLOT_H

#include <streambuf>

namespace kitconsole {
namespace detail {

// One byte of standard input for a stream read, waiting for it: its code,
// or a negative value at the end of input (nothing more can come). Each
// backend defines it.
int read_stream_byte();

class StdinBuf : public std::streambuf {
 public:
  // Takes the peeked byte, if any.
  bool take_pending(unsigned char* c) {
    if (gptr() == nullptr || gptr() >= egptr()) return false;
    *c = static_cast<unsigned char>(*gptr());
    gbump(1);
    return true;
  }
  // Puts a byte read past the stream into the slot, so that the stream reads
  // it next. Only when the slot is empty.
  void stash(unsigned char c) {
    slot_ = static_cast<char>(c);
    setg(&slot_, &slot_, &slot_ + 1);
  }
  bool has_pending() const { return gptr() != nullptr && gptr() < egptr(); }
  int pending() const { return static_cast<unsigned char>(*gptr()); }
  bool ended() const { return ended_; }
  void mark_ended() { ended_ = true; }

 protected:
  int_type underflow() override {
    if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (ended_) return traits_type::eof();
    const int c = read_stream_byte();
    if (c < 0) {
      ended_ = true;
      return traits_type::eof();
    }
    stash(static_cast<unsigned char>(c));
    return traits_type::to_int_type(slot_);
  }

 private:
  char slot_ = 0;
  bool ended_ = false;
};

StdinBuf& stdin_buf();

}  // namespace detail
}  // namespace kitconsole

#endif  // KITCONSOLE_STDIN_SLOT_H
