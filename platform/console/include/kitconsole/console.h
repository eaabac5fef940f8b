// The console of the demo programs: a POSIX terminal or a Windows console,
// or a pipe or file in their place.
//
// Line input and key polling read the same standard input without a user
// space buffer, so a key that a program polls for is never swallowed by a
// line read ahead of it, and a script piped into standard input is read in
// order: answers to prompts as lines, then single bytes (27 for Esc) by
// poll_key().
//
// When standard input is a terminal, begin_key_mode() or the first
// poll_key() switches it to unechoed, non-canonical mode, so that keys
// pressed while a program polls (or works between two polls) are never
// echoed; end_key_mode(), the next line read (input(), read_line()),
// pause(), the program's exit and SIGINT/SIGTERM/SIGHUP/SIGQUIT put the
// settings back as they were. On a terminal, arrow, function and Alt keys
// arrive as escape sequences (ESC [ A, ESC O P, ESC [ 1 5 ~, ESC x): a
// whole sequence is one key, kKeySequence, so only a lone Esc is kKeyEsc.
// A Windows console delivers key events, read without echo and without
// switching anything; arrow and function keys carry no character and are
// skipped. When standard input is not a terminal (a pipe or a file in CI)
// nothing is switched and nothing waits for input that cannot come: pause()
// returns at once, and an ended input is reported as kInputEnded.
//
// Threads: the calls are not synchronised with each other; one thread at a
// time uses the console (the demos use their main thread). The terminal's
// settings are also put back at exit and from a terminating signal, on
// whichever thread those run. On Windows a piped standard input is read by
// a thread of this layer's own, which lives until the input ends.
#ifndef KITCONSOLE_CONSOLE_H
#define KITCONSOLE_CONSOLE_H

#include <istream>
#include <string>

namespace kitconsole {

constexpr int kKeyEsc = 27;
// poll_key(): no key waiting.
constexpr int kNoKey = -1;
// poll_key(): standard input has ended (or failed); no key can come any more.
constexpr int kInputEnded = -2;
// poll_key() on a terminal: an escape sequence (arrow, function or Alt key),
// read whole. Never equal to kKeyEsc or to a byte.
constexpr int kKeySequence = 0x100;

// The program's standard input as an unbuffered stream (word and number
// extraction, getline, ignore). Use it instead of std::cin.
std::istream& input();

// Reads one line without its line end. False when the input ended before any
// character of a line was read, or failed; the stream's state is then
// cleared again.
bool read_line(std::string* line);

// Takes one waiting key without echo and without waiting: its code (0..255),
// kKeySequence, kNoKey when none is waiting, kInputEnded when the input has
// ended. After an ESC from a terminal it waits up to 50 ms for the rest of
// a sequence; a lone Esc is reported once that time has passed.
int poll_key();

// Looks at the waiting key without taking it: it stays for the next
// poll_key() or stream read. Same results as poll_key(); an escape
// sequence, though, is taken whole.
int peek_key();

// Switches a terminal to unechoed single-key mode now, as a test that polls
// for Esc starts, so that keys typed before its first poll are not echoed
// either. Nothing when standard input is not a terminal.
void begin_key_mode();

// Puts the terminal settings found by begin_key_mode() (or the first poll)
// back. Nothing when they were not switched.
void end_key_mode();

// True when standard input is a terminal.
bool input_is_terminal();

// Prints "Press any key to continue . . ." and waits for one key on a
// terminal; returns at once when standard input is not a terminal.
void pause();

// Lets standard output carry the terminal escape sequences the demos draw
// with (ESC "[2K" erases the line, ESC "[7A" moves the cursor up 7 lines).
// Windows: switches on virtual-terminal processing for the console behind
// standard output (Windows 10 and later) and puts the console's mode back at
// exit; quietly nothing where the console does not know the mode or
// standard output is no console. POSIX: nothing, a terminal takes them as
// they are. Once, at the start of the program.
void enable_output_sequences();

}  // namespace kitconsole

#endif  // KITCONSOLE_CONSOLE_H
