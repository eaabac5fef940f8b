// The simulated hand's EtherCAT process data: each cycle the master writes
// the 64-byte RxPDO image and reads a 192-byte TxPDO image. The hand acts on
// an RxPDO image when it differs from the last one (the master repeats the
// image every cycle), and answers with the layouts the last report selection
// named, one per cycle in turn (0x00 joints, 0x40 six tactile items, 0x41
// the palm item); before any selection it reports 0x00.
//
// Threads: exchange() from one thread at a time (the cycle thread).
#ifndef SIMHAND_ETHERCAT_HAND_H
#define SIMHAND_ETHERCAT_HAND_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "simhand/device_model.h"

namespace simhand {

class SimEthercatHand {
 public:
  explicit SimEthercatHand(std::shared_ptr<DeviceModel> model);

  DeviceModel& model() { return *model_; }
  // One cycle: applies a changed RxPDO image, advances the model to now and
  // writes the next TxPDO image into tx.
  void exchange(const uint8_t* rx, size_t len, SimClock::time_point now, uint8_t (&tx)[kTxpdoImageSize]);
  // Same, returning the image.
  std::vector<uint8_t> exchange(const uint8_t* rx, size_t len, SimClock::time_point now);
  std::vector<uint8_t> selected_codes() const;
  uint64_t images_applied() const;

 private:
  std::shared_ptr<DeviceModel> model_;
  mutable std::mutex mutex_;
  std::vector<uint8_t> last_rx_;
  std::vector<uint8_t> selected_{0x00};
  size_t next_ = 0;
  uint64_t applied_ = 0;
};

}  // namespace simhand

#endif  // SIMHAND_ETHERCAT_HAND_H
