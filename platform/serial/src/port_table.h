// What a backend keeps of each port it holds open, found by its handle.
#ifndef KITSERIAL_SRC_PORT_TABLE_H
#define KITSERIAL_SRC_PORT_TABLE_H

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "kitserial/serial_port.h"

namespace kitserial {

template <typename State>
class PortTable {
 public:
  // False when there is no memory for the entry.
  bool add(PortHandle port, State state) {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.emplace_back(port, std::move(state));
      return true;
    } catch (...) {
      return false;
    }
  }

  // Takes the entry of `port` out into *state; false when it has none.
  bool remove(PortHandle port, State* state) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = find_locked(port);
    if (it == entries_.end()) return false;
    *state = std::move(it->second);
    entries_.erase(it);
    return true;
  }

  // Calls f(State&) under the table's lock, and returns what it returns;
  // `absent` when `port` has no entry.
  template <typename R, typename F>
  R with(PortHandle port, R absent, F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = find_locked(port);
    return it == entries_.end() ? absent : f(it->second);
  }

 private:
  typename std::vector<std::pair<PortHandle, State>>::iterator find_locked(PortHandle port) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [port](const std::pair<PortHandle, State>& e) { return e.first == port; });
  }

  std::mutex mutex_;
  std::vector<std::pair<PortHandle, State>> entries_;
};

}  // namespace kitserial

#endif  // KITSERIAL_SRC_PORT_TABLE_H
