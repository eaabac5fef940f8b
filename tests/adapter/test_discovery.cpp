// Discovery, open, close, device information, init and the small commands,
// through the simulated adapter.
#include <gtest/gtest.h>

#include <cstring>

#include "device_info.h"
#include "device_scan.h"
#include "sim_fixture.h"

using namespace tavrix_test;
using simadapter::SimAdapterConfig;

namespace {

SimAdapterConfig classic_36mhz() {
  SimAdapterConfig c;
  c.serial = "CLASSIC00000001";  // 15 characters: classic adapter, 36 MHz
  c.clock_hz = 36000000;
  return c;
}

std::vector<uint32_t> last_request_words(const simadapter::SimAdapter& a) {
  auto r = a.requests();
  return r.empty() ? std::vector<uint32_t>{} : r.back().words;
}

}  // namespace

TEST_F(SimAdapterTest, ScanWithoutAdapterOrWithFailedListFindsNone) {
  EXPECT_EQ(CAN_ScanDevice(), 0);
  simadapter::SimUsbBackend::instance().set_list_fails(true);
  plug();
  EXPECT_EQ(CAN_ScanDevice(), 0);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
}

TEST_F(SimAdapterTest, ScanKeepsTableWhileDeviceCountIsUnchanged) {
  auto a = plug();
  SimAdapterConfig second;
  second.serial = "F060000000000002";
  auto b = plug(second);
  EXPECT_EQ(CAN_ScanDevice(), 2);
  // One adapter leaves and another USB device arrives: same count, cached answer.
  simadapter::SimUsbBackend::instance().unplug(b);
  simadapter::SimUsbBackend::instance().set_other_devices(1);
  EXPECT_EQ(CAN_ScanDevice(), 2);
  // A USB release forgets the cache.
  EXPECT_EQ(CloseUSBDev(0), 0);
  EXPECT_EQ(CAN_ScanDevice(), 1);
}

TEST(DeviceTable, InterfaceOneBeforeZeroIsSwapped) {
  auto make = [](std::initializer_list<int> numbers) {
    std::vector<kitusb::UsbDeviceEntry> t;
    for (int n : numbers) {
      kitusb::UsbDeviceEntry e;
      e.interface_number = static_cast<uint8_t>(n);
      e.serial = std::to_string(t.size());
      t.push_back(e);
    }
    return t;
  };
  auto order = [](const std::vector<kitusb::UsbDeviceEntry>& t) {
    std::string s;
    for (const auto& e : t) s += std::to_string(e.interface_number) + e.serial + " ";
    return s;
  };
  auto t = make({1, 0});
  tavrix::reorder_interfaces(&t);
  EXPECT_EQ(order(t), "01 10 ");
  t = make({1, 0, 1});
  tavrix::reorder_interfaces(&t);
  EXPECT_EQ(order(t), "01 10 12 ");
  t = make({1, 1, 0, 0});
  tavrix::reorder_interfaces(&t);
  EXPECT_EQ(order(t), "10 02 11 03 ");
}

TEST(DeviceTable, SerialTextGivesTypeAndClock) {
  auto fd = tavrix::decode_serial("F080000000000000");
  EXPECT_EQ(fd.type, 1);
  EXPECT_EQ(fd.clock_hz, 80000000u);
  auto classic = tavrix::decode_serial("A120000000000000");
  EXPECT_EQ(classic.type, 0);
  EXPECT_EQ(classic.clock_hz, 120000000u);
  auto short_text = tavrix::decode_serial("F08000000000000");
  EXPECT_EQ(short_text.type, 0);
  EXPECT_EQ(short_text.clock_hz, 36000000u);
  EXPECT_EQ(tavrix::decode_serial("").clock_hz, 36000000u);
}

TEST_F(SimAdapterTest, ScanReordersInterfacesAndSetsTypes) {
  SimAdapterConfig one;
  one.serial = "A120000000000000";
  one.interface_number = 1;
  SimAdapterConfig zero;
  zero.serial = "F060000000000000";
  plug(one);
  plug(zero);
  ASSERT_EQ(CAN_ScanDevice(), 2);
  EXPECT_EQ(CAN_GetDevType(0), 1);
  EXPECT_EQ(CAN_GetDevPlck(0), 60000000);
  EXPECT_EQ(CAN_GetDevType(1), 0);
  EXPECT_EQ(CAN_GetDevPlck(1), 120000000);
  EXPECT_EQ(CAN_GetDevType(100), -1);
  EXPECT_EQ(CAN_GetDevPlck(-1), -1);
}

TEST_F(SimAdapterTest, OpenHandshake) {
  auto a = plug();
  a->set_open_reply(true, 60000000);
  ASSERT_EQ(CAN_ScanDevice(), 1);
  ASSERT_EQ(CAN_OpenDevice(0), 0);
  auto reqs = a->requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].words, (std::vector<uint32_t>{0x00015871}));
  EXPECT_EQ(reqs[0].wire_length, 8u);
  EXPECT_EQ(CAN_GetDevPlck(0), 60000000);  // the reply's clock replaces the scanned one
  EXPECT_EQ(CAN_OpenDevice(0), 0);         // already open: nothing sent
  EXPECT_EQ(a->requests().size(), 1u);
}

TEST_F(SimAdapterTest, OpenRefusesSlowClockAndRefusals) {
  auto a = plug();
  a->set_open_reply(true, 9999999);
  ASSERT_EQ(CAN_ScanDevice(), 1);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  EXPECT_EQ(CAN_GetDevPlck(0), 9999999);  // the slot keeps the reported clock
  uint8_t raw[8];
  EXPECT_EQ(Readusb_devNum(0, raw, 8), 0);  // released
  a->set_open_reply(true, 80000000);
  a->refuse_next(0x8A);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  EXPECT_EQ(CAN_OpenDevice(0), 0);
}

TEST_F(SimAdapterTest, OpenFailsWhenUsbOpenOrPipesFail) {
  SimAdapterConfig one_pipe;
  one_pipe.pipe_count = 1;
  plug(one_pipe);
  ASSERT_EQ(CAN_ScanDevice(), 1);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  reset();
  plug();
  simadapter::SimUsbBackend::instance().set_open_fails(true);
  EXPECT_EQ(CAN_OpenDevice(0), -1);
  EXPECT_EQ(CAN_OpenDevice(-1), -1);
  EXPECT_EQ(CAN_OpenDevice(100), -1);
}

TEST_F(SimAdapterTest, CloseSendsCloseAndReleases) {
  auto a = open_one();
  EXPECT_EQ(CAN_CloseDevice(0), 0);
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x72}));
  EXPECT_EQ(CAN_CloseDevice(0), -1);
  EXPECT_EQ(CAN_CloseDevice(100), -1);
  EXPECT_FALSE(tavrix::library().scanned);
  // The next open scans again and works.
  EXPECT_EQ(CAN_OpenDevice(0), 0);
}

TEST_F(SimAdapterTest, CloseReportsFailedCloseRequest) {
  auto a = open_one();
  a->fail_writes(1, kitusb::UsbError::kTimeout);
  EXPECT_EQ(CAN_CloseDevice(0), -1);
  EXPECT_EQ(CAN_CloseDevice(0), -1);  // closed anyway
}

TEST_F(SimAdapterTest, DeviceInfoOnClosedAdapter) {
  SimAdapterConfig c;
  c.hw_version = 105;
  c.serial_number = 42;
  c.production_date = 0;
  auto a = plug(c);
  ASSERT_EQ(CAN_ScanDevice(), 1);
  CAN_DevInfo info;
  std::memset(&info, 0xA5, sizeof(info));
  ASSERT_EQ(CAN_ReadDevInfo(0, &info), 0);
  EXPECT_STREQ(info.model, tavrix::model_name(0x1800));
  EXPECT_STREQ(info.serial, "0000000042");
  EXPECT_STREQ(info.hw_version, "V1.05");
  EXPECT_STREQ(info.fw_version, "V1.2.3");
  EXPECT_STREQ(info.date, "1970-01-01");
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x9A}));
  // Released afterwards; the next open scans again.
  EXPECT_FALSE(tavrix::library().scanned);
  EXPECT_EQ(CAN_OpenDevice(0), 0);
  // On an open adapter it stays open.
  ASSERT_EQ(CAN_ReadDevInfo(0, &info), 0);
  EXPECT_TRUE(tavrix::library().slots[0].open);
}

TEST_F(SimAdapterTest, DeviceInfoOfWrongLengthFails) {
  auto a = open_one();
  a->inject_ack(std::vector<uint8_t>(23, 0));  // read before the real answer
  CAN_DevInfo info;
  EXPECT_EQ(CAN_ReadDevInfo(0, &info), -1);
  EXPECT_EQ(CAN_ReadDevInfo(0, nullptr), -1);
}

TEST(DeviceInfo, Texts) {
  uint8_t answer[24] = {0,    0,    0,    0,     // not used
                        0x99, 0x99, 0,    0,     // unknown model code
                        0x0F, 0x27, 0,    0,     // 9999 hundredths
                        0xFF, 0xFF, 0xFF, 0xFF,  // serial -1
                        0x80, 0xC3, 0xC9, 0x01,  // 30000000 s
                        10,   20,   30,   0};
  CAN_DevInfo info;
  std::memset(&info, 0xA5, sizeof(info));
  ASSERT_TRUE(tavrix::decode_device_info(answer, sizeof(answer), &info));
  EXPECT_STREQ(info.model, tavrix::model_name(0x9999));
  EXPECT_STREQ(info.serial, "-000000001");
  EXPECT_STREQ(info.hw_version, "V99.99");
  EXPECT_STREQ(info.fw_version, "V10.20.30");
  EXPECT_STREQ(info.date, "1970-12-14");
  for (const char* text : {info.model, info.serial, info.hw_version, info.fw_version, info.date})
    EXPECT_NE(std::memchr(text, 0, 32), nullptr);
  EXPECT_FALSE(tavrix::decode_device_info(answer, 23, &info));
}

TEST_F(SimAdapterTest, ClassicInitSettlesAndSendsTiming) {
  auto a = open_one(classic_36mhz());
  CAN_InitConfig c{};
  c.baud = 500000;
  c.mode = 3;
  c.option = 9;
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_EQ(c.baud, 500000u);
  EXPECT_EQ(c.prescaler, 6);
  EXPECT_EQ(c.tseg1, 8);
  EXPECT_EQ(c.tseg2, 3);
  EXPECT_EQ(c.sjw, 2);
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00050061, 0x00000203, 9, 0x00830006, 0}));
  EXPECT_EQ(a->requests().back().wire_length, 24u);
  // The returned record differs from the remembered one: sent once more;
  // then an identical call sends nothing.
  ASSERT_EQ(CAN_Init(0, &c), 0);
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x61, 0x61}));
}

TEST_F(SimAdapterTest, ClassicInitWideSegmentsOnFdAdapter) {
  auto a = open_one();  // CAN-FD adapter, 80 MHz: nominal limits
  CAN_InitConfig c{};
  c.baud = 500000;
  c.prescaler = 4;
  c.tseg1 = 31;
  c.tseg2 = 8;
  c.sjw = 4;
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_EQ(c.baud, 500000u);
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00050061, 0x081F0400, 0, 4, 0}));
}

TEST_F(SimAdapterTest, ClassicInitBelow1000BitsFailsUnsent) {
  auto a = open_one(classic_36mhz());
  CAN_InitConfig c{};
  c.baud = 1000;
  EXPECT_EQ(CAN_Init(0, &c), -1);
  EXPECT_EQ(c.baud, 0u);
  EXPECT_EQ(c.prescaler, 0);
  EXPECT_EQ(c.sjw, 1);
  EXPECT_TRUE(a->requests().empty());
  EXPECT_EQ(CAN_Init(0, nullptr), -1);
}

TEST_F(SimAdapterTest, FdInitWithKitValuesAt80MHz) {
  auto a = open_one();
  CANFD_InitConfig c = kit_fd_config();
  CANFD_InitConfig before = c;
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  EXPECT_EQ(0, std::memcmp(&c, &before, sizeof(c)));
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00070061, 0x000F4240, 0x004C4B40, 0x05081F02,
                                                           0x02040B01, 0x00010007, 0}));
  EXPECT_EQ(a->requests().back().wire_length, 32u);
  EXPECT_TRUE(a->fd_record_mode());
  EXPECT_TRUE(tavrix::library().slots[0].fd_records);
  // Identical and initialised: nothing sent.
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x61}));
}

TEST_F(SimAdapterTest, FdInitAt60MHzSearchesBothPhases) {
  SimAdapterConfig cfg;
  cfg.clock_hz = 60000000;
  auto a = open_one(cfg);
  CANFD_InitConfig c = kit_fd_config();
  ASSERT_EQ(CANFD_Init(0, &c), 0);
  EXPECT_EQ(c.baud, 1000000u);
  EXPECT_EQ(c.prescaler, 1);
  EXPECT_EQ(c.tseg1, 44);
  EXPECT_EQ(c.tseg2, 15);
  EXPECT_EQ(c.sjw, 10);
  EXPECT_EQ(c.data_baud, 5000000u);
  EXPECT_EQ(c.data_prescaler, 1);
  EXPECT_EQ(c.data_tseg1, 8);
  EXPECT_EQ(c.data_tseg2, 3);
  EXPECT_EQ(c.data_sjw, 2);
}

TEST_F(SimAdapterTest, FdInitRefusedOnClassicAdapterOrByAdapter) {
  auto a = open_one(classic_36mhz());
  CANFD_InitConfig c = kit_fd_config();
  EXPECT_EQ(CANFD_Init(0, &c), -1);
  EXPECT_TRUE(a->requests().empty());
  reset();
  auto b = open_one();
  b->refuse_next(0x90);
  EXPECT_EQ(CANFD_Init(0, &c), -1);
  EXPECT_FALSE(tavrix::library().slots[0].initialised);
}

TEST_F(SimAdapterTest, SlotTestRefusesBadIndexAndClosedSlot) {
  plug();
  ASSERT_EQ(CAN_ScanDevice(), 1);
  CAN_InitConfig c{};
  EXPECT_EQ(CAN_Init(0, &c), -1);  // not open
  ASSERT_EQ(CAN_OpenDevice(0), 0);
  EXPECT_EQ(CAN_Init(1, &c), -1);  // beyond the adapter count
  EXPECT_EQ(CAN_Init(-1, &c), -1);
  EXPECT_EQ(CAN_SetFilter(100, 0, 0, 0, 0, 0), -1);
}

TEST_F(SimAdapterTest, FilterResetAndTimeStampRequests) {
  auto a = open_one();
  ASSERT_EQ(CAN_SetFilter(0, 1, -1, 0x11223344, 0x55667788, 3), 0);
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00040074, 0x11223344, 0x55667788, 0x0001FF03}));
  ASSERT_EQ(CAN_SetTimeStamp(0, 0xCAFE, -1), 0);
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00030079, 0xCAFE, 0xFFFFFFFF}));
  uint32_t stamp = 0;
  ASSERT_EQ(CAN_GetTimeStamp(0, &stamp), 0);
  EXPECT_EQ(CAN_GetTimeStamp(0, nullptr), -1);
  tavrix::library().slots[0].initialised = true;
  ASSERT_EQ(CAN_Reset(0), 0);
  EXPECT_EQ(last_request_words(*a), (std::vector<uint32_t>{0x00010073}));
  EXPECT_FALSE(tavrix::library().slots[0].initialised);
  ASSERT_EQ(CAN_CloseDevice(0), 0);
  EXPECT_EQ(CAN_Reset(0), -1);
  EXPECT_EQ(CAN_Reset(100), -1);
}

TEST_F(SimAdapterTest, DeviceIdRoundTrip) {
  auto a = open_one();
  ASSERT_EQ(CAN_SetDevID(0, 0xDEADBEEF), 0);
  EXPECT_EQ(a->device_id(), 0xDEADBEEFu);
  uint32_t id = 0;
  ASSERT_EQ(CAN_GetDevID(0, &id), 0);
  EXPECT_EQ(id, 0xDEADBEEFu);
  a->refuse_next(0x8A);
  EXPECT_EQ(CAN_GetDevID(0, &id), -1);
}

TEST_F(SimAdapterTest, ScanWithNoUsbDeviceSetsNotConnected) {
  kitusb::set_last_error(kitusb::UsbError::kNone);
  EXPECT_EQ(CAN_ScanDevice(), 0);
  EXPECT_EQ(kitusb::last_error(), kitusb::UsbError::kNotConnected);
  kitusb::set_last_error(kitusb::UsbError::kNone);
  EXPECT_EQ(USB_ScanDevice(0xA8FA, 0x8598), 0);
  EXPECT_EQ(kitusb::last_error(), kitusb::UsbError::kNotConnected);
}

TEST_F(SimAdapterTest, UsbScanKeepsTypesAndBypassesTheCache) {
  SimAdapterConfig classic;
  classic.serial = "A120000000000000";
  plug(classic);
  ASSERT_EQ(CAN_ScanDevice(), 1);
  SimAdapterConfig other;
  other.serial = "F060000000000000";
  other.vendor_id = 0x1234;
  other.product_id = 0x5678;
  plug(other);
  plug(other);
  tavrix::library().scanned = false;
  EXPECT_EQ(USB_ScanDevice(0x1234, 0x5678), 2);
  EXPECT_FALSE(tavrix::library().scanned);  // the scanned flag is left alone
  // Types and clocks stay as the last adapter scan set them.
  EXPECT_EQ(CAN_GetDevType(0), 0);
  EXPECT_EQ(CAN_GetDevPlck(0), 120000000);
  EXPECT_EQ(CAN_GetDevType(1), 0);
  // The USB scan did not remember the list count, so the adapter scan
  // rebuilds the table instead of answering with the USB scan's count.
  EXPECT_EQ(CAN_ScanDevice(), 1);
  EXPECT_TRUE(tavrix::library().scanned);
}

TEST_F(SimAdapterTest, RepeatedInitsSendAgainOnlyWhenTheModeNeedsIt) {
  auto a = open_one();
  CANFD_InitConfig fd = kit_fd_config(0);
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  EXPECT_FALSE(tavrix::library().slots[0].fd_records);
  // Identical, initialised, but without FD records: sent again.
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x61, 0x61}));
  // Only the record-mode byte differs (not compared): FD-record mode without sending.
  fd.fd_records = 1;
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  EXPECT_TRUE(tavrix::library().slots[0].fd_records);
  EXPECT_EQ(a->requests().size(), 2u);
  // An identical classic init in FD-record mode is sent and leaves that mode.
  CAN_InitConfig c{};
  c.baud = 1000000;
  c.prescaler = 4;
  c.tseg1 = 15;
  c.tseg2 = 4;
  c.sjw = 2;
  ASSERT_EQ(CAN_Init(0, &c), 0);
  tavrix::library().slots[0].fd_records = true;
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_FALSE(tavrix::library().slots[0].fd_records);
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_EQ(commands(*a), (std::vector<uint8_t>{0x61, 0x61, 0x61, 0x61}));
  // An init of the other kind in between left the adapter in that mode: the
  // init remembered from before it is sent again, in both directions.
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  EXPECT_EQ(a->requests().size(), 5u);
  EXPECT_TRUE(a->fd_record_mode());
  fd.fd_records = 0;
  ASSERT_EQ(CANFD_Init(0, &fd), 0);
  ASSERT_EQ(CAN_Init(0, &c), 0);
  EXPECT_EQ(a->requests().size(), 7u);
}
