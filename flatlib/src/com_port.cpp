#include "com_port.h"

#include <chrono>
#include <system_error>

#include "kitserial/port_list.h"
#include "kitserial/serial_port.h"

namespace lv {
namespace {

// Linux: a write gives up when the driver takes no byte for this long (a
// stalled USB converter), so a stalled line never holds the hand library's
// bus worker, or the calls waiting for it to transmit, for longer. Windows
// keeps the line's time-outs, which set no write time-out: there a stalled
// line holds the worker, and every call waiting for a transmission, until
// the line moves again or close() aborts the write.
const int kWriteStallTimeoutMs = 1000;

std::mutex& extra_names_mutex() {
  static std::mutex m;
  return m;
}

std::vector<std::string>& extra_names() {
  static std::vector<std::string> names;
  return names;
}

// The running flag of the reader that runs on this thread; null elsewhere.
// It tells close() that it was called from the reader it would join.
thread_local const std::atomic<bool>* t_reader_flag = nullptr;

}  // namespace

ComPort::ComPort() : receiver_(std::make_shared<Receiver>()) {}

ComPort::~ComPort() {
  close();
  retire_reader();
}

std::vector<std::string> ComPort::scan_ports() {
  std::vector<std::string> extras;
  {
    std::lock_guard<std::mutex> lock(extra_names_mutex());
    extras = extra_names();
  }
  return kitserial::list_openable_ports(extras);
}

void ComPort::set_extra_port_names(const std::vector<std::string>& paths) {
  std::lock_guard<std::mutex> lock(extra_names_mutex());
  extra_names() = paths;
}

bool ComPort::open(const std::string& name) {
  if (open_.load()) return false;
  retire_reader();  // one that closed its own port
  auto running = std::make_shared<std::atomic<bool>>(true);
  const kitserial::PortHandle fd = kitserial::open_exclusive(name);
  if (fd == kitserial::kClosedPort) return false;
  if (!kitserial::configure_raw_8n1(fd, kBaud, kitserial::FlowControl::kOff)) {
    kitserial::close_port(fd);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    fd_ = fd;
  }
  running_ = running;
  open_.store(true);
  try {
    std::thread reader(&ComPort::rx_loop, fd, running, receiver_);
    // The reader may already be inside the receive function, ending the port.
    std::lock_guard<std::mutex> lock(reader_mutex_);
    reader_ = std::move(reader);
  } catch (const std::system_error&) {
    running->store(false);
    std::lock_guard<std::mutex> lock(write_mutex_);
    kitserial::close_port(fd_);
    fd_ = -1;
    open_.store(false);
    return false;
  }
  return true;
}

void ComPort::close() {
  const bool on_reader = t_reader_flag != nullptr && t_reader_flag == running_.get();
  // Only one caller closes the descriptor, even when the reader closes its
  // own port while the owner does the same.
  const bool was_open = open_.exchange(false);
  if (was_open) {
    running_->store(false);
    // The write goes first: a write held by a stalled line keeps the write
    // mutex, and on Windows the reader's next read waits behind it (one call
    // at a time on the handle), so the reader could not end before it. Only
    // this caller got here, and fd_ changes only in open and close, so it is
    // read without the mutex.
    kitserial::abort_writes(fd_);
  }
  // The reader cannot join itself: it ends as the receive function returns,
  // and the next close, open or the destructor joins it. Any other caller
  // waits here, so the descriptor is never closed under a read.
  if (!on_reader) retire_reader();
  if (!was_open) return;
  // Under the write mutex, so a write in flight finishes on the descriptor it
  // started with and no later write can reach a closed (or reused) one.
  std::lock_guard<std::mutex> lock(write_mutex_);
  kitserial::close_port(fd_);
  fd_ = -1;
}

void ComPort::retire_reader() {
  std::thread reader;
  {
    std::lock_guard<std::mutex> lock(reader_mutex_);
    reader.swap(reader_);
  }
  if (!reader.joinable()) return;
  // Called on the reader itself only when the port is being destroyed or
  // reopened from the receive function: that reader's flag is already clear
  // and it holds shared state only, so it may finish alone.
  if (reader.get_id() == std::this_thread::get_id()) {
    reader.detach();
  } else {
    reader.join();
  }
}

bool ComPort::write(const uint8_t* data, unsigned length) {
  if (!open_.load() || !data || length == 0) return false;
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (fd_ < 0) return false;
  return kitserial::write_all(fd_, data, length, kWriteStallTimeoutMs);
}

void ComPort::set_on_receive(ReceiveFn fn) {
  ReceiveFn old;
  {
    std::lock_guard<std::mutex> lock(receiver_->mutex);
    old.swap(receiver_->fn);
    receiver_->fn = std::move(fn);
  }
  // The old function (and what it holds) goes outside the lock.
}

void ComPort::rx_loop(kitserial::PortHandle fd, std::shared_ptr<std::atomic<bool>> running, std::shared_ptr<Receiver> receiver) {
  t_reader_flag = running.get();
  uint8_t buffer[kChunkBytes];
  while (running->load()) {
    const long n = kitserial::read_available(fd, buffer, sizeof buffer);
    if (n >= 0) {
      // Nothing read is passed on too: the hand library tells the line's
      // silence from it.
      std::lock_guard<std::mutex> lock(receiver->mutex);
      if (receiver->fn) receiver->fn(buffer, static_cast<size_t>(n));
    }
    if (n > 0) continue;  // more may be waiting (or the port was closed from inside): check the flag, read again at once
    // Nothing, or a read error (which never closes the port): try again soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace lv
