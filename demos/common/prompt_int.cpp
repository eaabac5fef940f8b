#include "prompt_int.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "kitconsole/console.h"

namespace demos {
namespace {

// strtol semantics: leading white space, optional sign, trailing characters
// ignored; false when no digits were read or the value leaves int's range.
bool parse_int(const std::string& line, int* value) {
  const char* begin = line.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

bool try_prompt_int(std::istream& in, std::ostream& out, const std::string& text, int min, int max, int def,
                    int* value) {
  for (;;) {
    out << text << " [" << min << " - " << max << "]" << std::endl;
    std::string line;
    if (!std::getline(in, line)) {
      in.clear();
      return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      *value = def;
      return true;
    }
    int v = 0;
    if (parse_int(line, &v) && v >= min && v <= max) {
      *value = v;
      return true;
    }
    out << "Input out of range, please try again." << std::endl;
  }
}

int prompt_int(std::istream& in, std::ostream& out, const std::string& text, int min, int max, int def) {
  int value = def;
  return try_prompt_int(in, out, text, min, max, def, &value) ? value : def;
}

int prompt_int(const std::string& text, int min, int max, int def) {
  return prompt_int(kitconsole::input(), std::cout, text, min, max, def);
}

bool try_prompt_int(const std::string& text, int min, int max, int def, int* value) {
  return try_prompt_int(kitconsole::input(), std::cout, text, min, max, def, value);
}

}  // namespace demos
