// A demo program run as a child process for end-to-end tests: its standard
// input is a pipe the test writes a script into, its standard output and
// error are collected by two reader threads. Every wait is bounded; a child
// still running at destruction is killed and reaped.
#ifndef TESTS_DEMOS_CHILD_PROCESS_H
#define TESTS_DEMOS_CHILD_PROCESS_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace demotest {

class ChildProcess {
 public:
  static constexpr int kTimedOut = -1000;

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // env: extra "NAME=value" entries on top of this process's environment.
  // stdin_null: standard input is /dev/null instead of a pipe.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             bool stdin_null = false);
  bool write_stdin(const std::string& text);
  void close_stdin();
  // True once the standard output holds text count times.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout, size_t count = 1);
  // The exit status (a signal number gives 128 + signal), or kTimedOut
  // after killing the child.
  int wait_exit(std::chrono::milliseconds timeout);

  std::string out() const;
  std::string err() const;

 private:
  void reader(int fd, std::string* sink);

  int pid_ = -1;
  int stdin_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::thread out_thread_, err_thread_;
};

size_t count_of(const std::string& haystack, const std::string& needle);

}  // namespace demotest

#endif  // TESTS_DEMOS_CHILD_PROCESS_H
