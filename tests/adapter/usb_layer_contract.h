// The USB layer's read and write rules at their edges (kitusb/usb_layer.h),
// one suite for every backend. Each backend's test program instantiates it
// with a rig that opens a simulated adapter through that backend:
//
//   bool open();                        plugs the adapter in and opens it through the backend
//   kitusb::UsbDevice& device();        the opened device
//   simadapter::SimAdapter& adapter();  the adapter behind it: what arrives, what fails
//   void unplug();                      the adapter leaves the bus
//   void close();                       releases the device; an unplugged adapter comes back
//
// The cases use transfers of at most 64 bytes, one packet at every speed, so
// they hold whatever packet size the backend reads in.
#ifndef TESTS_ADAPTER_USB_LAYER_CONTRACT_H
#define TESTS_ADAPTER_USB_LAYER_CONTRACT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "kitusb/usb_layer.h"
#include "simadapter/sim_adapter.h"

namespace tavrix_test {

namespace usb_contract {

constexpr uint8_t kRead = simadapter::kReadPipe;
constexpr uint8_t kWrite = simadapter::kWritePipe;
constexpr uint8_t kAck = simadapter::kAckPipe;
constexpr uint32_t kPipeTimeoutMs = 200;
constexpr uint8_t kGuard = 0xA5;

// count bytes first, first + 1, ...
inline std::vector<uint8_t> run(uint8_t first, size_t count) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

struct Transfer {
  bool ok = false;
  uint32_t count = 0;
  kitusb::UsbError error = kitusb::UsbError::kNone;  // the thread's last error after a failure
  std::vector<uint8_t> bytes;                        // what a read delivered
};

// For the rigs: the one adapter that a backend lists, opened; null when the
// backend lists none or more than one.
inline std::unique_ptr<kitusb::UsbDevice> open_the_adapter(kitusb::UsbBackend& backend) {
  std::vector<kitusb::UsbDeviceEntry> found;
  uint32_t total = 0;
  if (!backend.list_devices(0xA8FA, 0x8598, &found, &total) || found.size() != 1) return nullptr;
  return backend.open(found[0]);
}

}  // namespace usb_contract

template <typename Rig>
class UsbLayerContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig_.open()) << "the backend did not list and open the adapter";
    for (uint8_t pipe : {usb_contract::kRead, usb_contract::kWrite, usb_contract::kAck})
      device().set_pipe_timeout(pipe, usb_contract::kPipeTimeoutMs);
  }
  void TearDown() override { rig_.close(); }

  kitusb::UsbDevice& device() { return rig_.device(); }
  simadapter::SimAdapter& adapter() { return rig_.adapter(); }

  // One read into a buffer of `length` bytes, guarded by one byte after it.
  usb_contract::Transfer read(uint8_t pipe, uint32_t length) {
    std::vector<uint8_t> buffer(length + 1, usb_contract::kGuard);
    usb_contract::Transfer t;
    t.count = 0xFFFFFFFFu;
    t.ok = device().read_pipe(pipe, buffer.data(), length, &t.count);
    if (!t.ok) t.error = kitusb::last_error();
    EXPECT_EQ(buffer[length], usb_contract::kGuard) << "the read wrote past its buffer";
    EXPECT_LE(t.count, length);
    if (t.count <= length) t.bytes.assign(buffer.begin(), buffer.begin() + t.count);
    return t;
  }

  // A read that must succeed with exactly `expected`.
  ::testing::AssertionResult reads(uint8_t pipe, uint32_t length, const std::vector<uint8_t>& expected) {
    const usb_contract::Transfer t = read(pipe, length);
    if (!t.ok) return ::testing::AssertionFailure() << "the read failed with error " << static_cast<int>(t.error);
    if (t.bytes != expected)
      return ::testing::AssertionFailure() << "the read gave " << ::testing::PrintToString(t.bytes);
    return ::testing::AssertionSuccess();
  }

  usb_contract::Transfer write(const std::vector<uint8_t>& bytes) {
    usb_contract::Transfer t;
    t.count = 0xFFFFFFFFu;
    t.ok = device().write_pipe(usb_contract::kWrite, bytes.data(), static_cast<uint32_t>(bytes.size()), &t.count);
    if (!t.ok) t.error = kitusb::last_error();
    return t;
  }

  Rig rig_;
};

TYPED_TEST_SUITE_P(UsbLayerContract);

using kitusb::UsbError;
using usb_contract::kAck;
using usb_contract::kRead;
using usb_contract::run;

// What a transfer brought beyond a short read is what the next reads of the
// pipe return, alone: never joined with the next transfer.
TYPED_TEST_P(UsbLayerContract, ShortReadKeepsItsSurplusForTheNextReads) {
  this->adapter().inject_read(run(1, 24));
  this->adapter().inject_read(run(101, 8));
  EXPECT_TRUE(this->reads(kRead, 10, run(1, 10)));
  EXPECT_TRUE(this->reads(kRead, 5, run(11, 5)));
  EXPECT_TRUE(this->reads(kRead, 64, run(16, 9)));
  EXPECT_TRUE(this->reads(kRead, 64, run(101, 8)));
}

// A reset drops what its pipe kept from a short read, and nothing of any
// other pipe's.
TYPED_TEST_P(UsbLayerContract, ResetDropsWhatThePipeKept) {
  const size_t resets = this->adapter().pipe_resets(kRead);
  this->adapter().inject_read(run(1, 24));
  this->adapter().inject_ack(run(51, 24));
  ASSERT_TRUE(this->reads(kRead, 10, run(1, 10)));
  ASSERT_TRUE(this->reads(kAck, 10, run(51, 10)));
  ASSERT_TRUE(this->device().reset_pipe(kRead));
  EXPECT_EQ(this->adapter().pipe_resets(kRead), resets + 1);
  EXPECT_EQ(this->adapter().pipe_resets(kRead & 0x7F), 0u);  // the direction bit names the endpoint
  this->adapter().inject_read(run(101, 8));
  EXPECT_TRUE(this->reads(kRead, 64, run(101, 8)));
  EXPECT_TRUE(this->reads(kAck, 64, run(61, 14)));
}

// A transfer of full packets that never ends: the read runs out of time
// after the data came, and succeeds with it; the rest is kept as after any
// short read. With no data at all the time-out is a failure.
TYPED_TEST_P(UsbLayerContract, TimeOutAfterDataArrivedDeliversTheData) {
  this->adapter().inject_read(run(1, 64), UsbError::kTimeout);
  EXPECT_TRUE(this->reads(kRead, 10, run(1, 10)));
  EXPECT_TRUE(this->reads(kRead, 64, run(11, 54)));
  const auto t = this->read(kRead, 64);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.error, UsbError::kTimeout);
  EXPECT_EQ(t.count, 0u);
}

// A write succeeds only when every byte went out.
TYPED_TEST_P(UsbLayerContract, ShortWriteFails) {
  const std::vector<uint8_t> bytes = run(1, 16);
  this->adapter().cut_writes(1, 8, UsbError::kNone);  // ended short without an error
  auto t = this->write(bytes);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.count, 8u);
  EXPECT_EQ(t.error, UsbError::kGeneralFailure);
  this->adapter().cut_writes(1, 8, UsbError::kTimeout);  // ran out of time after 8 bytes
  t = this->write(bytes);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.count, 8u);
  EXPECT_EQ(t.error, UsbError::kTimeout);
  t = this->write(bytes);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.count, 16u);
}

// A read of no bytes returns at once, moves nothing and takes nothing: not
// the time-out's wait, not a packet waiting on the adapter (a transfer of no
// bytes would overflow on it and lose it), not the bytes kept.
TYPED_TEST_P(UsbLayerContract, ZeroLengthReadMovesAndTakesNothing) {
  EXPECT_TRUE(this->reads(kRead, 0, {}));
  this->adapter().inject_read(run(1, 24));
  EXPECT_TRUE(this->reads(kRead, 0, {}));
  EXPECT_TRUE(this->reads(kRead, 10, run(1, 10)));
  EXPECT_TRUE(this->reads(kRead, 0, {}));
  EXPECT_TRUE(this->reads(kRead, 64, run(11, 14)));
}

// A read that failed after its transfer moved more than it asked for leaves
// nothing of that transfer: its caller drops the failed read's data, and the
// next read starts with the next transfer.
TYPED_TEST_P(UsbLayerContract, FailedReadLeavesNothingOfItsTransfer) {
  this->adapter().inject_read(run(1, 24), UsbError::kGeneralFailure);
  this->adapter().inject_read(run(101, 8));
  const auto t = this->read(kRead, 10);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.error, UsbError::kGeneralFailure);
  EXPECT_TRUE(this->reads(kRead, 64, run(101, 8)));
}

// Unplugging ends a read in flight; every call after it fails as not
// connected, a pipe reset among them.
TYPED_TEST_P(UsbLayerContract, UnplugEndsAReadInFlightAndFailsEveryCall) {
  this->device().set_pipe_timeout(kRead, 20000);
  const auto start = std::chrono::steady_clock::now();
  auto reader = std::async(std::launch::async, [this] { return this->read(kRead, 64); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // in flight, most likely; either way it must end
  this->rig_.unplug();
  auto t = reader.get();
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.error, UsbError::kNotConnected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // not the 20 s time-out
  t = this->write(run(1, 8));
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.error, UsbError::kNotConnected);
  t = this->read(kRead, 64);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.error, UsbError::kNotConnected);
  EXPECT_FALSE(this->device().reset_pipe(kRead));
  EXPECT_EQ(kitusb::last_error(), UsbError::kNotConnected);
}

REGISTER_TYPED_TEST_SUITE_P(UsbLayerContract, ShortReadKeepsItsSurplusForTheNextReads, ResetDropsWhatThePipeKept,
                            TimeOutAfterDataArrivedDeliversTheData, ShortWriteFails, ZeroLengthReadMovesAndTakesNothing,
                            FailedReadLeavesNothingOfItsTransfer, UnplugEndsAReadInFlightAndFailsEveryCall);

}  // namespace tavrix_test

#endif  // TESTS_ADAPTER_USB_LAYER_CONTRACT_H
