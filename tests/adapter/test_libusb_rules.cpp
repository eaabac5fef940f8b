// The libusb backend's result rules (partial transfers, whole-packet reads),
// checked through its private header without a device.
#include <gtest/gtest.h>

#include "usb_libusb_rules.h"

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
