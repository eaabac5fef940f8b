// The simulated adapter behind a scripted usbfs device node (umockdev): the
// real libusb enumerates it through sysfs and udev, opens its node and talks
// to it with usbfs ioctls, which are answered here by the simulated
// adapter's protocol logic. Needs the program to run under umockdev-wrapper.
#ifndef TESTS_ADAPTER_USBFS_ADAPTER_H
#define TESTS_ADAPTER_USBFS_ADAPTER_H

#include <umockdev.h>

#include <atomic>
#include <memory>
#include <string>

#include "simadapter/sim_adapter.h"

namespace tavrix_test {

class UsbfsAdapter {
 public:
  // Creates the testbed; call before anything starts a thread or libusb.
  UsbfsAdapter();
  ~UsbfsAdapter();
  UsbfsAdapter(const UsbfsAdapter&) = delete;
  UsbfsAdapter& operator=(const UsbfsAdapter&) = delete;

  // The adapter appears on the bus (with an "add" uevent) / is unplugged:
  // transfers in flight end as "no device", the node and sysfs entry go
  // away, and a "remove" uevent is sent.
  void plug();
  void unplug();

  simadapter::SimAdapter& sim() { return *sim_; }

  struct Handler;  // the ioctl side, run on umockdev's worker thread

 private:
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* ioctl_ = nullptr;
  std::shared_ptr<simadapter::SimAdapter> sim_;
  std::unique_ptr<Handler> handler_;
};

}  // namespace tavrix_test

#endif  // TESTS_ADAPTER_USBFS_ADAPTER_H
