#include "simhand/ethercat_hand.h"

#include <algorithm>

#include "command_bodies.h"
#include "status_replies.h"

namespace simhand {

SimEthercatHand::SimEthercatHand(std::shared_ptr<DeviceModel> model) : model_(std::move(model)) {}

void SimEthercatHand::exchange(const uint8_t* rx, size_t len, SimClock::time_point now,
                               uint8_t (&tx)[kTxpdoImageSize]) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rx && len >= 2 && (last_rx_.size() != len || !std::equal(rx, rx + len, last_rx_.begin()))) {
    last_rx_.assign(rx, rx + len);
    ++applied_;
    if (rx[0] == 0x00) {
      // [0x00, k, k layout codes]; an all-zero image (k 0) selects nothing new.
      const size_t k = std::min<size_t>(rx[1], len - 2);
      if (k > 0) {
        selected_.assign(rx + 2, rx + 2 + k);
        next_ = 0;
      }
    } else {
      apply_command_body(*model_, rx, len, rx[1]);
    }
  }
  model_->advance_to(now);
  const uint8_t code = selected_[next_ % selected_.size()];
  next_ = (next_ + 1) % selected_.size();
  build_txpdo_image(model_->snapshot(), code, tx);
}

std::vector<uint8_t> SimEthercatHand::exchange(const uint8_t* rx, size_t len, SimClock::time_point now) {
  uint8_t tx[kTxpdoImageSize];
  exchange(rx, len, now, tx);
  return std::vector<uint8_t>(tx, tx + sizeof tx);
}

std::vector<uint8_t> SimEthercatHand::selected_codes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selected_;
}

uint64_t SimEthercatHand::images_applied() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return applied_;
}

}  // namespace simhand
