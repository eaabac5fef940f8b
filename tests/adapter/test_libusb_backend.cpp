// The libusb build on a machine without adapters (here: without any USB
// bus): scans find nothing, opens fail, nothing crashes.
#include <gtest/gtest.h>

#include "tavrix/tavrix.h"
#include "usb_libusb_rules.h"

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

// The backend's result rules, checked without a device.
TEST(LibusbRules, ReadsAskForWholePackets) {
  using kitusb::whole_packet_length;
  EXPECT_EQ(whole_packet_length(100, 64), 128u);    // acknowledgement reads, full speed
  EXPECT_EQ(whole_packet_length(100, 512), 512u);   // and high speed
  EXPECT_EQ(whole_packet_length(5000, 512), 5120u); // drains
  EXPECT_EQ(whole_packet_length(4096, 512), 4096u);
  EXPECT_EQ(whole_packet_length(100, 0), 1024u);    // packet size unknown
  EXPECT_EQ(whole_packet_length(0xFFFFFFFFu, 512), 0x7FFFFE00u);  // beyond libusb's int: rounded down
}

TEST(LibusbRules, WriteCutShortByItsTimeOutFails) {
  using kitusb::UsbError;
  using kitusb::bulk_outcome;
  EXPECT_EQ(bulk_outcome(true, LIBUSB_ERROR_TIMEOUT, 64, 200), UsbError::kTimeout);
  EXPECT_EQ(bulk_outcome(true, LIBUSB_SUCCESS, 199, 200), UsbError::kGeneralFailure);
  EXPECT_EQ(bulk_outcome(true, LIBUSB_SUCCESS, 200, 200), UsbError::kNone);
  // A read that timed out after data arrived delivered that data.
  EXPECT_EQ(bulk_outcome(false, LIBUSB_ERROR_TIMEOUT, 12, 4096), UsbError::kNone);
  EXPECT_EQ(bulk_outcome(false, LIBUSB_ERROR_TIMEOUT, 0, 4096), UsbError::kTimeout);
  EXPECT_EQ(bulk_outcome(false, LIBUSB_ERROR_OVERFLOW, 64, 128), UsbError::kGeneralFailure);
  EXPECT_EQ(bulk_outcome(false, LIBUSB_ERROR_NO_DEVICE, 0, 64), UsbError::kNotConnected);
}
