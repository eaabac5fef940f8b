// rs485_bus_demo against two simulated hands (node ids 1 and 2) on one
// pseudo-terminal line, driven by a script on its standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "child_process.h"
#include "pty_hand.h"

using demotest::ChildProcess;
using demotest::count_of;
using namespace std::chrono_literals;

namespace {

const char kMenuEnd[] = "==========================================\nSelect operation [0 - 7]\n";

class Rs485BusDemoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(hand_.start()) << hand_.error(); }
  bool start_demo() { return demo_.start({RS485_BUS_DEMO_PATH, hand_.slave_path()}); }

  demos::PtyHand hand_{{1, 2}, 6};
  ChildProcess demo_;
};

TEST_F(Rs485BusDemoTest, EnableHomeMoveAndPrintBothNodes) {
  ASSERT_TRUE(start_demo());
  ASSERT_TRUE(demo_.write_stdin("\n"));  // empty line: port 0
  ASSERT_TRUE(demo_.wait_for_output(kMenuEnd, 30s)) << demo_.out() << demo_.err();
  ASSERT_TRUE(demo_.write_stdin("7\n"));
  ASSERT_TRUE(demo_.wait_for_output(kMenuEnd, 30s, 2)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin("4\n2\n3\n7000\n"));  // node 2, joint 3 to 7000
  ASSERT_TRUE(demo_.wait_for_output(kMenuEnd, 30s, 3)) << demo_.out();
  // The simulated joint needs about 0.35 s for 7000 units at 20000 units/s.
  for (int i = 0; i < 50 && hand_.model(1).snapshot().joints[2].position != 7000; ++i) std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(300ms);  // a poll or two carry the position back
  ASSERT_TRUE(demo_.write_stdin("6\n"));
  ASSERT_TRUE(demo_.wait_for_output(kMenuEnd, 30s, 4)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin("2\n\n"));  // disable node 1 (empty line selects it)
  ASSERT_TRUE(demo_.wait_for_output(kMenuEnd, 30s, 5)) << demo_.out();
  ASSERT_TRUE(demo_.write_stdin("\n"));  // empty line: exit
  ASSERT_EQ(demo_.wait_exit(30s), 0) << demo_.out() << demo_.err();

  const std::string out = demo_.out();
  EXPECT_EQ(out.rfind("RS485 dual-node example: Node 1 + Node 2 on one serial bus.\n  [0] " + hand_.slave_path() + "\n", 0), 0u)
      << out;
  EXPECT_NE(out.find("Initializing SDK for Node 1 ...\nNode 1 initialized: total DOF 11, active DOF 6, hand type 0\n"
                     "Initializing SDK for Node 2 ...\nNode 2 initialized: total DOF 11, active DOF 6, hand type 0\n"
                     "Both SDK instances are monitored by one SDK RS485 bus worker.\n"),
            std::string::npos);
  EXPECT_NE(out.find("Node 1 enable, result=0\nNode 2 enable, result=0\n"
                     "Node 1 home all motors, result=0\nNode 2 home all motors, result=0\n"),
            std::string::npos);
  EXPECT_EQ(count_of(out, "Waiting "), 0u) << "operation 7 prints no waiting line";
  EXPECT_NE(out.find("Joint ID (0 means all joints) [0 - 6]\nTarget position [0 - 10000]\n"
                     "Node 2 move joint 3 to 7000, result=0\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nNode 1 state\n axis | position | enable | reached | status | alarm\n"
                     "------+----------+--------+---------+--------+------\n    1 | "),
            std::string::npos);
  const size_t node2 = out.find("\nNode 2 state\n");
  ASSERT_NE(node2, std::string::npos);
  EXPECT_NE(out.find("    3 |     7000 |      1 |       1 |      1 |     0\n", node2), std::string::npos) << out.substr(node2);
  EXPECT_NE(out.find("Node 1 disable, result=0\n"), std::string::npos);
  EXPECT_EQ(count_of(out, "\n========== Dual-node RS485 test ==========\n  1 - Enable one node\n"), 5u);

  // Both hands were polled over the one line and saw their own commands.
  EXPECT_GT(hand_.line().polls_for(1), 5u);
  EXPECT_GT(hand_.line().polls_for(2), 5u);
  EXPECT_EQ(hand_.line().crc_errors(), 0u);
  EXPECT_GT(hand_.model(1).motion_commands_seen(), 0);
  const simhand::ModelSnapshot n2 = hand_.model(1).snapshot();
  EXPECT_NE(n2.joints[0].status & 0x10, 0) << "node 2 homed";
  EXPECT_EQ(n2.joints[2].position, 7000) << "node 2 joint 3 moved";
  EXPECT_EQ(n2.joints[1].position, 0) << "node 2 joint 2 stayed";
  const simhand::ModelSnapshot n1 = hand_.model(0).snapshot();
  EXPECT_EQ(n1.joints[0].status & 0x01, 0) << "node 1 disabled at the end";
}

TEST_F(Rs485BusDemoTest, OutOfRangeAnswersAreAskedAgainAndEndedInputExits) {
  ASSERT_TRUE(start_demo());
  ASSERT_TRUE(demo_.write_stdin("0\n8\nabc\n5\n2\n"));  // bad ops, then node 2's state
  ASSERT_TRUE(demo_.wait_for_output("\nNode 2 state\n", 30s)) << demo_.out();
  demo_.close_stdin();  // the next prompt gets its default: 0, exit
  ASSERT_EQ(demo_.wait_exit(30s), 0) << demo_.out();
  EXPECT_EQ(count_of(demo_.out(), "Input out of range, please try again.\n"), 2u);
}

TEST(Rs485BusDemoOneHand, SilentNodeIsReportedAndEndedInputMovesNothing) {
  demos::PtyHand hand({1}, 6);  // nothing answers as node 2
  ASSERT_TRUE(hand.start()) << hand.error();
  ChildProcess demo;
  ASSERT_TRUE(demo.start({RS485_BUS_DEMO_PATH, hand.slave_path()}));
  // Port 0, then "move": node 1, joint 3, and the input ends at the target.
  ASSERT_TRUE(demo.write_stdin("\n4\n1\n3\n"));
  demo.close_stdin();
  ASSERT_EQ(demo.wait_exit(30s), 0) << demo.out() << demo.err();
  const std::string out = demo.out();
  EXPECT_NE(out.find("Node 2 initialized: total DOF 11, active DOF 6, hand type 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Target position [0 - 10000]\nConsole input ended, operation abandoned.\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find(" move joint "), std::string::npos) << "nothing was moved";
  EXPECT_EQ(hand.model(0).motion_commands_seen(), 0);
  EXPECT_EQ(demo.err(), "Warning: node 2 did not answer.\n");
}

TEST(Rs485BusDemoPorts, NoPortNamedAndNoneFoundEndsAtOnce) {
  // A path that is no device is not listed, and the machine's own ports are
  // hidden from the test: nothing is found, so the demo ends without asking.
  ChildProcess p;
  ASSERT_TRUE(p.start({RS485_BUS_DEMO_PATH, "/nonexistent/tty"}, {}, true));
  EXPECT_EQ(p.wait_exit(30s), 255) << p.out() << p.err();
  EXPECT_EQ(p.err(), "Serial port /nonexistent/tty not found.\nNo serial port found.\n");
  EXPECT_EQ(p.out(), "RS485 dual-node example: Node 1 + Node 2 on one serial bus.\n");
}

TEST(Rs485BusDemoPorts, PortHeldByAnotherProgramIsReported) {
  demos::PtyHand hand({1, 2}, 6);
  ASSERT_TRUE(hand.start()) << hand.error();
  // Another program holds the line with the lock that every opener takes.
  const int holder = ::open(hand.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  ChildProcess p;
  ASSERT_TRUE(p.start({RS485_BUS_DEMO_PATH, hand.slave_path()}, {}, true));  // ended input: port 0
  EXPECT_EQ(p.wait_exit(30s), 255) << p.out() << p.err();
  ::close(holder);
  EXPECT_NE(p.out().find("  [0] " + hand.slave_path() + "\n"), std::string::npos) << p.out();
  EXPECT_EQ(p.err(), "Failed to open serial port " + hand.slave_path() + "\n");
  EXPECT_EQ(hand.line().polls_for(1), 0u) << "nothing was sent on a port that was not opened";
}

}  // namespace
