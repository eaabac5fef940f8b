// End to end on RS485 over a real serial transport: the demos' serial port
// on the slave side of a pseudo-terminal, the simulated hand on the master
// side.
#include <gtest/gtest.h>

#include "morvane/morvane.h"
#include "pty_hand.h"
#include "serial_port.h"

namespace {

// initial() stops polling while it reads the identity, so nothing but the
// replies themselves arrives to complete a stray frame start: a reply held
// back behind it would time the reads out.
TEST(E2eRs485, InitialIdentifiesDeviceBehindAStrayStartByte) {
  demos::PtyHand device({3}, 5);
  ASSERT_TRUE(device.start()) << device.error();
  // A status frame start whose length byte announces 66 more bytes.
  device.line().put_before_next_reply({'H', 0x03, 0x00, 64});

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

  hand.close();
  port.on_receive = nullptr;
  port.close();
  device.stop();
}

}  // namespace
