// pcan_demo and canfd_demo run unchanged against the simulator builds of
// their libraries (a simulated hand behind a simulated channel / adapter),
// found through LD_LIBRARY_PATH.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "child_process.h"

using demotest::ChildProcess;
using demotest::count_of;
using namespace std::chrono_literals;

namespace {

const std::string kSimLibPath = std::string("LD_LIBRARY_PATH=") + SIM_HAND_LIB_DIR;

TEST(PcanDemo, JointConsoleMovesJointsAndRefusesBadInput) {
  ChildProcess p;
  ASSERT_TRUE(p.start({PCAN_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(p.write_stdin("x\n5\n0\n"));  // letter, beyond the list, then channel 0
  ASSERT_TRUE(p.wait_for_output("Enter 'q' to quit.\n", 30s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("0 20\n"));
  ASSERT_TRUE(p.wait_for_output("Now angles: ", 20s)) << p.out();
  // The hand moves at its own pace; the next command shows where it got.
  std::string now;
  for (int i = 0; i < 50 && count_of(now, "=20.0") < 16; ++i) {
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(p.write_stdin("5\n20\n"));  // joint alone, angle on the next line
    ASSERT_TRUE(p.wait_for_output("Now angles: ", 20s, static_cast<size_t>(i + 2))) << p.out();
    const std::string out = p.out();
    now = out.substr(out.rfind("Now angles: "));
  }
  EXPECT_NE(now.find("J1=20.0  J2=20.0"), std::string::npos) << now;
  EXPECT_NE(now.find("J16=20.0\n"), std::string::npos) << now;
  ASSERT_TRUE(p.write_stdin("17 5\n-1 5\nabc\n2 xyz\nQ\n"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out() << p.err();

  const std::string out = p.out();
  EXPECT_EQ(out.rfind("Using standard CAN communication (1 Mbps).\n\nFound channels: 1\n  [0] channel 81 : ", 0), 0u)
      << out;
  EXPECT_NE(out.find("Please select the CAN channel [0 - 0]: Invalid input, please try again.\n"
                     "Please select the CAN channel [0 - 0]: Input out of range, please try again.\n"
                     "Please select the CAN channel [0 - 0]: CAN channel connected.\n\n"),
            std::string::npos);
  EXPECT_NE(out.find("DOF: total = 21, active = 16\n\n===== Joint Angle Test =====\n"
                     "Input format: <joint_id> <angle>\njoint_id: 1~16  (0 = set all joints)\nEnter 'q' to quit.\n"),
            std::string::npos);
  // Before the first angle list the stream's default format, afterwards 1 decimal.
  EXPECT_NE(out.find("Set all joints to 20\n"), std::string::npos);
  EXPECT_NE(out.find("Set joint 5 angle = 20.0\n"), std::string::npos);
  EXPECT_NE(out.find("joint_id out of range [0-16].\n"), std::string::npos);
  EXPECT_EQ(count_of(out, "joint_id out of range [0-16].\n"), 2u);
  EXPECT_NE(out.find("Invalid input, please retry.\n"), std::string::npos);
  EXPECT_NE(out.find("Invalid angle input, please retry.\n"), std::string::npos);
}

TEST(PcanDemo, EscEndsTheConsoleAndEndedInputToo) {
  ChildProcess p;
  ASSERT_TRUE(p.start({PCAN_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(p.write_stdin("0\n"));
  ASSERT_TRUE(p.wait_for_output("\n> ", 30s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("3 10\n\x1b"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out() << p.err();
  EXPECT_NE(p.out().find("Set joint 3 angle = 10\n"), std::string::npos) << p.out();

  ChildProcess q;
  ASSERT_TRUE(q.start({PCAN_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(q.write_stdin("0\n"));
  q.close_stdin();
  EXPECT_EQ(q.wait_exit(30s), 0) << q.out();
}

TEST(PcanDemo, WithoutChannelsItSaysSoAndEnds) {
  ChildProcess p;  // the SocketCAN build on a machine without can0..can9
  ASSERT_TRUE(p.start({PCAN_DEMO_PATH}, {"LD_LIBRARY_PATH="}, true));
  const int rc = p.wait_exit(30s);
  if (p.out().find("Found channels: 0\n") != std::string::npos) {
    EXPECT_EQ(rc, 255);
    EXPECT_NE(p.out().find("No CAN channel found.\nPress any key to continue . . .\n"), std::string::npos);
  }
}

TEST(CanfdDemo, MotionTestAgainstTheSimulatedAdapterAndHand) {
  ChildProcess p;
  ASSERT_TRUE(p.start({CANFD_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(p.write_stdin("0\n\n\n"));  // channel 0, node id 1, motion test
  ASSERT_TRUE(p.wait_for_output("line: 1 positions:", 40s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("\x1b"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out() << p.err();
  const std::string out = p.out();
  EXPECT_EQ(out.rfind("Using CANFD communication.\n\nDetected CANFD channels: 1\n\nInput 0 ---- channel 0 ", 0), 0u)
      << out;
  EXPECT_NE(out.find("CANFD connect succeeded.\n"), std::string::npos);
  EXPECT_NE(out.find("\nPlease enter CANFD node id (default 1) [1 - 255]\n"), std::string::npos);
  EXPECT_NE(out.find("DOF: total 11, active 6, hand_type 0\n"), std::string::npos);
  EXPECT_NE(out.find("line: 0 positions: 10000 0 0 0 0 0 retn: 0\n"), std::string::npos);
  EXPECT_NE(out.find("Esc pressed, exiting...\n"), std::string::npos);
  EXPECT_EQ(p.err().find("did not answer"), std::string::npos) << p.err();
}

TEST(CanfdDemo, NodeThatDoesNotAnswerIsReported) {
  ChildProcess p;
  ASSERT_TRUE(p.start({CANFD_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(p.write_stdin("0\n2\n1\n"));  // node id 2: the simulated hand is node 1
  ASSERT_TRUE(p.wait_for_output("[Sensor 11]", 30s)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("\x1b"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out();
  EXPECT_EQ(p.err(), "Warning: node 2 did not answer.\n");
}

TEST(CanfdDemo, SensorDisplayAndEmptyChannelAnswer) {
  ChildProcess p;
  ASSERT_TRUE(p.start({CANFD_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(p.write_stdin("0\n1\n1\n"));
  ASSERT_TRUE(p.wait_for_output("[Sensor 11]", 30s, 3)) << p.out() << p.err();
  ASSERT_TRUE(p.write_stdin("\x1b"));
  ASSERT_EQ(p.wait_exit(30s), 0) << p.out();
  EXPECT_NE(p.out().find(" NF["), std::string::npos);
  EXPECT_NE(p.out().find("\nEsc pressed, exiting...\n"), std::string::npos);

  // An empty line selects channel -1, which the adapter library refuses.
  ChildProcess q;
  ASSERT_TRUE(q.start({CANFD_DEMO_PATH}, {kSimLibPath}));
  ASSERT_TRUE(q.write_stdin("\n"));
  q.close_stdin();
  EXPECT_EQ(q.wait_exit(30s), 255) << q.out();
  EXPECT_NE(q.out().find("CANFD connect failed.\nPress any key to continue . . .\n"), std::string::npos);
}

}  // namespace
