// Arbitrary frames through the simulated slaves (the test slave must not be
// the weak point when tests put garbage on the wire).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ethercat_sim/esc_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<ecat_sim::EscModel>* slaves = [] {
    auto* v = new std::vector<ecat_sim::EscModel>();
    v->emplace_back(ecat_sim::SlaveConfig(), false);
    ecat_sim::SlaveConfig coe;
    coe.coe = true;  // a mailbox behind SyncManagers 0 and 1
    v->emplace_back(coe, true);
    return v;
  }();
  std::vector<uint8_t> frame(data, data + size);
  bool logical = false;
  ecat_sim::process_frame(*slaves, frame.data(), frame.size(), &logical);
  return 0;
}
