#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace demotest {

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + needle.size()))
    ++n;
  return n;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  close_stdin();
  if (out_thread_.joinable()) out_thread_.join();
  if (err_thread_.joinable()) err_thread_.join();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         bool stdin_null) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that exits early must not kill the test
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_null)
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  else
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  // The extra entries replace inherited ones of the same name.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const auto& extra : env) replaced = replaced || extra.compare(0, name.size(), name) == 0;
    if (!replaced) env_strings.push_back(entry);
  }
  for (const auto& extra : env) env_strings.push_back(extra);
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(&s[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(&s[0]);
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  pid_ = pid;
  stdin_fd_ = in[1];
  if (stdin_null) close_stdin();
  out_thread_ = std::thread(&ChildProcess::reader, this, out[0], &out_);
  err_thread_ = std::thread(&ChildProcess::reader, this, err[0], &err_);
  return true;
}

void ChildProcess::reader(int fd, std::string* sink) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    sink->append(buffer, static_cast<size_t>(n));
    changed_.notify_all();
  }
  ::close(fd);
}

bool ChildProcess::write_stdin(const std::string& text) {
  if (stdin_fd_ < 0) return false;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(stdin_fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::close_stdin() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout, size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return count_of(out_, text) >= count; });
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return kTimedOut;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) return kTimedOut;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return kTimedOut;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  close_stdin();
  // Collect the rest of the output before anyone reads it.
  if (out_thread_.joinable()) out_thread_.join();
  if (err_thread_.joinable()) err_thread_.join();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kTimedOut;
}

std::string ChildProcess::out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string ChildProcess::err() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

}  // namespace demotest
