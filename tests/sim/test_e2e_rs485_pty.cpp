// End to end on RS485 over a real serial transport: the demos' serial port
// on the slave side of a pseudo-terminal, the simulated hand on the master
// side.
#include <gtest/gtest.h>

#include "morvane/morvane.h"
#include "pty_hand.h"
#include "serial_port.h"

namespace {

// A stray frame start in front of every reply (noise at each turn of the
// line) and nothing after it: polls go unanswered, so nothing but the line's
// silence can end the frame the stray start opened. Every reply must still
// arrive within its read's 200 ms.
TEST(E2eRs485, IdentityAndParameterReadsBehindAStrayStartBeforeEveryReply) {
  demos::PtyHand device({3}, 5);
  ASSERT_TRUE(device.start()) << device.error();
  // A status frame start whose length byte announces 66 more bytes.
  device.line().put_before_every_reply({'H', 0x03, 0x00, 64});
  device.line().set_answers_polls(3, false);

  demos::SerialPort port;
  ASSERT_TRUE(port.open(device.slave_path(), 500000));
  morvx::Morvane hand;
  morvx::send_data_callback send = [&port](const uint8_t* d, unsigned n) { return port.write(d, n); };
  hand.set_send_rs485_callback_ex(&send);
  port.on_receive = [&hand](const uint8_t* d, unsigned n) { hand.set_rs485_data_decode(d, static_cast<int>(n)); };

  ASSERT_EQ(0, hand.initial(2, 3));
  int type = -1;
  char serial[32] = "x";
  float fw = 0;
  hand.get_hand_type(&type);
  hand.get_serial_number(serial, sizeof serial);
  hand.get_firmware_version(&fw);
  EXPECT_EQ(1, type);
  EXPECT_STREQ("1A00020100000000100300", serial);
  EXPECT_FLOAT_EQ(1.23f, fw);
  for (int value : {345, 1200, 7}) {
    ASSERT_EQ(0, hand.set_home_current(value));
    int read = -1;
    ASSERT_EQ(0, hand.get_home_current(&read));
    EXPECT_EQ(value, read);
  }

  hand.close();
  port.on_receive = nullptr;
  port.close();
  device.stop();
}

}  // namespace
