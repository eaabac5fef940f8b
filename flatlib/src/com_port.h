// The flat library's serial port for a hand on RS485: exclusive open at
// 500000 baud 8N1, a reader thread that hands every chunk it reads (at most
// 1024 bytes) to the receive function, and a length of 0 after each read that
// found nothing (then it sleeps 1 ms), from which the hand library tells the
// line's silence; and serialised writes.
#ifndef MORVANE_LV_SRC_COM_PORT_H
#define MORVANE_LV_SRC_COM_PORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kitserial/serial_port.h"

namespace lv {

class ComPort {
 public:
  using ReceiveFn = std::function<void(const uint8_t* data, size_t length)>;

  static const unsigned kBaud = 500000;
  static const size_t kChunkBytes = 1024;

  ComPort();
  // close(); then the receive function goes (once no reader runs it). From
  // any thread, the reader's own included: a reader that ends its own port
  // finishes on state it shares with the port, never on freed members.
  ~ComPort();
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // The serial ports that can be opened now (kitserial::list_openable_ports),
  // the extra names below first.
  static std::vector<std::string> scan_ports();
  // Further device paths the scan probes ahead of the system's ports (ports
  // under other names, pseudo-terminals in tests). Any thread.
  static void set_extra_port_names(const std::vector<std::string>& paths);

  // Opens `name` exclusively at 500000 baud 8N1 and starts the reader.
  // False when already open or any step fails (the port is then closed).
  bool open(const std::string& name);
  // Aborts a write that a stalled line holds (it returns false), stops the
  // reader and closes the port; nothing when closed. From any thread. From
  // another thread it returns once the reader has ended. From
  // the reader itself (inside the receive function) the reader ends as that
  // call returns, and the next close, open or the destructor joins it.
  void close();
  bool is_open() const { return open_.load(); }
  // True only when every byte was written. False on a closed port, null data
  // or length 0. Any thread; writes are serialised. A stalled line holds it
  // for up to 1 s on Linux, and on Windows until the line moves or close();
  // there the port runs one call at a time, so meanwhile the reader waits
  // behind the write and nothing reaches the receive function.
  bool write(const uint8_t* data, unsigned length);
  // Replaces the receive function; safe while the reader runs: the reader
  // calls either the old or the new one, never a half-assigned one. Bytes
  // read while none is set are dropped. Not from inside the receive function.
  void set_on_receive(ReceiveFn fn);

 private:
  // The receive function and its mutex (held around every call and every
  // replacement). Shared with the reader, so that a reader whose port was
  // destroyed from inside the receive function still unlocks a live mutex.
  struct Receiver {
    std::mutex mutex;
    ReceiveFn fn;
  };

  // The reader's body. It touches only its arguments: the descriptor (fixed
  // for its life), its own running flag and the receiver.
  static void rx_loop(kitserial::PortHandle fd, std::shared_ptr<std::atomic<bool>> running,
                      std::shared_ptr<Receiver> receiver);
  // Joins a reader that has been stopped, or lets it finish alone when the
  // caller is that reader (it holds nothing of ours but shared state).
  void retire_reader();

  kitserial::PortHandle fd_ = -1;  // written only while the reader is not reading it, under write_mutex_
  std::atomic<bool> open_{false};
  std::mutex reader_mutex_;  // guards reader_, which the reader itself may retire
  std::thread reader_;
  std::shared_ptr<std::atomic<bool>> running_;  // one flag per reader
  std::shared_ptr<Receiver> receiver_;
  std::mutex write_mutex_;
};

}  // namespace lv

#endif  // MORVANE_LV_SRC_COM_PORT_H
