// rs485_demo against simulated hands behind a pseudo-terminal, driven by a
// script on its standard input.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "child_process.h"
#include "pty_hand.h"

using demotest::ChildProcess;
using demotest::count_of;
using namespace std::chrono_literals;

namespace {

const char kEsc[] = "\x1b";

class Rs485DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hand_.start()) << hand_.error();
  }
  bool start_demo() { return demo_.start({RS485_DEMO_PATH, hand_.slave_path()}); }

  demos::PtyHand hand_{{1}, 6};
  ChildProcess demo_;
};

TEST_F(Rs485DemoTest, MotionTestRunsRowsAndEndsOnEsc) {
  ASSERT_TRUE(start_demo());
  ASSERT_TRUE(demo_.write_stdin("0\n\n"));  // port 0; empty line: motion test
  ASSERT_TRUE(demo_.wait_for_output("line: 1 positions:", 30s)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin("x"));  // another key: consumed, ignored
  ASSERT_TRUE(demo_.wait_for_output("line: 2 positions:", 10s)) << demo_.out();
  // After row 6 the table starts again at row 0.
  ASSERT_TRUE(demo_.wait_for_output("line: 0 positions:", 20s, 2)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin(kEsc));
  ASSERT_EQ(demo_.wait_exit(20s), 0) << demo_.out() << demo_.err();

  const std::string out = demo_.out();
  EXPECT_NE(out.find("Using RS485 communication.\n\nDetected serial ports: "), std::string::npos);
  EXPECT_NE(out.find("Input 0 ---- port " + hand_.slave_path() + "\n"), std::string::npos);
  EXPECT_NE(out.find("Opening serial port " + hand_.slave_path() + " ...\nSerial port opened successfully.\n"),
            std::string::npos);
  EXPECT_NE(out.find("Morvane init succeeded.\nDOF: total 11, active 6, hand_type 0\n"), std::string::npos);
  EXPECT_NE(out.find("Waiting for enable...\nHoming node...\nStarting cyclic motion test...\nPress Esc to exit.\n"),
            std::string::npos);
  EXPECT_NE(out.find("line: 0 positions: 10000 0 0 0 0 0 retn: 0\n"), std::string::npos);
  // Each row moves one joint to 10000, row 2 brings all back to 0, one row a
  // second, in this order.
  const std::string rows =
      "line: 0 positions: 10000 0 0 0 0 0 retn: 0\n"
      "line: 1 positions: 0 10000 0 0 0 0 retn: 0\n"
      "line: 2 positions: 0 0 0 0 0 0 retn: 0\n"
      "line: 3 positions: 0 0 10000 0 0 0 retn: 0\n"
      "line: 4 positions: 0 0 0 10000 0 0 retn: 0\n"
      "line: 5 positions: 0 0 0 0 10000 0 retn: 0\n"
      "line: 6 positions: 0 0 0 0 0 10000 retn: 0\n"
      "line: 0 positions: 10000 0 0 0 0 0 retn: 0\n";
  EXPECT_NE(out.find(rows), std::string::npos) << out;
  EXPECT_NE(out.find("Esc pressed, exiting...\n"), std::string::npos);
  EXPECT_EQ(demo_.err(), "");

  // The hand saw enable, home and the motion rows through the pty.
  const simhand::ModelSnapshot s = hand_.model(0).snapshot();
  EXPECT_NE(s.joints[0].status & 0x01, 0) << "joint 1 not enabled";
  EXPECT_NE(s.joints[0].status & 0x10, 0) << "joint 1 not homed";
  EXPECT_GT(hand_.model(0).motion_commands_seen(), 0);
  EXPECT_GT(hand_.line().polls_for(1), 10u);
  EXPECT_EQ(hand_.line().crc_errors(), 0u);
}

TEST_F(Rs485DemoTest, SensorDisplayRedrawsInPlace) {
  ASSERT_TRUE(start_demo());
  ASSERT_TRUE(demo_.write_stdin("0\n1\n"));
  ASSERT_TRUE(demo_.wait_for_output("[Sensor 11]", 20s, 3)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin(kEsc));
  ASSERT_EQ(demo_.wait_exit(20s), 0) << demo_.out() << demo_.err();

  const std::string out = demo_.out();
  const size_t blocks = count_of(out, "\x1b[2K----------------------------------------\n");
  ASSERT_GE(blocks, 3u);
  // The first block does not move the cursor; every later one moves up 7.
  EXPECT_EQ(count_of(out, "\x1b[7A"), blocks - 1);
  EXPECT_NE(out.find("Starting sensor data test...\nPress Esc to exit.\n"), std::string::npos);
  // Hand type 0: full lines with forces and directions.
  EXPECT_NE(out.find("\x1b[2K  [Sensor  1] pressure["), std::string::npos);
  EXPECT_NE(out.find(" NF["), std::string::npos);
  EXPECT_NE(out.find("\nEsc pressed, exiting...\n"), std::string::npos);
  // A block: the rule, then channels 1, 3, 5, 7, 9 and 11, one line each.
  const size_t block = out.find("\x1b[2K----------------------------------------\n");
  size_t at = block;
  for (const char* id : {" 1", " 3", " 5", " 7", " 9", "11"}) {
    const size_t line = out.find('\n', at) + 1;
    const std::string head = std::string("\x1b[2K  [Sensor ") + id + "] pressure[";
    EXPECT_EQ(out.compare(line, head.size(), head), 0)
        << "channel " << id << " in " << out.substr(block, 400);
    at = line;
  }
}

TEST_F(Rs485DemoTest, MissingNamedPortIsReportedAndEmptyPortAnswerFailsWithoutIndexing) {
  ASSERT_TRUE(demo_.start({RS485_DEMO_PATH, "/dev/ttyUSB-missing", hand_.slave_path()}));
  ASSERT_TRUE(demo_.write_stdin("\n"));
  demo_.close_stdin();
  EXPECT_EQ(demo_.wait_exit(20s), 255) << demo_.out();
  EXPECT_NE(demo_.out().find("Input 0 ---- port " + hand_.slave_path() + "\n"), std::string::npos) << demo_.out();
  EXPECT_NE(demo_.out().find("Failed to open serial port.\n"), std::string::npos);
  EXPECT_EQ(demo_.err(), "Serial port /dev/ttyUSB-missing not found.\n");
}

TEST_F(Rs485DemoTest, EndedInputEndsTheMotionTest) {
  ASSERT_TRUE(start_demo());
  ASSERT_TRUE(demo_.write_stdin("0\n0\n"));
  demo_.close_stdin();  // no Esc can come: the test must still end
  EXPECT_EQ(demo_.wait_exit(30s), 0) << demo_.out();
}

TEST(Rs485DemoHandType1, SensorDisplayShowsPressureOnly) {
  demos::PtyHand hand({1}, 5);  // model code 5: hand type 1
  ASSERT_TRUE(hand.start()) << hand.error();
  ChildProcess demo;
  ASSERT_TRUE(demo.start({RS485_DEMO_PATH, hand.slave_path()}));
  ASSERT_TRUE(demo.write_stdin("0\n1\n"));
  ASSERT_TRUE(demo.wait_for_output("[Sensor 11]", 20s, 2)) << demo.out();
  ASSERT_TRUE(demo.write_stdin(kEsc));
  ASSERT_EQ(demo.wait_exit(20s), 0) << demo.out();
  EXPECT_NE(demo.out().find("DOF: total 11, active 6, hand_type 1\n"), std::string::npos) << demo.out();
  EXPECT_NE(demo.out().find("\x1b[2K  [Sensor  1] pressure["), std::string::npos);
  EXPECT_EQ(demo.out().find(" NF["), std::string::npos);
}

TEST(Rs485DemoPorts, BusyPortIsRefused) {
  demos::PtyHand hand({1}, 6);
  ASSERT_TRUE(hand.start()) << hand.error();
  ChildProcess first, second;
  ASSERT_TRUE(first.start({RS485_DEMO_PATH, hand.slave_path()}));
  ASSERT_TRUE(first.write_stdin("0\n"));
  ASSERT_TRUE(first.wait_for_output("Serial port opened successfully.", 20s));
  ASSERT_TRUE(second.start({RS485_DEMO_PATH, hand.slave_path()}));
  ASSERT_TRUE(second.write_stdin("0\n"));
  second.close_stdin();
  EXPECT_EQ(second.wait_exit(20s), 255) << second.out();
  EXPECT_NE(second.out().find("Failed to open serial port.\n"), std::string::npos);
  first.close_stdin();
  EXPECT_EQ(first.wait_exit(30s), 0);
}

}  // namespace
