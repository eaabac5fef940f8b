// Line input through the one-byte stream, the same on every platform.
#include "kitconsole/console.h"
#include "stdin_slot.h"

#include <istream>
#include <string>

namespace kitconsole {
namespace detail {

StdinBuf& stdin_buf() {
  static StdinBuf buf;
  return buf;
}

}  // namespace detail

std::istream& input() {
  static std::istream in(&detail::stdin_buf());
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

}  // namespace kitconsole
