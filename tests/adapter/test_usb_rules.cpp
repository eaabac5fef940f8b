// The length every backend asks its system for when a caller reads: whole
// packets, within what one transfer can take. What the backends make of it
// is the USB layer's contract (usb_layer_contract.h).
#include <gtest/gtest.h>

#include "usb_rules.h"

TEST(UsbRules, ReadsAskForWholePackets) {
  using kitusb::whole_packet_length;
  EXPECT_EQ(whole_packet_length(100, 64), 128u);    // acknowledgement reads, full speed
  EXPECT_EQ(whole_packet_length(100, 512), 512u);   // and high speed
  EXPECT_EQ(whole_packet_length(5000, 512), 5120u); // drains
  EXPECT_EQ(whole_packet_length(4096, 512), 4096u);
  EXPECT_EQ(whole_packet_length(100, 0), 1024u);    // packet size unknown
  EXPECT_EQ(whole_packet_length(0xFFFFFFFFu, 512), 0x7FFFFE00u);  // beyond libusb's int: rounded down
}
