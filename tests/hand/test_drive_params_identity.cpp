// Device identification against a fake hand that answers on its own thread:
// read_identity directly, and initial() through the class interface with the
// replies fed back through set_canfd_data_decode.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"
#include "morvane/morvane.h"
#include "test_drive_params_device.h"

namespace morvx {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const uint16_t kSerialObjects[] = {0x2030, 0x2070, 0x20B0, 0x20F0, 0x2130, 0x2170};
const uint16_t kSerialParts[] = {0x1A, 0x0002, 0x0100, 0x0000, 0x0010, 0x0300};

void load_identity(morvx_test::FakeParamDevice& device, uint16_t model, int serial_parts) {
    device.set_value(0x200E, 29, model);
    device.set_value(0x200E, 30, 123);
    device.set_value(0x2030, 5, 2);
    for (int k = 0; k < serial_parts; ++k) device.set_value(kSerialObjects[k], 6, kSerialParts[k]);
}

class IdentityTest : public ::testing::Test {
protected:
    IdentityTest() : core_(nullptr), device_([this](const Bytes& r) { handle_param_reply(core_, ByteView(r.data(), r.size())); }) {
        core_.bus_kind.store(1);
        core_.send_canfd_function = [this](unsigned id, const uint8_t* data, unsigned len, int) {
            if (id == 0x601) device_.on_request(data, len);
            return true;
        };
        core_.active_send_canfd = &core_.send_canfd_function;
    }
    HandCore core_;
    morvx_test::FakeParamDevice device_;
};

TEST_F(IdentityTest, ReadsModelFirmwareDirectionAndSerialNumber) {
    load_identity(device_, 3, 6);
    ASSERT_EQ(read_identity(core_), 0);
    EXPECT_EQ(core_.serial_number, "1A00020100000000100300");
    EXPECT_EQ(core_.bus_kind.load(), 1);
    EXPECT_EQ(core_.hand_type.load(), 1);
    EXPECT_EQ(core_.hand_direction.load(), 1);
    EXPECT_FLOAT_EQ(core_.firmware_version.load(), 1.23f);

    // Request order: model code, firmware, direction, then the six parts.
    const auto requests = device_.requests();
    ASSERT_EQ(requests.size(), 9u);
    EXPECT_EQ(requests[0], (Bytes{0x40, 0x0E, 0x20, 0x1D, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1], (Bytes{0x40, 0x0E, 0x20, 0x1E, 0, 0, 0, 0}));
    EXPECT_EQ(requests[2], (Bytes{0x40, 0x30, 0x20, 0x05, 0, 0, 0, 0}));
    EXPECT_EQ(requests[3], (Bytes{0x40, 0x30, 0x20, 0x06, 0, 0, 0, 0}));
    EXPECT_EQ(requests[8], (Bytes{0x40, 0x70, 0x21, 0x06, 0, 0, 0, 0}));
}

TEST_F(IdentityTest, SilentPartEndsReadOutKeepingEarlierParts) {
    load_identity(device_, 2, 2);  // the third part never answers
    core_.serial_number = "old";
    EXPECT_EQ(read_identity(core_), 7);
    EXPECT_EQ(core_.serial_number, "1A0002");
    EXPECT_EQ(device_.requests().size(), 6u);  // no request for parts 4 to 6
}

TEST_F(IdentityTest, WideFirstPartIsNotPadded) {
    load_identity(device_, 2, 6);
    device_.set_value(0x2030, 6, 0xFFFF);
    device_.set_value(0x2070, 6, 0x0);
    ASSERT_EQ(read_identity(core_), 0);
    EXPECT_EQ(core_.serial_number, "FFFF0000010000000010" "0300");
}

TEST_F(IdentityTest, IdentifyDeviceOnClassicCanSendsNothing) {
    load_identity(device_, 3, 6);
    core_.bus_kind.store(3);
    EXPECT_EQ(identify_device(core_), 0);
    EXPECT_TRUE(core_.move_no_home.load());
    EXPECT_TRUE(device_.requests().empty());
    EXPECT_TRUE(core_.serial_number.empty());
}

TEST_F(IdentityTest, IdentifyDeviceInDryRunSkipsReadOut) {
    load_identity(device_, 3, 6);
    core_.dry_run.store(true);
    EXPECT_EQ(identify_device(core_), 0);
    EXPECT_TRUE(device_.requests().empty());
    EXPECT_FALSE(core_.move_no_home.load());
}

TEST_F(IdentityTest, IdentifyDeviceAppliesTablesOfTheReportedHandType) {
    load_identity(device_, 3, 6);
    core_.hand_type.store(0);
    EXPECT_EQ(identify_device(core_), 0);
    EXPECT_EQ(core_.hand_type.load(), 1);
    EXPECT_EQ(core_.active_joints.load(), 6);
}

// ---- through the class interface -----------------------------------------------------

class ClassIdentityTest : public ::testing::Test {
protected:
    ClassIdentityTest()
        : send_([this](unsigned id, const uint8_t* data, unsigned len, int) {
              if (id == 0x601) device_.on_request(data, len);
              return true;
          }),
          hand_(),
          device_([this](const Bytes& r) { hand_.set_canfd_data_decode(0x581, r.data(), static_cast<int>(r.size())); }) {
        hand_.set_send_canfd_callback_ex(&send_);
    }
    ~ClassIdentityTest() override { hand_.close(); }

    send_canfd_callback send_;  // outlives the hand, which keeps a pointer to it
    Morvane hand_;
    morvx_test::FakeParamDevice device_;  // last: its thread stops before the hand goes
};

TEST_F(ClassIdentityTest, InitialIdentifiesAnAnsweringDevice) {
    load_identity(device_, 3, 6);  // model 3: a CAN-FD hand of type 1
    ASSERT_EQ(hand_.initial(1), 0);
    char serial[64];
    std::memset(serial, 0xA5, sizeof serial);
    ASSERT_EQ(hand_.get_serial_number(serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "1A00020100000000100300");
    float version = 0;
    ASSERT_EQ(hand_.get_firmware_version(&version), 0);
    EXPECT_FLOAT_EQ(version, 1.23f);
    int type = -1;
    ASSERT_EQ(hand_.get_hand_type(&type), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(hand_.core()->bus_kind.load(), 1);
    int total = 0, active = 0;
    ASSERT_EQ(hand_.get_dof(&total, &active), 0);
    EXPECT_EQ(total, 11);
    EXPECT_EQ(active, 6);
}

// The model code names the device's bus: an RS485 model answering on CAN-FD
// switches the hand object to RS485, so the rest of the read-out no longer
// reaches it; initial still succeeds.
TEST_F(ClassIdentityTest, ModelCodeOfAnotherBusSwitchesTheBusKind) {
    load_identity(device_, 5, 6);
    ASSERT_EQ(hand_.initial(1), 0);
    EXPECT_EQ(hand_.core()->bus_kind.load(), 2);
    int type = -1;
    ASSERT_EQ(hand_.get_hand_type(&type), 0);
    EXPECT_EQ(type, 1);
}

TEST_F(ClassIdentityTest, InitialWithSilentDeviceStillSucceeds) {
    const auto start = Clock::now();
    ASSERT_EQ(hand_.initial(1), 0);
    EXPECT_GE(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 195);
    char serial[16] = "x";
    ASSERT_EQ(hand_.get_serial_number(serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "");
    float version = -1;
    ASSERT_EQ(hand_.get_firmware_version(&version), 0);
    EXPECT_EQ(version, 0.0f);
    EXPECT_TRUE(hand_.core()->running.load());
}

}  // namespace
}  // namespace morvx
