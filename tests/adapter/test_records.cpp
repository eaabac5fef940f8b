// The six records are a binary interface: exact sizes and offsets.
#include <gtest/gtest.h>

#include <cstddef>

#include "tavrix/tavrix.h"

#define TAVRIX_ASSERT_AT(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), #type "." #field)

TAVRIX_ASSERT_AT(CAN_Frame, id, 0);
TAVRIX_ASSERT_AT(CAN_Frame, time_stamp, 4);
TAVRIX_ASSERT_AT(CAN_Frame, flags, 8);
TAVRIX_ASSERT_AT(CAN_Frame, dlc, 9);
TAVRIX_ASSERT_AT(CAN_Frame, extended, 10);
TAVRIX_ASSERT_AT(CAN_Frame, remote, 11);
TAVRIX_ASSERT_AT(CAN_Frame, bus_state, 12);
TAVRIX_ASSERT_AT(CAN_Frame, error_code, 13);
TAVRIX_ASSERT_AT(CAN_Frame, tx_error_count, 14);
TAVRIX_ASSERT_AT(CAN_Frame, rx_error_count, 15);
TAVRIX_ASSERT_AT(CAN_Frame, data, 16);
TAVRIX_ASSERT_AT(CANFD_Frame, rx_error_count, 15);
TAVRIX_ASSERT_AT(CANFD_Frame, data, 16);
TAVRIX_ASSERT_AT(CAN_InitConfig, prescaler, 4);
TAVRIX_ASSERT_AT(CAN_InitConfig, tseg1, 6);
TAVRIX_ASSERT_AT(CAN_InitConfig, tseg2, 7);
TAVRIX_ASSERT_AT(CAN_InitConfig, sjw, 8);
TAVRIX_ASSERT_AT(CAN_InitConfig, mode, 9);
TAVRIX_ASSERT_AT(CAN_InitConfig, option, 10);
TAVRIX_ASSERT_AT(CAN_InitConfig, reserved, 11);
TAVRIX_ASSERT_AT(CANFD_InitConfig, data_baud, 4);
TAVRIX_ASSERT_AT(CANFD_InitConfig, prescaler, 8);
TAVRIX_ASSERT_AT(CANFD_InitConfig, tseg1, 10);
TAVRIX_ASSERT_AT(CANFD_InitConfig, tseg2, 11);
TAVRIX_ASSERT_AT(CANFD_InitConfig, sjw, 12);
TAVRIX_ASSERT_AT(CANFD_InitConfig, data_prescaler, 13);
TAVRIX_ASSERT_AT(CANFD_InitConfig, data_tseg1, 14);
TAVRIX_ASSERT_AT(CANFD_InitConfig, data_tseg2, 15);
TAVRIX_ASSERT_AT(CANFD_InitConfig, data_sjw, 16);
TAVRIX_ASSERT_AT(CANFD_InitConfig, mode, 17);
TAVRIX_ASSERT_AT(CANFD_InitConfig, option, 18);
TAVRIX_ASSERT_AT(CANFD_InitConfig, fd_records, 19);
TAVRIX_ASSERT_AT(CAN_DevInfo, serial, 32);
TAVRIX_ASSERT_AT(CAN_DevInfo, hw_version, 64);
TAVRIX_ASSERT_AT(CAN_DevInfo, fw_version, 96);
TAVRIX_ASSERT_AT(CAN_DevInfo, date, 128);
TAVRIX_ASSERT_AT(CAN_Status, time_stamp, 4);

TEST(Records, Sizes) {
  EXPECT_EQ(sizeof(CAN_Frame), 24u);
  EXPECT_EQ(sizeof(CANFD_Frame), 80u);
  EXPECT_EQ(sizeof(CAN_InitConfig), 12u);
  EXPECT_EQ(sizeof(CANFD_InitConfig), 20u);
  EXPECT_EQ(sizeof(CAN_DevInfo), 160u);
  EXPECT_EQ(sizeof(CAN_Status), 8u);
}

TEST(Records, FieldsAreLittleEndianAtTheirOffsets) {
  CANFD_InitConfig c{};
  c.baud = 0x04030201;
  c.prescaler = 0x0605;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&c);
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(b[3], 0x04);
  EXPECT_EQ(b[8], 0x05);
  EXPECT_EQ(b[9], 0x06);
}
