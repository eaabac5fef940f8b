// Simulated hands on an RS485 line behind a pseudo-terminal: the demo
// programs open the terminal's slave side as their serial port, the
// simulated controllers read and answer on the master side.
//
// Threads: start() runs one reader thread, which feeds the line and writes
// its replies; stop() (and the destructor) joins it. The hands' models may
// be read from any thread (each takes its own lock).
#ifndef DEMOS_TOOLS_PTY_HAND_H
#define DEMOS_TOOLS_PTY_HAND_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simhand/device_model.h"
#include "simhand/rs485_line.h"

namespace demos {

class PtyHand {
 public:
  // One simulated hand per node id, each built for RS485 with model_code
  // (5: hand type 1, 6: hand type 0).
  PtyHand(const std::vector<uint8_t>& node_ids, uint16_t model_code);
  ~PtyHand();
  PtyHand(const PtyHand&) = delete;
  PtyHand& operator=(const PtyHand&) = delete;

  // Opens the pseudo-terminal and starts the reader. False (with a reason in
  // error()) when the system has no pseudo-terminal to give.
  bool start();
  void stop();

  // The slave side's device path, for the program under test.
  const std::string& slave_path() const { return slave_path_; }
  const std::string& error() const { return error_; }
  simhand::DeviceModel& model(size_t i) { return *models_.at(i); }
  simhand::SimRs485Line& line() { return *line_; }
  uint64_t bytes_from_host() const { return bytes_in_.load(); }

 private:
  void run();
  void write_reply(const uint8_t* data, size_t len);

  std::vector<std::shared_ptr<simhand::DeviceModel>> models_;
  std::unique_ptr<simhand::SimRs485Line> line_;
  int master_ = -1;
  int slave_keep_ = -1;  // held open so that the master never sees a hang-up
  std::string slave_path_;
  std::string error_;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> bytes_in_{0};
  std::thread reader_;
};

}  // namespace demos

#endif  // DEMOS_TOOLS_PTY_HAND_H
