// The demos' SerialPort and the flat library's ComPort closing a port whose
// handle runs one call at a time, as a Win32 comm handle without overlapped
// I/O does: while the peer holds a write, the reader's next read waits
// behind it, so a close that waited for the reader before it ended the
// write would wait as long as the line is held.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "com_port.h"
#include "serial_port.h"
#include "serialised_port.h"

using namespace std::chrono_literals;

namespace {

// The two port classes behind one shape.
struct DemoPort {
  demos::SerialPort port;
  bool open() { return port.open(serialised_port::kName, 500000); }
  bool write(const std::vector<uint8_t>& bytes) {
    return port.write(bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  bool close() { return port.close(); }
};

struct FlatPort {
  lv::ComPort port;
  bool open() { return port.open(serialised_port::kName); }
  bool write(const std::vector<uint8_t>& bytes) {
    return port.write(bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  bool close() {
    port.close();
    return !port.is_open();
  }
};

template <typename P>
class PortClose : public ::testing::Test {
 protected:
  void SetUp() override { serialised_port::reset(); }
  void TearDown() override {
    // Whatever failed, nothing is left waiting on the line.
    serialised_port::release_line();
    if (writer_.joinable()) writer_.join();
  }

  P port_;
  std::thread writer_;
  std::atomic<int> written_{-1};  // the writer's result: 1 true, 0 false
};

using PortClasses = ::testing::Types<DemoPort, FlatPort>;
TYPED_TEST_SUITE(PortClose, PortClasses);

TYPED_TEST(PortClose, EndsTheHeldWriteBeforeItWaitsForTheReader) {
  ASSERT_TRUE(this->port_.open());
  serialised_port::hold_line();
  this->writer_ = std::thread([this] {
    this->written_ = this->port_.write(std::vector<uint8_t>(68, 0x5A)) ? 1 : 0;
  });
  ASSERT_TRUE(serialised_port::wait_for_read_behind_held_write(10s))
      << "the reader's read did not come to wait behind the held write";

  auto closing = std::async(std::launch::async, [this] { return this->port_.close(); });
  if (closing.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "close() waits for the reader, which waits behind the held write";
    serialised_port::release_line();
  }
  EXPECT_TRUE(closing.get());
  this->writer_.join();
  EXPECT_EQ(this->written_.load(), 0) << "the held write reports failure";
  EXPECT_TRUE(serialised_port::written().empty());
  EXPECT_FALSE(serialised_port::is_open());
  EXPECT_THAT(serialised_port::faults(), ::testing::IsEmpty());
}

}  // namespace
