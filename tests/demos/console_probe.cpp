// Runs console operations named on the command line, in order, and prints
// one line per result; test_console runs it with scripted standard input.
//   line  -> "L:<text>" or "L-"      key  -> "K:<code>"   peek -> "P:<code>"
//   word  -> "W:<word>" or "W-"      pause -> pause()'s text
//   waitkey -> polls up to 5 s for anything but "no key" -> "K:<code>"
//   waitpeek -> peeks up to 5 s for anything but "no key" -> "P:<code>"
//   nokeys -> polls 200 times, prints "N:<how many had no key>"
//   sleep -> "S" then sleeps 10 s (a test interrupts it with a signal)
//   keymode -> begin_key_mode(), "M"    endkeymode -> end_key_mode(), "E"
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "kitconsole/console.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string op = argv[i];
    if (op == "line") {
      std::string line;
      if (kitconsole::read_line(&line))
        std::cout << "L:" << line << "\n";
      else
        std::cout << "L-\n";
    } else if (op == "key") {
      std::cout << "K:" << kitconsole::poll_key() << "\n";
    } else if (op == "peek") {
      std::cout << "P:" << kitconsole::peek_key() << "\n";
    } else if (op == "word") {
      std::string w;
      if (kitconsole::input() >> w)
        std::cout << "W:" << w << "\n";
      else
        std::cout << "W-\n";
      kitconsole::input().clear();
    } else if (op == "pause") {
      kitconsole::pause();
    } else if (op == "waitkey") {
      int k = kitconsole::kNoKey;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while ((k = kitconsole::poll_key()) == kitconsole::kNoKey && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::cout << "K:" << k << "\n";
    } else if (op == "waitpeek") {
      // The test writes the script after starting us: wait for it to arrive.
      int k = kitconsole::kNoKey;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while ((k = kitconsole::peek_key()) == kitconsole::kNoKey && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::cout << "P:" << k << "\n";
    } else if (op == "sleep") {
      std::cout << "S\n" << std::flush;
      std::this_thread::sleep_for(std::chrono::seconds(10));
    } else if (op == "keymode") {
      kitconsole::begin_key_mode();
      std::cout << "M\n";
    } else if (op == "endkeymode") {
      kitconsole::end_key_mode();
      std::cout << "E\n";
    } else if (op == "nokeys") {
      int none = 0;
      for (int n = 0; n < 200; ++n)
        if (kitconsole::poll_key() == kitconsole::kNoKey) ++none;
      std::cout << "N:" << none << "\n";
    }
    std::cout.flush();
  }
  return 0;
}
