// SerialPort over a pseudo-terminal pair: the test plays the device on the
// master side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "kitserial/port_list.h"
#include "serial_port.h"

using namespace std::chrono_literals;

namespace {

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      char name[128] = {};
      if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
    }
  }
  ~PtyPair() {
    close_master();
    if (keeper_ >= 0) ::close(keeper_);
  }
  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& slave() const { return slave_; }
  int master() const { return master_; }
  // A descriptor of the slave side opened before the port under test, as a
  // simulator or another program holds it; -1 when it cannot be opened.
  int keeper() {
    if (keeper_ < 0) keeper_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return keeper_;
  }
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  bool write_all(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until count bytes arrived or the time ran out.
  std::vector<uint8_t> read_bytes(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[4096];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string slave_;
};

// Collects what the reader delivers.
struct Collector {
  std::mutex mutex;
  std::vector<uint8_t> bytes;
  std::vector<size_t> chunks;
  void add(const uint8_t* d, unsigned n) {
    std::lock_guard<std::mutex> lock(mutex);
    bytes.insert(bytes.end(), d, d + n);
    chunks.push_back(n);
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes.size();
  }
  bool wait_for(size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (size() < n) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }
};

TEST(SerialPort, ReaderDeliversEveryByteInOrderInChunksOfAtMost1024) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  demos::SerialPort port;
  Collector c;
  port.on_receive = [&c](const uint8_t* d, unsigned n) { c.add(d, n); };
  ASSERT_TRUE(port.open(pty.slave(), 500000));

  std::vector<uint8_t> sent(20000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  // Binary bytes that a cooked terminal would change: CR, LF, ^C, ^D, XON/XOFF.
  sent[0] = '\r';
  sent[1] = '\n';
  sent[2] = 0x03;
  sent[3] = 0x04;
  sent[4] = 0x11;
  sent[5] = 0x13;
  ASSERT_TRUE(pty.write_all(sent));
  ASSERT_TRUE(c.wait_for(sent.size(), 10s)) << c.size();
  EXPECT_TRUE(port.close());
  std::lock_guard<std::mutex> lock(c.mutex);
  EXPECT_EQ(c.bytes, sent);
  for (size_t n : c.chunks) EXPECT_LE(n, demos::SerialPort::kChunkBytes);
}

TEST(SerialPort, WritesFromSeveralThreadsArriveWholeAndUnmixed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  demos::SerialPort port;
  ASSERT_TRUE(port.open(pty.slave(), 500000));

  constexpr int kThreads = 4, kFrames = 50, kFrameBytes = 68;
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      std::vector<uint8_t> frame(kFrameBytes, static_cast<uint8_t>(0xA0 + t));
      for (int f = 0; f < kFrames; ++f)
        if (!port.write(frame.data(), kFrameBytes)) ++failures;
    });
  }
  std::vector<uint8_t> got = pty.read_bytes(kThreads * kFrames * kFrameBytes, 20s);
  for (auto& w : writers) w.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kFrames * kFrameBytes));
  for (size_t f = 0; f < got.size(); f += kFrameBytes)
    for (size_t i = 1; i < kFrameBytes; ++i) ASSERT_EQ(got[f + i], got[f]) << "frame at " << f << " mixed";
  EXPECT_TRUE(port.close());
}

TEST(SerialPort, OpenCloseContract) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  demos::SerialPort port;
  const uint8_t byte = 0x55;
  EXPECT_FALSE(port.close()) << "close of a closed port";
  EXPECT_FALSE(port.write(&byte, 1)) << "write on a closed port";
  EXPECT_FALSE(port.open("/nonexistent/tty", 500000));
  EXPECT_FALSE(port.open(pty.slave(), 12345)) << "baud rate the system does not know";
  ASSERT_TRUE(port.open(pty.slave(), 500000));
  EXPECT_FALSE(port.open(pty.slave(), 500000)) << "second open of an open port";
  EXPECT_TRUE(port.is_open());
  EXPECT_FALSE(port.write(nullptr, 1));
  EXPECT_FALSE(port.write(&byte, 0));
  EXPECT_TRUE(port.write(&byte, 1));
  // A second object cannot take the line while the first holds it.
  demos::SerialPort other;
  EXPECT_FALSE(other.open(pty.slave(), 500000));
  EXPECT_TRUE(port.close());
  EXPECT_FALSE(port.close());
  EXPECT_FALSE(port.write(&byte, 1));
  // Reopening after close works, and so does the other object now.
  EXPECT_TRUE(other.open(pty.slave(), 500000));
  EXPECT_TRUE(other.close());
}

TEST(SerialPort, LineLockedByAnotherProgramIsRefusedAndOursIsRemovedOnClose) {
  // A terminal program that takes only a UUCP lock file holds the line.
  char dir[] = "/tmp/demo_locks_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ::setenv("KITSERIAL_LOCK_DIR", dir, 1);
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const std::string lock = std::string(dir) + "/LCK.." + pty.slave().substr(5).replace(3, 1, "_");  // pts/N -> pts_N
  {
    std::ofstream(lock) << "         1\n";  // pid 1 is alive
  }
  demos::SerialPort port;
  EXPECT_FALSE(port.open(pty.slave(), 500000));
  std::remove(lock.c_str());
  ASSERT_TRUE(port.open(pty.slave(), 500000));
  EXPECT_EQ(::access(lock.c_str(), F_OK), 0) << "the open port holds the lock file";
  EXPECT_TRUE(port.close());
  EXPECT_NE(::access(lock.c_str(), F_OK), 0) << "close removes it";
  ::unsetenv("KITSERIAL_LOCK_DIR");
  ::rmdir(dir);
}

// A port open on a pseudo-terminal whose slave side another descriptor, the
// keeper, held before (a simulator, another program).
class SerialPortBesideKeeper : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    keeper_ = pty_.keeper();
    ASSERT_GE(keeper_, 0);
    ASSERT_TRUE(port_.open(pty_.slave(), 500000));
  }

  PtyPair pty_;
  int keeper_ = -1;
  demos::SerialPort port_;
};

TEST_F(SerialPortBesideKeeper, ExclusiveUseEndsWithClose) {
  // The keeper keeps the terminal alive: its exclusive flag must not
  // outlive our use of it, or the next program that is not root could not
  // open the line.
  int exclusive = -1;
  ASSERT_EQ(::ioctl(keeper_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_TRUE(port_.close());
  ASSERT_EQ(::ioctl(keeper_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST(SerialPort, KeepsTheDevicesFlowControlInRawMode) {
  // An RS485 converter wired for RTS/CTS is set up so by its owner; the
  // demo's port must not switch that off (the flat library's port does).
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const int keeper = pty.keeper();
  ASSERT_GE(keeper, 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  tio.c_cflag |= CRTSCTS;
  tio.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(::tcsetattr(keeper, TCSANOW, &tio), 0);
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  if (!(tio.c_cflag & CRTSCTS) || !(tio.c_iflag & IXOFF)) {
    GTEST_SKIP() << "this kernel's pseudo-terminals do not keep CRTSCTS or IXOFF";
  }
  {
    demos::SerialPort port;
    ASSERT_TRUE(port.open(pty.slave(), 500000));
    ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS) << "hardware flow control kept";
    EXPECT_TRUE(tio.c_iflag & IXOFF) << "input flow control kept";
    EXPECT_FALSE(tio.c_iflag & IXON) << "XON/XOFF bytes of a frame would be swallowed";
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B500000));
    EXPECT_TRUE(port.close());
  }
  // A device without flow control gets none.
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  ASSERT_EQ(::tcsetattr(keeper, TCSANOW, &tio), 0);
  demos::SerialPort port;
  ASSERT_TRUE(port.open(pty.slave(), 500000));
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(port.close());
}

TEST_F(SerialPortBesideKeeper, CloseEndsAWriteThatAStoppedLineHolds) {
  // The peer stops the line as its flow control would: a write waits for
  // room without a time-out, and close() must not wait with it.
  ASSERT_EQ(::tcflow(keeper_, TCOOFF), 0);
  std::atomic<int> written{-1};
  std::thread writer([&] {
    const std::vector<uint8_t> frame(68, 0x5A);
    written = port_.write(frame.data(), static_cast<unsigned>(frame.size())) ? 1 : 0;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(written.load(), -1) << "the write did not wait for the stopped line";
  auto closing = std::async(std::launch::async, [this] { return port_.close(); });
  if (closing.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "close() waits for the stopped line";
    ::tcflow(keeper_, TCOON);
  }
  EXPECT_TRUE(closing.get());
  writer.join();
  EXPECT_EQ(written.load(), 0) << "the held write reports failure";
}

TEST(SerialPort, NoCallbackRunsAfterCloseOrClearing) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto port = std::make_unique<demos::SerialPort>();
  std::atomic<bool> closed{false};
  std::atomic<int> late_calls{0};
  std::atomic<size_t> received{0};
  port->on_receive = [&](const uint8_t*, unsigned n) {
    if (closed.load()) ++late_calls;
    received += n;
  };
  ASSERT_TRUE(port->open(pty.slave(), 500000));
  std::atomic<bool> stop{false};
  // Non-blocking: once the port is closed nobody drains the terminal.
  ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
  std::thread feeder([&] {
    std::vector<uint8_t> chunk(256, 0x42);
    while (!stop.load()) {
      if (::write(pty.master(), chunk.data(), chunk.size()) < 0) std::this_thread::sleep_for(1ms);
    }
  });
  // Swap the callable while data flows; the reader sees one or the other.
  for (int i = 0; i < 50; ++i) {
    port->on_receive = [&](const uint8_t*, unsigned n) {
      if (closed.load()) ++late_calls;
      received += n;
    };
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(port->close());
  closed.store(true);
  std::this_thread::sleep_for(20ms);
  stop.store(true);
  feeder.join();
  EXPECT_GT(received.load(), 0u);
  EXPECT_EQ(late_calls.load(), 0);
  port.reset();  // destruction after close is fine
}

TEST(SerialPort, PeerVanishingLeavesThePortUsableAndClosable) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  demos::SerialPort port;
  Collector c;
  port.on_receive = [&c](const uint8_t* d, unsigned n) { c.add(d, n); };
  ASSERT_TRUE(port.open(pty.slave(), 500000));
  ASSERT_TRUE(pty.write_all({1, 2, 3}));
  ASSERT_TRUE(c.wait_for(3, 5s));
  pty.close_master();  // the device side is gone: reads fail, writes fail
  std::this_thread::sleep_for(50ms);
  const uint8_t byte = 0;
  EXPECT_FALSE(port.write(&byte, 1));
  EXPECT_TRUE(port.is_open());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.close());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

// The machine's own serial devices are hidden from these tests, so each list
// holds exactly the named ports that pass its check.
TEST(SerialPort, ListPutsNamedPortsFirstAndDropsWhatIsNoDevice) {
  PtyPair pty, other;
  ASSERT_TRUE(pty.ok() && other.ok());
  const std::vector<std::string> ports = demos::SerialPort::list_ports(
      {pty.slave(), "/nonexistent/ttyX", "/etc/hostname", other.slave(), pty.slave(), ""});
  EXPECT_EQ(ports, (std::vector<std::string>{pty.slave(), other.slave()}));
}

TEST(SerialPort, OpenableListIsThePresentListLessThePortsHeldNow) {
  // The demos and the flat library list the same scan of /dev; the flat
  // library's list drops what cannot be opened now.
  PtyPair pty, held;
  ASSERT_TRUE(pty.ok() && held.ok());
  const std::vector<std::string> both{held.slave(), pty.slave()};
  demos::SerialPort holder;
  ASSERT_TRUE(holder.open(held.slave(), 500000));
  EXPECT_EQ(kitserial::list_present_ports(both), both);
  EXPECT_EQ(kitserial::list_openable_ports(both), std::vector<std::string>{pty.slave()});
  EXPECT_TRUE(holder.close());
  EXPECT_EQ(kitserial::list_openable_ports(both), both);
}

}  // namespace
