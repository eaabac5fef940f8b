// The console layer when standard input is not a terminal (a pipe or
// /dev/null, as under CI): nothing blocks for good, nothing crashes, and
// lines and keys come in the order they were written.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "child_process.h"

using demotest::ChildProcess;
using namespace std::chrono_literals;

namespace {

std::string run(const std::vector<std::string>& ops, const std::string& input, bool stdin_null = false) {
  ChildProcess p;
  std::vector<std::string> argv = {CONSOLE_PROBE_PATH};
  argv.insert(argv.end(), ops.begin(), ops.end());
  EXPECT_TRUE(p.start(argv, {}, stdin_null));
  if (!stdin_null) {
    p.write_stdin(input);
    p.close_stdin();
  }
  EXPECT_EQ(p.wait_exit(20s), 0) << p.out() << p.err();
  return p.out();
}

TEST(ConsoleNotATerminal, DevNullEndsAtOnce) {
  EXPECT_EQ(run({"key", "line", "peek", "word", "pause", "key"}, "", true),
            "K:-2\nL-\nP:-2\nW-\nPress any key to continue . . .\nK:-2\n");
}

TEST(ConsoleNotATerminal, LinesThenKeysInWrittenOrder) {
  EXPECT_EQ(run({"line", "line", "key", "key", "key", "line"}, "first\r\nsecond\n\x1bz"),
            "L:first\nL:second\nK:27\nK:122\nK:-2\nL-\n");
}

TEST(ConsoleNotATerminal, PeekLeavesTheKeyForTheStream) {
  EXPECT_EQ(run({"waitpeek", "peek", "word", "peek", "key", "word", "word", "key"}, "3 30\nq"),
            "P:51\nP:51\nW:3\nP:32\nK:32\nW:30\nW:q\nK:-2\n");
}

TEST(ConsoleNotATerminal, PollingAnOpenSilentPipeNeverBlocks) {
  ChildProcess p;
  ASSERT_TRUE(p.start({CONSOLE_PROBE_PATH, "nokeys", "waitkey", "line"}));
  ASSERT_TRUE(p.wait_for_output("N:200\n", 10s)) << p.out();
  p.write_stdin("\x1b");
  ASSERT_TRUE(p.wait_for_output("K:27\n", 10s)) << p.out();
  p.write_stdin("tail\n");
  EXPECT_EQ(p.wait_exit(10s), 0);
  EXPECT_EQ(p.out(), "N:200\nK:27\nL:tail\n");
}

TEST(ConsoleNotATerminal, PauseDoesNotEatTheScript) {
  EXPECT_EQ(run({"pause", "line"}, "next\n"), "Press any key to continue . . .\nL:next\n");
}

// The probe on a pseudo-terminal, as a user at a terminal would run it.
class ConsoleOnTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    char name[128] = {};
    ASSERT_EQ(::ptsname_r(master_, name, sizeof name), 0);
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(slave_);
    ::close(master_);
  }
  void spawn(const std::vector<std::string>& ops) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, slave_, fd);
    std::vector<std::string> args = {CONSOLE_PROBE_PATH};
    args.insert(args.end(), ops.begin(), ops.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  // Everything the terminal shows until text appears (or the time passes).
  bool read_until(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (shown_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[256];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) shown_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  void type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
  // The probe's wait status once it ended, or -1 after `tries` times 10 ms.
  int wait_child(int tries = 1000) {
    int status = 0;
    for (int i = 0; i < tries; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  // Interrupts the probe as Ctrl-C would and waits for its end. Again every
  // 200 ms: a sanitizer runtime may hold back the signal the probe's
  // handler raises again once it has put the terminal back.
  int interrupt() {
    for (int i = 0; i < 50; ++i) {
      ::kill(pid_, SIGINT);
      const int status = wait_child(20);
      if (status != -1) return status;
    }
    return -1;
  }
  // Waits until the probe has switched the terminal for key polling.
  bool wait_polling() {
    for (int i = 0; i < 1000 && echo_and_canonical(); ++i) std::this_thread::sleep_for(10ms);
    return !echo_and_canonical();
  }
  bool echo_and_canonical() {
    termios t{};
    return ::tcgetattr(slave_, &t) == 0 && (t.c_lflag & ECHO) && (t.c_lflag & ICANON);
  }

  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
};

TEST_F(ConsoleOnTerminal, PolledKeysAreNotEchoedTypedLinesAreAndSettingsComeBack) {
  ASSERT_TRUE(echo_and_canonical());
  spawn({"waitkey", "waitkey", "line", "pause"});
  ASSERT_TRUE(wait_polling());
  type("a");
  ASSERT_TRUE(read_until("K:97"));
  type("b");  // typed between two polls: still not echoed
  ASSERT_TRUE(read_until("K:98"));
  // The line read puts echo and line editing back before it waits.
  for (int i = 0; i < 1000 && !echo_and_canonical(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(echo_and_canonical());
  type("typed\n");
  ASSERT_TRUE(read_until("L:typed"));
  ASSERT_TRUE(read_until("Press any key to continue . . ."));
  type("z");
  ASSERT_EQ(wait_child(), 0);
  // Nothing but the probe's own lines before the typed line.
  EXPECT_EQ(shown_.rfind("K:97\r\nK:98\r\ntyped\r\n", 0), 0u) << shown_;
  EXPECT_NE(shown_.find("typed\r\nL:typed"), std::string::npos) << "the line is echoed: " << shown_;
  EXPECT_TRUE(echo_and_canonical());
}

TEST_F(ConsoleOnTerminal, EscapeSequencesAreOneKeyAndOnlyALoneEscIsEsc) {
  spawn({"waitkey", "waitkey", "waitkey", "waitkey", "waitkey", "waitkey", "waitkey", "waitkey", "line"});
  ASSERT_TRUE(wait_polling());
  // Up arrow, F1 (xterm), F5, F1 (Linux console), Alt-x: each one key.
  const char* const sequences[] = {"\x1b[A", "\x1bOP", "\x1b[15~", "\x1b[[A", "\x1bx"};
  std::string expected;
  for (const char* keys : sequences) {
    type(keys);
    expected += "K:256\r\n";
    ASSERT_TRUE(read_until(expected)) << keys << " gave " << shown_;
  }
  type("\x1b\x1b");  // Esc twice: two keys
  ASSERT_TRUE(read_until("K:27\r\nK:27\r\n")) << shown_;
  type("\x1b");  // alone: Esc, once nothing follows
  ASSERT_TRUE(read_until("K:27\r\nK:27\r\nK:27\r\n")) << shown_;
  // Nothing of a sequence is left over for the line (typed once the line
  // read has put echo back, so that it shows).
  for (int i = 0; i < 1000 && !echo_and_canonical(); ++i) std::this_thread::sleep_for(10ms);
  type("rest\n");
  ASSERT_TRUE(read_until("L:rest"));
  EXPECT_EQ(wait_child(), 0);
  EXPECT_NE(shown_.find("rest\r\nL:rest\r\n"), std::string::npos) << shown_;
}

TEST_F(ConsoleOnTerminal, KeyModeSilencesTypingBeforeTheFirstPollUntilEndOrInterrupt) {
  spawn({"keymode", "endkeymode", "sleep"});
  ASSERT_TRUE(read_until("S"));
  EXPECT_TRUE(echo_and_canonical()) << "end_key_mode puts the settings back";
  ::kill(pid_, SIGKILL);
  wait_child();

  spawn({"keymode", "sleep"});
  ASSERT_TRUE(read_until("M\r\nS\r\n"));
  EXPECT_FALSE(echo_and_canonical()) << "switched before any poll";
  type("typed while busy");
  read_until("never shown", 300ms);  // collects whatever the terminal shows meanwhile
  EXPECT_EQ(shown_.find("typed"), std::string::npos) << shown_;
  const int status = interrupt();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(echo_and_canonical());
}

TEST_F(ConsoleOnTerminal, InterruptWhilePollingRestoresTheTerminal) {
  spawn({"waitkey", "sleep"});
  ASSERT_TRUE(wait_polling());
  type("k");
  ASSERT_TRUE(read_until("S"));
  EXPECT_FALSE(echo_and_canonical()) << "keys are being polled";
  const int status = interrupt();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(echo_and_canonical());
}

}  // namespace
