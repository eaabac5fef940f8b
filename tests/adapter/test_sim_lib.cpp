// Linked against libTavrix.so like any program, run with the simulator
// build first on LD_LIBRARY_PATH: it finds one simulated CAN-FD adapter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "tavrix/tavrix.h"

TEST(SimulatorBuild, FindsOpensAndSendsLikeTheRealLibrary) {
  ASSERT_EQ(CAN_ScanDevice(), 1);
  EXPECT_EQ(CAN_GetDevType(0), 1);
  EXPECT_EQ(CAN_GetDevPlck(0), 80000000);
  CAN_DevInfo info;
  ASSERT_EQ(CAN_ReadDevInfo(0, &info), 0);
  EXPECT_STREQ(info.serial, "0000000042");
  ASSERT_EQ(CAN_OpenDevice(0), 0);
  CANFD_InitConfig c = {1000000, 5000000, 2, 31, 8, 5, 1, 11, 4, 2, 7, 0, 1};
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  CANFD_Frame f;
  std::memset(&f, 0, sizeof(f));
  f.id = 0x501;
  f.dlc = 15;
  f.flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
  EXPECT_EQ(CANFD_Transmit(0, &f, 1, 100), 1);
  EXPECT_EQ(CAN_CloseDevice(0), 0);
}

// With TAVRIX_SIM_PLUGIN naming the echo plugin, a device on the simulated
// bus answers what the program sends.
TEST(SimulatorBuild, PluginDeviceOnTheSimulatedBusAnswers) {
  if (!std::getenv("TAVRIX_SIM_PLUGIN")) GTEST_SKIP() << "run with TAVRIX_SIM_PLUGIN set";
  ASSERT_EQ(CAN_ScanDevice(), 1);
  ASSERT_EQ(CAN_OpenDevice(0), 0);
  CANFD_InitConfig c = {1000000, 5000000, 2, 31, 8, 5, 1, 11, 4, 2, 7, 0, 1};
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  CANFD_Frame f;
  std::memset(&f, 0, sizeof(f));
  f.id = 0x501;
  f.dlc = 15;
  f.flags = TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS;
  f.data[63] = 0x5A;
  ASSERT_EQ(CANFD_Transmit(0, &f, 1, 100), 1);
  CANFD_Frame in[4];
  ASSERT_EQ(CANFD_Receive(0, in, 4, 500), 1);
  EXPECT_EQ(in[0].id, 0x502u);
  EXPECT_EQ(in[0].dlc, 15);
  EXPECT_EQ(in[0].data[63], 0x5A);
  EXPECT_EQ(in[0].flags, TAVRIX_FLAG_FD | TAVRIX_FLAG_BRS);
  EXPECT_EQ(CAN_CloseDevice(0), 0);
}
