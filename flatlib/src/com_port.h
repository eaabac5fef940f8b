// The flat library's serial port for a hand on RS485: exclusive open at
// 500000 baud 8N1, a reader thread that hands every chunk it reads (at most
// 1024 bytes) to the receive function, and serialised writes.
#ifndef MORVANE_LV_SRC_COM_PORT_H
#define MORVANE_LV_SRC_COM_PORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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

  ComPort() = default;
  ~ComPort();  // close(); then the receive function goes
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // Device paths of the serial ports that can be opened now (see
  // kitserial::list_openable_ports), followed by the extra names below.
  static std::vector<std::string> scan_ports();
  // Further device paths the scan probes after the standard ones (ports
  // under other names, pseudo-terminals in tests). Any thread.
  static void set_extra_port_names(const std::vector<std::string>& paths);

  // Opens `name` exclusively at 500000 baud 8N1 and starts the reader.
  // False when already open or any step fails (the port is then closed).
  bool open(const std::string& name);
  // Stops and joins the reader and closes the port; nothing when closed.
  // Not from the reader thread (the receive function must not call it).
  void close();
  bool is_open() const { return open_.load(); }
  // True only when every byte was written. False on a closed port, null data
  // or length 0. Any thread; writes are serialised.
  bool write(const uint8_t* data, unsigned length);
  // Replaces the receive function; safe while the reader runs: the reader
  // calls either the old or the new one, never a half-assigned one. Bytes
  // read while none is set are dropped. Not from inside the receive function.
  void set_on_receive(ReceiveFn fn);

 private:
  void rx_loop();

  kitserial::PortHandle fd_ = -1;  // written only while the reader is not running, under write_mutex_
  std::atomic<bool> open_{false};
  std::thread reader_;
  std::atomic<bool> running_{false};
  std::mutex receive_mutex_;  // held around every call of on_receive_ and its replacement
  ReceiveFn on_receive_;
  std::mutex write_mutex_;
};

}  // namespace lv

#endif  // MORVANE_LV_SRC_COM_PORT_H
