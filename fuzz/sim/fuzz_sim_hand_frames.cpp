// The simulated controller's readers of host frames: first byte picks the
// front-end (RS485 byte stream, CAN-FD frame, EtherCAT RxPDO image, servo
// frame), the rest is an exact-size heap copy.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "simhand/can_servo_hand.h"
#include "simhand/canfd_hand.h"
#include "simhand/ethercat_hand.h"
#include "simhand/rs485_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t which = data[0] & 3;
  const uint32_t id = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8;
  std::unique_ptr<uint8_t[]> body(new uint8_t[size - 3 ? size - 3 : 1]);
  std::memcpy(body.get(), data + 3, size - 3);
  const size_t n = size - 3;
  size_t sink = 0;
  switch (which) {
    case 0: {
      auto m = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(5, 1));
      simhand::SimRs485Line line([&](const uint8_t*, size_t len) { sink += len; });
      line.add_hand(m);
      // Cut where the input says, so chunk boundaries are explored too.
      const size_t cut = n ? data[1] % (n + 1) : 0;
      line.on_host_bytes(body.get(), cut);
      line.on_host_bytes(body.get() + cut, n - cut);
      break;
    }
    case 1: {
      auto m = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(3, 1));
      simhand::SimCanfdHand sim(m, [&](uint32_t, const uint8_t*, size_t len, bool) { sink += len; });
      sim.on_host_frame(0x500 + (id & 0xFFF) % 0x200, body.get(), n, false);
      sim.on_host_frame(0x9001, body.get(), n, true);
      sim.tick(simhand::SimClock::now());
      break;
    }
    case 2: {
      auto m = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(1, 1));
      simhand::SimEthercatHand sim(m);
      sink += sim.exchange(body.get(), n, simhand::SimClock::now()).size();
      break;
    }
    default: {
      auto m = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::servo_hand());
      simhand::SimCanServoHand sim(m, [&](uint32_t, const uint8_t*, size_t len) { sink += len; });
      sim.on_host_frame(id & 0x1F, body.get(), n);
      break;
    }
  }
  return sink == 0xFFFFFFFF;
}
