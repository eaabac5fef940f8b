// The integer prompt of the demo programs.
#ifndef DEMOS_COMMON_PROMPT_INT_H
#define DEMOS_COMMON_PROMPT_INT_H

#include <istream>
#include <ostream>
#include <string>

namespace demos {

// Prints text, " [min - max]" and a line end, then reads one line:
// - an empty line returns def, even when def lies outside [min, max];
// - a base-10 int (leading blanks skipped, a sign allowed, anything after
//   the number ignored) within [min, max] is returned;
// - anything else prints "Input out of range, please try again." and asks
//   again.
// When the input has ended (or fails) no answer can come: def is returned,
// so that a program fed by a script ends instead of asking forever.
int prompt_int(std::istream& in, std::ostream& out, const std::string& text, int min, int max, int def);

// The same on the console (kitconsole::input() and standard output).
int prompt_int(const std::string& text, int min, int max, int def);

}  // namespace demos

#endif  // DEMOS_COMMON_PROMPT_INT_H
