// The Windows builds of the demo programs under wine: rs485_demo and
// rs485_bus_demo against simulated hands behind a pseudo-terminal that the
// wine prefix maps to a COM port of the test's own, pcan_demo through the
// stand-in PCANBasic.dll and without any, canfd_demo through a stand-in
// libusbK.dll with a simulated adapter and hand. Same scripts and texts as the
// Linux runs; wine's console output ends lines with CR LF, dropped here.
//
// Set up by scripts/windows.sh: KIT_WIN_BIN_DIR (the Windows build's
// programs and DLLs), KIT_WIN_PCAN_STAND_IN_DIR (the stand-in DLL's folder),
// KIT_WIN_CANFD_STAND_IN_DIR (canfd_demo.exe beside its stand-in libusbK.dll),
// KIT_WINE_DEMO_COM (a COM name) and KIT_WINE_DEMO_LINK (the path
// that the prefix's port table maps that name to; the test points it at its
// own pseudo-terminal). Without them, or when the prefix maps the COM name
// elsewhere, the tests skip with the reason.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "child_process.h"
#include "pty_hand.h"

using demotest::ChildProcess;
using demotest::count_of;
using namespace std::chrono_literals;

namespace {

const char kEsc[] = "\x1b";

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string without_cr(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string read_link(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

class WineDemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_dir_ = env_or_empty("KIT_WIN_BIN_DIR");
    if (bin_dir_.empty()) GTEST_SKIP() << "KIT_WIN_BIN_DIR not set: run by scripts/windows.sh";
  }

  // Starts <bin>/<name>.exe under wine, in that folder; dll_path: folders
  // added to the program's DLL search path.
  bool start(ChildProcess* p, const std::string& name, const std::string& dll_path = "") {
    return start_in(p, bin_dir_, name, dll_path);
  }
  static bool start_in(ChildProcess* p, const std::string& dir, const std::string& name,
                       const std::string& dll_path = "") {
    return p->start({"/bin/sh", "-c", "cd \"$0\" && exec wine ./\"$1\".exe", dir, name}, {"WINEPATH=" + dll_path});
  }

  std::string bin_dir_;
};

// The RS485 demos: a simulated hand behind a pseudo-terminal that the COM
// name reaches, and the demo's index of that name in its printed list.
class WineRs485Test : public WineDemoTest {
 protected:
  void SetUp() override {
    WineDemoTest::SetUp();
    if (IsSkipped()) return;
    com_ = env_or_empty("KIT_WINE_DEMO_COM");
    link_ = env_or_empty("KIT_WINE_DEMO_LINK");
    const std::string prefix = env_or_empty("WINEPREFIX");
    if (com_.empty() || link_.empty() || prefix.empty())
      GTEST_SKIP() << "KIT_WINE_DEMO_COM, KIT_WINE_DEMO_LINK or WINEPREFIX not set";
    // The port must lead to our link and nowhere else (wine maps COM1 to the
    // machine's /dev/ttyS0 unless told otherwise).
    const std::string mapped = read_link(prefix + "/dosdevices/" + lower(com_));
    if (mapped != link_) GTEST_SKIP() << com_ << " of the wine prefix leads to '" << mapped << "', not to " << link_;
    if (::access(link_.c_str(), F_OK) == 0 && read_link(link_).empty())
      GTEST_SKIP() << link_ << " exists and is not a link of this test";
    ASSERT_TRUE(hand_.start()) << hand_.error();
    ::unlink(link_.c_str());
    ASSERT_EQ(::symlink(hand_.slave_path().c_str(), link_.c_str()), 0);
  }
  void TearDown() override {
    if (!link_.empty() && read_link(link_) == hand_.slave_path()) ::unlink(link_.c_str());
  }

  // Waits for the port list and answers with the index of our port; skips
  // (after ending the demo) when the registry list does not show it.
  void choose_our_port(ChildProcess* p, const std::string& list_end) {
    ASSERT_TRUE(p->wait_for_output(list_end, 60s)) << p->out() << p->err();
    const std::string out = without_cr(p->out());
    for (size_t i = 0; i < 256; ++i) {
      for (const std::string& form : {"Input " + std::to_string(i) + " ---- port " + com_ + "\n",
                                      "  [" + std::to_string(i) + "] " + com_ + "\n"}) {
        if (out.find(form) != std::string::npos) {
          index_ = static_cast<int>(i);
          return;
        }
      }
    }
    p->close_stdin();
    p->wait_exit(30s);
    GTEST_SKIP() << com_ << " is not in the demo's port list:\n" << out;
  }

  demos::PtyHand hand_{{1, 2}, 6};  // node 2 for rs485_bus_demo
  std::string com_, link_;
  int index_ = -1;
};

TEST_F(WineRs485Test, Rs485DemoMotionAndSensorDisplayEndOnEsc) {
  ChildProcess demo;
  ASSERT_TRUE(start(&demo, "rs485_demo"));
  choose_our_port(&demo, "Please select the serial port");
  if (IsSkipped()) return;
  ASSERT_TRUE(demo.write_stdin(std::to_string(index_) + "\n\n"));  // empty line: motion test
  ASSERT_TRUE(demo.wait_for_output("line: 1 positions:", 60s)) << demo.out() << demo.err();
  ASSERT_TRUE(demo.write_stdin("x"));  // another key: consumed, ignored
  ASSERT_TRUE(demo.wait_for_output("line: 2 positions:", 20s)) << demo.out();
  ASSERT_TRUE(demo.write_stdin(kEsc));
  ASSERT_EQ(demo.wait_exit(30s), 0) << demo.out() << demo.err();
  std::string out = without_cr(demo.out());
  EXPECT_NE(out.find("Opening serial port " + com_ + " ...\nSerial port opened successfully.\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Morvane init succeeded.\nDOF: total 11, active 6, hand_type 0\n"), std::string::npos);
  EXPECT_NE(out.find("line: 0 positions: 10000 0 0 0 0 0 retn: 0\n"
                     "line: 1 positions: 0 10000 0 0 0 0 retn: 0\n"),
            std::string::npos);
  EXPECT_NE(out.find("Esc pressed, exiting...\n"), std::string::npos);
  EXPECT_GT(hand_.line().polls_for(1), 5u);
  EXPECT_EQ(hand_.line().crc_errors(), 0u);

  // The tactile display redraws in place; the end of input also ends it.
  ChildProcess sensors;
  ASSERT_TRUE(start(&sensors, "rs485_demo"));
  ASSERT_TRUE(sensors.write_stdin(std::to_string(index_) + "\n1\n"));
  ASSERT_TRUE(sensors.wait_for_output("[Sensor 11]", 60s, 3)) << sensors.out() << sensors.err();
  sensors.close_stdin();
  ASSERT_EQ(sensors.wait_exit(30s), 0) << sensors.out() << sensors.err();
  out = without_cr(sensors.out());
  EXPECT_NE(out.find("Starting sensor data test...\nPress Esc to exit.\n\x1b[2K----"), std::string::npos) << out;
  EXPECT_NE(out.find("\x1b[7A\x1b[2K----"), std::string::npos);
}

TEST_F(WineRs485Test, Rs485BusDemoMenuAndEndedInput) {
  ChildProcess demo;
  ASSERT_TRUE(start(&demo, "rs485_bus_demo"));
  choose_our_port(&demo, "Select serial port");
  if (IsSkipped()) return;
  ASSERT_TRUE(demo.write_stdin(std::to_string(index_) + "\n"));
  ASSERT_TRUE(demo.wait_for_output("Select operation [0 - 7]", 60s)) << demo.out() << demo.err();
  ASSERT_TRUE(demo.write_stdin("7\n5\n1\n"));  // enable and home; node 1's state
  ASSERT_TRUE(demo.wait_for_output("Select operation [0 - 7]", 60s, 3)) << demo.out();
  demo.close_stdin();  // the next prompt gets its default: 0, exit
  ASSERT_EQ(demo.wait_exit(30s), 0) << demo.out() << demo.err();
  const std::string out = without_cr(demo.out());
  EXPECT_NE(out.find("Node 1 initialized: total DOF 11, active DOF 6, hand type 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Node 1 enable, result=0\nNode 2 enable, result=0\n"), std::string::npos) << out;
}

TEST_F(WineDemoTest, PcanDemoThroughStandInLibrary) {
  const std::string stand_in = env_or_empty("KIT_WIN_PCAN_STAND_IN_DIR");
  if (stand_in.empty()) GTEST_SKIP() << "KIT_WIN_PCAN_STAND_IN_DIR not set";
  ChildProcess p;
  ASSERT_TRUE(start(&p, "pcan_demo", stand_in));
  ASSERT_TRUE(p.write_stdin("x\n5\n0\n"));  // letter, beyond the list, then channel 0
  ASSERT_TRUE(p.wait_for_output("Enter 'q' to quit.", 60s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("0 20\n"));
  ASSERT_TRUE(p.wait_for_output("Now angles: ", 30s)) << p.out();
  std::string now;
  for (int i = 0; i < 50 && count_of(now, "=20.0") < 16; ++i) {
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.write_stdin("5 20\n"));
    ASSERT_TRUE(p.wait_for_output("Now angles: ", 30s, static_cast<size_t>(i + 2))) << p.out();
    const std::string out = without_cr(p.out());
    now = out.substr(out.rfind("Now angles: "));
  }
  EXPECT_NE(now.find("J1=20.0  J2=20.0"), std::string::npos) << now;
  ASSERT_TRUE(p.write_stdin("17 5\n\x1b"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out() << p.err();
  const std::string out = without_cr(p.out());
  EXPECT_NE(out.find("Found channels: 1\n  [0] channel 81 : "), std::string::npos) << out;
  EXPECT_NE(out.find("Invalid input, please try again.\n"), std::string::npos);
  EXPECT_NE(out.find("Input out of range, please try again.\n"), std::string::npos);
  EXPECT_NE(out.find("joint_id out of range [0-16].\n"), std::string::npos);
  EXPECT_NE(out.find("Esc pressed, exiting...\n"), std::string::npos);
}

TEST_F(WineDemoTest, PcanDemoWithoutTheLibraryEndsWithItsReason) {
  ChildProcess p;
  ASSERT_TRUE(start(&p, "pcan_demo"));
  p.close_stdin();
  ASSERT_EQ(p.wait_exit(60s), 255) << p.out() << p.err();
  EXPECT_NE(without_cr(p.err()).find("PCANBasic.dll could not be loaded (error 126)"), std::string::npos) << p.err();
  EXPECT_NE(without_cr(p.out()).find("Found channels: 0\nNo CAN channel found.\n"), std::string::npos) << p.out();
}

// canfd_demo.exe with Tavrix.dll beside a stand-in libusbK.dll that serves a
// simulated adapter with a simulated 6-joint hand (node 1) on its bus.
TEST_F(WineDemoTest, CanfdDemoAgainstTheSimulatedAdapterAndHand) {
  const std::string dir = env_or_empty("KIT_WIN_CANFD_STAND_IN_DIR");
  if (dir.empty()) GTEST_SKIP() << "KIT_WIN_CANFD_STAND_IN_DIR not set";
  ChildProcess p;
  ASSERT_TRUE(start_in(&p, dir, "canfd_demo"));
  ASSERT_TRUE(p.write_stdin("0\n\n\n"));  // channel 0, node id 1, motion test
  ASSERT_TRUE(p.wait_for_output("line: 1 positions:", 60s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin(kEsc));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out() << p.err();
  const std::string out = without_cr(p.out());
  EXPECT_EQ(out.rfind("Using CANFD communication.\n\nDetected CANFD channels: 1\n\nInput 0 ---- channel 0 ", 0), 0u)
      << out;
  EXPECT_NE(out.find("CANFD connect succeeded.\n"), std::string::npos);
  EXPECT_NE(out.find("DOF: total 11, active 6, hand_type 0\n"), std::string::npos);
  EXPECT_NE(out.find("line: 0 positions: 10000 0 0 0 0 0 retn: 0\n"), std::string::npos);
  EXPECT_NE(out.find("Esc pressed, exiting...\n"), std::string::npos);
  EXPECT_EQ(p.err().find("did not answer"), std::string::npos) << p.err();

  // The tactile display; the end of input ends it.
  ChildProcess sensors;
  ASSERT_TRUE(start_in(&sensors, dir, "canfd_demo"));
  ASSERT_TRUE(sensors.write_stdin("0\n1\n1\n"));
  ASSERT_TRUE(sensors.wait_for_output("[Sensor 11]", 60s, 3)) << sensors.out() << sensors.err();
  sensors.close_stdin();
  ASSERT_EQ(sensors.wait_exit(30s), 0) << sensors.out() << sensors.err();
  EXPECT_NE(sensors.out().find(" NF["), std::string::npos);
}

}  // namespace
