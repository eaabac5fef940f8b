// The libusb build on a machine without adapters (here: without any USB
// bus): scans find nothing, opens fail, nothing crashes.
#include <gtest/gtest.h>

#include "tavrix/tavrix.h"

TEST(LibusbBackend, ScanFindsNoAdapter) {
  EXPECT_EQ(CAN_ScanDevice(), 0);
  EXPECT_EQ(CAN_ScanDevice(), 0);
  EXPECT_GE(USB_ScanDevice(0x1D6B, 0x0002), 0);
}

TEST(LibusbBackend, OpensAndCallsFail) {
  CAN_ScanDevice();
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  EXPECT_EQ(OpenUSBDev(0), -1);
  EXPECT_EQ(USB_OpenDev(0, 0x8102), -1);
  CAN_DevInfo info;
  EXPECT_EQ(CAN_ReadDevInfo(0, &info), -1);
  CANFD_InitConfig config = {};
  EXPECT_EQ(CANFD_Init(0, &config), -1);
  CANFD_Frame frame = {};
  EXPECT_EQ(CANFD_Transmit(0, &frame, 1, 100), -1);
  EXPECT_EQ(CANFD_Receive(0, &frame, 1, 100), -1);
  EXPECT_EQ(CAN_CloseDevice(0), -1);
  EXPECT_EQ(CloseUSBDev(0), 0);
  uint8_t raw[8] = {};
  EXPECT_EQ(Readusb_devNum(0, raw, 8), 0);
  EXPECT_EQ(USB_control_read_date(0, raw, 0, nullptr), 0);
}

TEST(LibusbBackend, HotplugRegistrationDoesNotCrash) {
  int result = Reg_HotPlug_Func(nullptr);
  EXPECT_TRUE(result == 0 || result == -1);
}
