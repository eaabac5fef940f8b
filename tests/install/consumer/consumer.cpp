// The class interface of the hand library and the adapter library from C++.
#include <morvane/morvane.h>
#include <tavrix/tavrix.h>

#include <cstdio>
#include <memory>

int main() {
  auto hand = std::make_unique<morvx::Morvane>();
  int total = 0, active = 0;
  if (hand->get_dof(&total, &active) != 0) return 1;
  hand.reset();
  int adapters = CAN_ScanDevice();
  if (adapters != 0) return 2;
  std::printf("c++: dof %d/%d, adapters %d\n", total, active, adapters);
  return 0;
}
