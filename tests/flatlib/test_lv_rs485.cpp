// The RS485 path end to end over a pseudo-terminal: the serial port class
// alone, then lv_init on the port with a minimal hand on the master side.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "com_port.h"
#include "lv_identity.h"
#include "lv_instance.h"
#include "morvane/morvane_c.h"
#include "morvane_lv/morvane_lv.h"
#include "pty_hand.h"

namespace {

using flatlib_test::Pty;
using flatlib_test::PtyHand;
using flatlib_test::wait_for;
using flatlib_test::wait_for_firmware;
using flatlib_test::wait_for_hand_type;
using std::chrono::milliseconds;

// Serial lock files of this test go to a directory of its own, set before
// main() and so before any thread can read the environment.
class LockDir {
 public:
  LockDir() {
    char dir[] = "/tmp/kitserial_locks_XXXXXX";
    if (::mkdtemp(dir) == nullptr) return;
    path_ = dir;
    ::setenv("KITSERIAL_LOCK_DIR", dir, 1);
  }
  ~LockDir() {
    if (DIR* d = ::opendir(path_.c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') std::remove((path_ + "/" + e->d_name).c_str());
      }
      ::closedir(d);
    }
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  // The UUCP name of a device under /dev: /dev/pts/3 -> LCK..pts_3.
  std::string lock_of(const std::string& device) const {
    std::string name = device.substr(std::string("/dev/").size());
    std::replace(name.begin(), name.end(), '/', '_');
    return path_ + "/LCK.." + name;
  }

 private:
  std::string path_;
};

const LockDir g_lock_dir;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return in ? s.str() : std::string("<none>");
}

// A pid that names no process any more.
pid_t dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

size_t thread_count() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}

bool listed(const std::string& name) {
  const auto ports = lv::ComPort::scan_ports();
  return std::count(ports.begin(), ports.end(), name) == 1;
}

// ---- ComPort alone ----------------------------------------------------

TEST(ComPort, UucpLockFilesOfLiveProcessesAreHonouredOursAreTakenAndRemoved) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_FALSE(g_lock_dir.path().empty());
  const std::string lock = g_lock_dir.lock_of(pty.slave_name());
  lv::ComPort::set_extra_port_names({pty.slave_name()});
  lv::ComPort port;

  // Held by a live process (pid 1 always is), or by a lock we cannot read.
  for (const char* held : {"         1\n", "garbage\n", ""}) {
    write_text(lock, held);
    EXPECT_FALSE(listed(pty.slave_name())) << "lock '" << held << "'";
    EXPECT_FALSE(port.open(pty.slave_name())) << "lock '" << held << "'";
    EXPECT_EQ(read_text(lock), held) << "a live lock is left alone";
  }

  // A stale lock is replaced by ours, through a symbolic link too.
  write_text(lock, std::to_string(dead_pid()) + "\n");
  EXPECT_TRUE(listed(pty.slave_name()));
  const std::string link = g_lock_dir.path() + "/port-link";
  ASSERT_EQ(::symlink(pty.slave_name().c_str(), link.c_str()), 0);
  ASSERT_TRUE(port.open(link));
  char ours[16];
  std::snprintf(ours, sizeof ours, "%10d\n", static_cast<int>(::getpid()));
  EXPECT_EQ(read_text(lock), ours);
  lv::ComPort second;
  EXPECT_FALSE(second.open(pty.slave_name()));
  EXPECT_FALSE(listed(pty.slave_name()));
  EXPECT_EQ(read_text(lock), ours) << "a failed open leaves the holder's lock";
  port.close();
  EXPECT_EQ(read_text(lock), "<none>");
  std::remove(link.c_str());

  // Where no lock file can be made, the port still opens (flock and
  // TIOCEXCL keep it ours).
  ::setenv("KITSERIAL_LOCK_DIR", (g_lock_dir.path() + "/missing").c_str(), 1);
  EXPECT_TRUE(port.open(pty.slave_name()));
  EXPECT_FALSE(second.open(pty.slave_name()));
  port.close();
  ::setenv("KITSERIAL_LOCK_DIR", g_lock_dir.path().c_str(), 1);
  lv::ComPort::set_extra_port_names({});
}

TEST(ComPort, ClosingOrDestroyingFromTheReaderLeavesNoThread) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const size_t threads_before = thread_count();
  const uint8_t byte = 0x48;
  std::atomic<int> calls{0};
  {
    lv::ComPort port;
    port.set_on_receive([&](const uint8_t*, size_t n) {
      if (n == 0) return;  // a read that found nothing
      port.close();
      ++calls;
    });
    for (int round = 1; round <= 2; ++round) {
      // The second open joins the reader that closed its own port.
      ASSERT_TRUE(port.open(pty.slave_name())) << "round " << round;
      ASSERT_EQ(::write(pty.master(), &byte, 1), 1);
      ASSERT_TRUE(wait_for([&] { return calls.load() == round; }, milliseconds(5000)));
      EXPECT_FALSE(port.is_open());
      EXPECT_FALSE(port.write(&byte, 1));
    }
  }  // the destructor joins the last one
  EXPECT_EQ(thread_count(), threads_before);

  // Destroyed from inside its own receive function (an owner ending
  // everything from a callback).
  lv::ComPort* heap = new lv::ComPort();
  std::atomic<bool> destroyed{false};
  heap->set_on_receive([&](const uint8_t*, size_t n) {
    if (n == 0) return;
    delete heap;
    destroyed = true;
  });
  ASSERT_TRUE(heap->open(pty.slave_name()));
  ASSERT_EQ(::write(pty.master(), &byte, 1), 1);
  ASSERT_TRUE(wait_for([&] { return destroyed.load(); }, milliseconds(5000)));
  EXPECT_TRUE(wait_for([&] { return thread_count() == threads_before; }, milliseconds(5000)));
  // The port is free again.
  lv::ComPort again;
  EXPECT_TRUE(again.open(pty.slave_name()));
}

TEST(ComPort, BurstArrivesInOrderInChunksOfAtMost1024) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  lv::ComPort port;
  std::mutex m;
  std::vector<uint8_t> got;
  size_t largest = 0, chunks = 0;
  port.set_on_receive([&](const uint8_t* d, size_t n) {
    std::lock_guard<std::mutex> l(m);
    got.insert(got.end(), d, d + n);
    largest = std::max(largest, n);
    ++chunks;
  });
  ASSERT_TRUE(port.open(pty.slave_name()));
  std::vector<uint8_t> burst(3000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7 + 3);
  size_t done = 0;
  while (done < burst.size()) {
    const ssize_t n = ::write(pty.master(), burst.data() + done, burst.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
  }
  EXPECT_TRUE(wait_for([&] { std::lock_guard<std::mutex> l(m); return got.size() >= burst.size(); }, milliseconds(5000)));
  port.close();
  std::lock_guard<std::mutex> l(m);
  EXPECT_EQ(got, burst);
  EXPECT_LE(largest, 1024u);
  EXPECT_GE(chunks, 3u);
}

TEST(ComPort, WritesReachThePeerAndRefuseNothingToWrite) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  lv::ComPort port;
  const uint8_t bytes[] = {0x50, 0x01, 0xD0, 0x06, 0x12, 0x34};
  EXPECT_FALSE(port.write(bytes, sizeof bytes));  // closed
  ASSERT_TRUE(port.open(pty.slave_name()));
  EXPECT_FALSE(port.open(pty.slave_name()));  // already open
  EXPECT_FALSE(port.write(bytes, 0));
  EXPECT_FALSE(port.write(nullptr, 3));
  EXPECT_TRUE(port.write(bytes, sizeof bytes));
  std::vector<uint8_t> got;
  EXPECT_TRUE(wait_for([&] {
    uint8_t b[64];
    const ssize_t n = ::read(pty.master(), b, sizeof b);
    if (n > 0) got.insert(got.end(), b, b + n);
    return got.size() >= sizeof bytes;
  }, milliseconds(2000)));
  EXPECT_EQ(got, std::vector<uint8_t>(bytes, bytes + sizeof bytes));
  port.close();
  port.close();
  EXPECT_FALSE(port.is_open());
  EXPECT_FALSE(port.write(bytes, sizeof bytes));
}

TEST(ComPort, SwitchesFlowControlOffWhateverTheDeviceHad) {
  // A line left with RTS/CTS or XON/XOFF by another program would stall or
  // eat frame bytes: the flat library's port runs without either.
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const int keeper = ::open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(keeper, 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  tio.c_cflag |= CRTSCTS;
  tio.c_iflag |= IXON | IXOFF | IXANY;
  ASSERT_EQ(::tcsetattr(keeper, TCSANOW, &tio), 0);
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  if (!(tio.c_cflag & CRTSCTS)) {
    ::close(keeper);
    GTEST_SKIP() << "this kernel's pseudo-terminals do not keep CRTSCTS";
  }
  lv::ComPort port;
  ASSERT_TRUE(port.open(pty.slave_name()));
  ASSERT_EQ(::tcgetattr(keeper, &tio), 0);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | IXANY));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B500000));
  port.close();
  ::close(keeper);
}

TEST(ComPort, OpenIsExclusiveAndMissingPortsFail) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  lv::ComPort a, b;
  EXPECT_FALSE(a.open("/dev/does-not-exist-flatlib"));
  EXPECT_FALSE(a.open("/dev/null"));  // not a terminal
  ASSERT_TRUE(a.open(pty.slave_name()));
  EXPECT_FALSE(b.open(pty.slave_name()));
  lv::ComPort::set_extra_port_names({pty.slave_name()});
  auto listed = lv::ComPort::scan_ports();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), pty.slave_name()), 0);
  a.close();
  listed = lv::ComPort::scan_ports();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), pty.slave_name()), 1);
  EXPECT_TRUE(b.open(pty.slave_name()));
  lv::ComPort::set_extra_port_names({});
}

TEST(ComPort, PeerVanishingNeitherEndsTheReaderNorBlocksClose) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  lv::ComPort port;
  ASSERT_TRUE(port.open(pty.slave_name()));
  pty.close_master();  // reads now fail with EIO
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_TRUE(port.is_open());
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_FALSE(port.write(bytes, sizeof bytes));
  port.close();
}

// ---- lv_* over the pty ----------------------------------------------

class LvRs485 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    lv::ComPort::set_extra_port_names({pty_.slave_name()});
    hand_.reset(new PtyHand(pty_.master(), 1));
    hand_->start();
  }
  void TearDown() override {
    lv_close();
    if (hand_) hand_->stop();
    lv::ComPort::set_extra_port_names({});
  }

  int port_index() {
    const int n = lv_rs485_scan_device_count();
    for (int i = 0; i < n; ++i) {
      char name[256];
      if (lv_rs485_get_device_string(i, name, sizeof name) == 0 && pty_.slave_name() == name) return i;
    }
    return -1;
  }

  Pty pty_;
  std::unique_ptr<PtyHand> hand_;
};

TEST_F(LvRs485, OpensIdentifiesPollsAndDecodes) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  char name[256];
  ASSERT_EQ(lv_rs485_get_device_string(index, name, sizeof name), 0);
  EXPECT_EQ(pty_.slave_name(), name);
  char tiny[4];
  EXPECT_EQ(lv_rs485_get_device_string(index, tiny, sizeof tiny), 0);
  EXPECT_EQ(std::string(tiny), pty_.slave_name().substr(0, 3));

  hand_->set_position(1, 1234);
  hand_->set_position(6, 4321);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  EXPECT_TRUE(wait_for([&] { return hand_->param_reads() >= 3u; }, milliseconds(5000))) << hand_->param_reads();

  float fw = 0;
  EXPECT_TRUE(wait_for_firmware(1.23f, &fw)) << "firmware " << fw;
  int type = -1;
  EXPECT_TRUE(wait_for_hand_type(1, &type)) << "hand type " << type;

  // Polls every 30 ms or more bring the hand's state in.
  int pos1 = 0, pos6 = 0;
  EXPECT_TRUE(wait_for([&] {
    lv_get_now_position(1, &pos1);
    lv_get_now_position(6, &pos6);
    return pos1 != 0 && pos6 != 0;
  }, milliseconds(5000)));
  int cur = 0;
  EXPECT_EQ(lv_get_now_current(3, &cur), 0);
  EXPECT_EQ(cur, 30);
  int status = 0;
  EXPECT_EQ(lv_get_now_status(1, &status), 0);
  EXPECT_EQ(status, 1);  // run status of status byte 0x31: holding
  int enabled = 0;
  EXPECT_EQ(lv_get_enable(1, &enabled), 0);
  EXPECT_EQ(enabled, 1);
  EXPECT_GT(hand_->polls(), 0u);

  // While open the port is held exclusively, so discovery no longer lists it.
  EXPECT_LT(port_index(), 0);
  EXPECT_EQ(lv_get_lost_frames(), 0);
  EXPECT_EQ(hand_->crc_errors(), 0u);

  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_EQ(lv_get_now_position(1, &pos1), 2);
  EXPECT_EQ(port_index(), index);
}

TEST_F(LvRs485, ParameterReadsSucceedBehindAStrayStartBeforeEveryReply) {
  // Noise at each turn of the line opens a frame that only the line's
  // silence can end: polls go unanswered, so nothing follows a reply.
  hand_->set_stray_before_replies({'H', 0x01, 0x00, 64});
  hand_->set_answers_polls(false);
  hand_->set_param(0x2022, 21, 345);
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  float fw = 0;
  EXPECT_EQ(lv_get_firmware_version(&fw), 0);
  EXPECT_FLOAT_EQ(fw, 1.23f);  // identity read during lv_init
  for (int i = 0; i < 5; ++i) {
    int current = -1;
    ASSERT_EQ(lv_get_home_current(&current), 0) << "read " << i;
    EXPECT_EQ(current, 345);
  }
}

TEST_F(LvRs485, CommandsGoOutAsCheckedFrames) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  const size_t before = hand_->frames().size();
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  // The call returns once the bus worker handed the frame to the port.
  bool seen = wait_for([&] {
    const auto frames = hand_->frames();
    for (size_t i = before; i < frames.size(); ++i) {
      if (frames[i].size() == 68 && frames[i][0] == 0x50 && frames[i][1] == 0x01) return true;
    }
    return false;
  }, milliseconds(3000));
  EXPECT_TRUE(seen);
}

TEST_F(LvRs485, SilentHandStillOpensAndInitWhileOpenReplacesTheInstance) {
  hand_->set_silent(true);
  const int index = port_index();
  ASSERT_GE(index, 0);
  // A hand that never answers does not fail the start (identity reads time out).
  ASSERT_EQ(lv_init(2, index, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  // lv_init while open ends the first instance, freeing its port, and opens anew.
  ASSERT_EQ(lv_init(2, index, 1), 0);
  EXPECT_EQ(lv_is_connected(), 1);
  // A bad transport ends the open instance too.
  EXPECT_EQ(lv_init(3, 0, 1), -10);
  EXPECT_EQ(lv_is_connected(), 0);
  int v = 0;
  EXPECT_EQ(lv_get_dof(&v, &v), 2);
  lv_close();
  lv_close();
}

TEST_F(LvRs485, HandVanishingMidRunLeavesCloseWorking) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  hand_->stop();
  pty_.close_master();
  // Commands still return (the frame is simply not delivered).
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(lv_is_connected(), 1);
  lv_close();
  EXPECT_EQ(lv_is_connected(), 0);
}

// Reads a whole text file.
std::string slurp(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

TEST_F(LvRs485, LogFunctionsPassTheirFlagsThrough) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  std::vector<int> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = i;
  EXPECT_EQ(lv_log_send(all.data(), 256), 0);
  EXPECT_EQ(lv_log_recv(all.data(), 256), 0);
  lv_log_on(5, 100);  // any non-zero value switches logging on
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  const size_t polls = hand_->polls();
  ASSERT_TRUE(wait_for([&] { return hand_->polls() >= polls + 4; }, milliseconds(3000)));
  char dir_template[] = "/tmp/lv_log_XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  ASSERT_EQ(lv_log_save((dir + "/both.txt").c_str()), 0);
  const std::string both = slurp(dir + "/both.txt");
  EXPECT_NE(both.find("Send: "), std::string::npos);
  EXPECT_NE(both.find("Recv: "), std::string::npos);
  EXPECT_EQ(lv_log_save((dir + "/both.txt").c_str()), 9);  // never over an existing file

  // 0 keeps the send filter, 7 clears the receive filter.
  lv_log_reset(0, 7);
  lv_log_clear();
  EXPECT_EQ(lv_set_enable(0, 1), 0);
  const size_t polls2 = hand_->polls();
  ASSERT_TRUE(wait_for([&] { return hand_->polls() >= polls2 + 4; }, milliseconds(3000)));
  lv_log_on(0, 100);
  ASSERT_EQ(lv_log_save((dir + "/send_only.txt").c_str()), 0);
  const std::string send_only = slurp(dir + "/send_only.txt");
  EXPECT_NE(send_only.find("Send: "), std::string::npos);
  EXPECT_EQ(send_only.find("Recv: "), std::string::npos);
  std::remove((dir + "/both.txt").c_str());
  std::remove((dir + "/send_only.txt").c_str());
  ::rmdir(dir.c_str());

  // An array getter reaches the hand too (no tactile data here, so no array).
  float* values = nullptr;
  int count = -1;
  EXPECT_NE(lv_get_finger_pressure(1, &values, &count), 2);
  morvane_free_buffer(values);
}

TEST_F(LvRs485, SendFunctionRefusesWithoutARunningInstance) {
  const uint8_t frame[] = {0x50, 0x01, 0xD0, 0x06};
  EXPECT_FALSE(lv::lv_send_rs485(frame, sizeof frame));
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  lv_close();
  EXPECT_FALSE(lv::lv_send_rs485(frame, sizeof frame));
}

TEST_F(LvRs485, ConcurrentCallsAndClosesAreSafe) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  ASSERT_EQ(lv_init(2, index, 1), 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    int v = 0;
    while (!stop) {
      const int r = lv_get_now_position(1, &v);
      EXPECT_TRUE(r == 0 || r == 2);
      lv_is_connected();
      lv_get_lost_frames();
    }
  });
  std::thread closer([&] { lv_close(); });
  lv_close();
  closer.join();
  stop = true;
  reader.join();
  EXPECT_EQ(lv_is_connected(), 0);
}

TEST_F(LvRs485, OpenCloseCyclesBesideCommandsAndDiscovery) {
  const int index = port_index();
  ASSERT_GE(index, 0);
  std::atomic<bool> stop{false};
  std::thread commands([&] {
    int v = 0;
    while (!stop) {
      const int r = lv_set_enable(0, 1);
      EXPECT_TRUE(r == 0 || r == 2) << r;
      lv_get_now_position(1, &v);
      lv_get_lost_frames();
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  std::thread discovery([&] {
    char buf[64];
    while (!stop) {
      lv_rs485_scan_device_count();
      lv_rs485_get_device_string(0, buf, sizeof buf);
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  int opened = 0;
  for (int i = 0; i < 3; ++i) {
    // A discovery probe that holds the port at that instant makes the open
    // fail (-2), as on any exclusive port.
    const int r = lv_init(2, index, 1);
    EXPECT_TRUE(r == 0 || r == -2) << r;
    if (r == 0) ++opened;
    std::this_thread::sleep_for(milliseconds(50));
    lv_close();
  }
  stop = true;
  commands.join();
  discovery.join();
  EXPECT_EQ(lv_is_connected(), 0);
  EXPECT_GE(opened, 1);  // a probe hitting all three opens is not plausible
}

}  // namespace
