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

// The same, for a prompt whose answer starts an action: false when the
// input ended before an answer came, so the caller abandons the action
// instead of acting on a default nobody chose. True and *value otherwise.
bool try_prompt_int(std::istream& in, std::ostream& out, const std::string& text, int min, int max, int def,
                    int* value);

// Both on the console (kitconsole::input() and standard output).
int prompt_int(const std::string& text, int min, int max, int def);
bool try_prompt_int(const std::string& text, int min, int max, int def, int* value);

}  // namespace demos

#endif  // DEMOS_COMMON_PROMPT_INT_H
