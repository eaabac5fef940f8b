// Drive parameter reads, writes and saves, reply handling and the OTA path,
// against a hand that answers from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "hand_core.h"
#include "hand_ops.h"
#include "test_drive_params_device.h"

namespace morvx {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

struct SentFrame {
    unsigned id;
    Bytes data;
    int flag;
    Clock::time_point at;
};

int handle(HandCore& h, const Bytes& bytes) { return handle_param_reply(h, ByteView(bytes.data(), bytes.size())); }

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// A CAN-FD hand on node 1 whose send function feeds the fake device; the
// device's replies come back through handle_param_reply on its own thread.
class DriveParamsTest : public ::testing::Test {
protected:
    DriveParamsTest() : core_(nullptr), device_([this](const Bytes& r) { handle(core_, r); }) {
        core_.bus_kind.store(1);
        core_.send_canfd_function = [this](unsigned id, const uint8_t* data, unsigned len, int flag) {
            {
                std::lock_guard<std::mutex> lock(sent_mutex_);
                sent_.push_back({id, Bytes(data, data + len), flag, Clock::now()});
            }
            if (id == 0x601) device_.on_request(data, len);
            return true;
        };
        core_.active_send_canfd = &core_.send_canfd_function;
    }

    std::vector<SentFrame> sent() {
        std::lock_guard<std::mutex> lock(sent_mutex_);
        return sent_;
    }

    HandCore core_;
    std::mutex sent_mutex_;
    std::vector<SentFrame> sent_;
    morvx_test::FakeParamDevice device_;  // last: its thread stops before the hand goes
};

TEST_F(DriveParamsTest, ReadAnsweredInTimeReturnsValue) {
    device_.set_value(0x2022, 21, 300);
    unsigned value = 0xA5A5A5A5u;
    ASSERT_EQ(get_sdo_drive_param(core_, 0x2022, 21, &value), 0);
    EXPECT_EQ(value, 300u);

    auto frames = sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 0x601u);
    EXPECT_EQ(frames[0].flag, 0);
    EXPECT_EQ(frames[0].data, (Bytes{0x40, 0x22, 0x20, 0x15, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(core_.pending_read.load(), nullptr);
    EXPECT_EQ(core_.pending_index.load(), 0);
    EXPECT_EQ(core_.pending_sub_index.load(), 0);
}

TEST_F(DriveParamsTest, ReadWithoutReplyTimesOutAfterAbout200ms) {
    unsigned value = 77;
    const auto start = Clock::now();
    EXPECT_EQ(get_sdo_drive_param(core_, 0x2022, 21, &value), 7);
    const long waited = elapsed_ms(start);
    EXPECT_GE(waited, 195);
    EXPECT_LT(waited, 3000);  // a loaded machine may oversleep, never by seconds
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(core_.pending_read.load(), nullptr);
    EXPECT_EQ(core_.pending_index.load(), 0);
}

TEST_F(DriveParamsTest, LateReplyIsIgnoredAndCompletesNoLaterRead) {
    device_.set_value(0x2022, 21, 300);
    device_.set_delay(milliseconds(350));
    unsigned value = 5;
    EXPECT_EQ(get_sdo_drive_param(core_, 0x2022, 21, &value), 7);
    EXPECT_EQ(value, 5u);

    // The late answer arrives while a read of another object waits: it must
    // not complete that read.
    device_.set_delay(milliseconds(5));
    device_.set_value(0x2062, 21, 42);
    device_.inject(Bytes{0x4B, 0x22, 0x20, 0x15, 0x2C, 0x01, 0, 0}, milliseconds(0));
    unsigned other = 0;
    ASSERT_EQ(get_sdo_drive_param(core_, 0x2062, 21, &other), 0);
    EXPECT_EQ(other, 42u);
}

TEST_F(DriveParamsTest, ReplyForAnotherSubIndexOrObjectLeavesReadWaiting) {
    device_.set_value(0x2022, 21, 300);
    device_.set_delay(milliseconds(60));
    device_.inject(Bytes{0x4B, 0x22, 0x20, 0x14, 0x01, 0x00}, milliseconds(10));  // (0x2022, 20)
    device_.inject(Bytes{0x4B, 0x62, 0x20, 0x15, 0x02, 0x00}, milliseconds(20));  // (0x2062, 21)
    unsigned value = 0;
    ASSERT_EQ(get_sdo_drive_param(core_, 0x2022, 21, &value), 0);
    EXPECT_EQ(value, 300u);
}

TEST_F(DriveParamsTest, ReplyWithoutPendingReadChangesNothing) {
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x22, 0x20, 0x15, 0x2C, 0x01}), 0);
    EXPECT_EQ(core_.pending_read.load(), nullptr);
    EXPECT_EQ(core_.bus_kind.load(), 1);
    EXPECT_EQ(core_.hand_type.load(), 0);
}

TEST_F(DriveParamsTest, MalformedRepliesAreRejectedAndLongOnesAccepted) {
    EXPECT_EQ(handle(core_, Bytes{}), 3);
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x0E, 0x20, 0x1D, 0x03}), 3);        // 5 bytes
    EXPECT_EQ(handle(core_, Bytes{0x4C, 0x0E, 0x20, 0x1D, 0x03, 0x00}), 3);  // wrong code
    EXPECT_EQ(handle_param_reply(core_, ByteView(nullptr, 8)), 3);
    EXPECT_EQ(core_.hand_type.load(), 0);  // the malformed model code changed nothing

    Bytes long_reply(64, 0xEE);
    long_reply[0] = 0x4B;
    EXPECT_EQ(handle(core_, long_reply), 0);
}

TEST_F(DriveParamsTest, ModelCodeSetsBusKindHandTypeAndJointCounts) {
    struct Case {
        uint8_t code;
        int bus;
        int type;
    };
    const Case cases[] = {{1, 0, 0}, {2, 1, 0}, {3, 1, 1}, {4, 0, 1}, {5, 2, 1}, {6, 2, 0}};
    for (const Case& c : cases) {
        core_.bus_kind.store(-1);
        core_.hand_type.store(2);
        core_.total_joints.store(21);
        core_.active_joints.store(16);
        ASSERT_EQ(handle(core_, Bytes{0x4B, 0x0E, 0x20, 0x1D, c.code, 0x00, 0, 0}), 0);
        EXPECT_EQ(core_.bus_kind.load(), c.bus) << "model code " << int(c.code);
        EXPECT_EQ(core_.hand_type.load(), c.type) << "model code " << int(c.code);
        EXPECT_EQ(core_.total_joints.load(), 11);
        EXPECT_EQ(core_.active_joints.load(), 6);
    }
    // Unknown codes (also 0x0103: the high byte counts) leave everything.
    for (Bytes reply : {Bytes{0x4B, 0x0E, 0x20, 0x1D, 0x07, 0x00}, Bytes{0x4B, 0x0E, 0x20, 0x1D, 0x03, 0x01},
                        Bytes{0x4B, 0x0E, 0x20, 0x1D, 0x00, 0x00}}) {
        EXPECT_EQ(handle(core_, reply), 0);
        EXPECT_EQ(core_.bus_kind.load(), 2);
        EXPECT_EQ(core_.hand_type.load(), 0);
    }
}

TEST_F(DriveParamsTest, DirectionAndFirmwareReplies) {
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x30, 0x20, 0x05, 0x02, 0x00}), 0);
    EXPECT_EQ(core_.hand_direction.load(), 1);
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x30, 0x20, 0x05, 0x03, 0x00}), 0);
    EXPECT_EQ(core_.hand_direction.load(), 1);  // other values: unchanged
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x30, 0x20, 0x05, 0x01, 0x00}), 0);
    EXPECT_EQ(core_.hand_direction.load(), 0);
    // Sub-index 5 of another drive's object is not the direction.
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x70, 0x20, 0x05, 0x02, 0x00}), 0);
    EXPECT_EQ(core_.hand_direction.load(), 0);

    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x0E, 0x20, 0x1E, 0x7B, 0x00}), 0);  // 123
    EXPECT_FLOAT_EQ(core_.firmware_version.load(), 1.23f);
    EXPECT_EQ(handle(core_, Bytes{0x4B, 0x0E, 0x20, 0x1E, 0xFF, 0xFF}), 0);  // 65535
    EXPECT_FLOAT_EQ(core_.firmware_version.load(), 655.35f);
}

TEST_F(DriveParamsTest, WriteSendsLow16BitsLittleEndian) {
    EXPECT_EQ(set_sdo_drive_param(core_, 0x12022, 21, 0x5012C), 0);
    auto frames = sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 0x601u);
    EXPECT_EQ(frames[0].data, (Bytes{0x2B, 0x22, 0x20, 0x15, 0x2C, 0x01, 0x00, 0x00}));
}

TEST_F(DriveParamsTest, SaveSendsPreparationThenSaveWithDelay) {
    EXPECT_EQ(save_sdo_drive_param(core_), 0);
    auto frames = sent();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 0x601u);
    EXPECT_EQ(frames[0].data, (Bytes{0x00, 0x10, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(frames[1].id, 0x601u);
    EXPECT_EQ(frames[1].data, (Bytes{0x2F, 0x10, 0x10, 0x01, 0x73, 0x61, 0x76, 0x65}));
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(frames[1].at - frames[0].at).count(), 4500);
}

TEST_F(DriveParamsTest, OtherBusesSendNothingAndReadsTimeOut) {
    for (int bus : {0, 3, -1}) {
        core_.bus_kind.store(bus);
        EXPECT_EQ(save_sdo_drive_param(core_), 0);
        EXPECT_EQ(set_sdo_drive_param(core_, 0x2022, 21, 1), 0);
    }
    core_.bus_kind.store(0);
    unsigned value = 9;
    EXPECT_EQ(get_sdo_drive_param(core_, 0x2022, 21, &value), 7);
    EXPECT_EQ(value, 9u);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(get_sdo_drive_param(core_, 0x2022, 21, nullptr), 1);
}

// Readers on several threads, the device answering each on its own thread,
// and a flood of stray replies for other objects: every read gets the value
// of its own object.
TEST_F(DriveParamsTest, ConcurrentReadsEachGetTheirOwnValue) {
    for (unsigned k = 0; k < 6; ++k) device_.set_value(static_cast<uint16_t>(0x2022 + 0x40 * k), 21, 1000 + k);
    device_.set_delay(milliseconds(1));
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const Bytes stray{0x4B, 0x99, 0x20, 0x15, 0x01, 0x00};
        while (flooding.load()) {
            handle(core_, stray);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> readers;
    for (unsigned t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            for (unsigned i = 0; i < 10; ++i) {
                const unsigned k = (t + i) % 6;
                unsigned v = 0;
                if (get_sdo_drive_param(core_, 0x2022 + 0x40 * k, 21, &v) != 0)
                    ++failed;
                else if (v != 1000 + k)
                    ++wrong;
            }
        });
    }
    for (auto& r : readers) r.join();
    flooding.store(false);
    flood.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(core_.pending_read.load(), nullptr);
}

// ---- device settings ------------------------------------------------------------

TEST_F(DriveParamsTest, SettingWritesAllSixDrivesScaled) {
    EXPECT_EQ(set_canfd_arb_baudrate(core_, 1000000), 0);
    const Bytes objects[] = {{0x1D, 0x20}, {0x5D, 0x20}, {0x9D, 0x20}, {0xDD, 0x20}, {0x1D, 0x21}, {0x5D, 0x21}};
    auto frames = sent();
    ASSERT_EQ(frames.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(frames[k].data,
                  (Bytes{0x2B, objects[k][0], objects[k][1], 0x12, 0xE8, 0x03, 0x00, 0x00}))  // 1000 = 0x03E8
            << "drive " << k;
    }
    int rate = 0;
    ASSERT_EQ(get_canfd_arb_baudrate(core_, &rate), 0);
    EXPECT_EQ(rate, 1000000);
    // Only drive 0 is read.
    EXPECT_EQ(sent().back().data, (Bytes{0x40, 0x1D, 0x20, 0x12, 0, 0, 0, 0}));
}

TEST_F(DriveParamsTest, Rs485BaudrateTruncatesToHundreds) {
    EXPECT_EQ(set_rs485_baudrate(core_, 500099), 0);
    EXPECT_EQ(sent().back().data, (Bytes{0x2B, 0x5D, 0x21, 0x05, 0x88, 0x13, 0x00, 0x00}));  // 5000
    int rate = 0;
    ASSERT_EQ(get_rs485_baudrate(core_, &rate), 0);
    EXPECT_EQ(rate, 500000);
}

TEST_F(DriveParamsTest, SettingsAddressTheirObjects) {
    struct Case {
        int (*set)(HandCore&, int);
        int (*get)(HandCore&, int*);
        uint8_t index_lo;
        uint8_t sub;
        int value;
    };
    const Case cases[] = {
        {set_safe_current_enable, get_safe_current_enable, 0x17, 1, 1},
        {set_home_current, get_home_current, 0x22, 21, 300},
        {set_can_node_id, get_can_node_id, 0x1D, 17, 7},
        {set_canfd_data_baudrate, get_canfd_data_baudrate, 0x1D, 19, 5000000},
        {set_rs485_node_id, get_rs485_node_id, 0x1D, 6, 3},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.set(core_, c.value), 0);
        EXPECT_EQ(sent().front().data[1], c.index_lo);
        EXPECT_EQ(sent().front().data[3], c.sub);
        int back = -1;
        ASSERT_EQ(c.get(core_, &back), 0);
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(c.get(core_, nullptr), 1);
        std::lock_guard<std::mutex> lock(sent_mutex_);
        sent_.clear();
    }
    EXPECT_EQ(set_safe_current_enable(core_, 2), 1);
    EXPECT_TRUE(sent().empty());
}

TEST_F(DriveParamsTest, SettingReadOnEtherCatTimesOutAndKeepsOutput) {
    core_.bus_kind.store(0);
    int current = 123;
    const auto start = Clock::now();
    EXPECT_EQ(get_home_current(core_, &current), 7);
    EXPECT_GE(elapsed_ms(start), 195);
    EXPECT_EQ(current, 123);
    EXPECT_EQ(set_home_current(core_, 500), 0);
    EXPECT_TRUE(sent().empty());
}

// ---- OTA ------------------------------------------------------------------------------

TEST_F(DriveParamsTest, OtaSendStoresDataAndMarksBusy) {
    EXPECT_EQ(set_ota_send_data(core_, nullptr, 3), 1);
    EXPECT_FALSE(core_.ota_busy.load());
    const uint8_t payload[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(set_ota_send_data(core_, payload, 3), 0);
    EXPECT_TRUE(core_.ota_busy.load());
    EXPECT_EQ(core_.ota_data, (Bytes{0x01, 0x02, 0x03}));
    auto frames = sent();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].id, 0x9001u);  // extended identifier, flagged as such
    EXPECT_EQ(frames[0].flag, 1);
    EXPECT_EQ(frames[0].data, (Bytes{0x01, 0x02, 0x03}));

    // On EtherCAT nothing is sent, but the hand is still marked busy.
    core_.bus_kind.store(0);
    core_.ota_busy.store(false);
    EXPECT_EQ(set_ota_send_data(core_, payload, 2), 0);
    EXPECT_TRUE(core_.ota_busy.load());
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(DriveParamsTest, OtaQueueIsBoundedAt32) {
    const Bytes reply{0xAB, 0xCD};
    for (int i = 0; i < 32; ++i) {
        Bytes r = reply;
        r.push_back(static_cast<uint8_t>(i));
        ASSERT_EQ(queue_ota_reply(core_, ByteView(r.data(), r.size())), 0) << i;
    }
    EXPECT_EQ(queue_ota_reply(core_, ByteView(reply.data(), reply.size())), 7);
    Bytes too_long(67, 0x11);  // beyond the longest RS485 reply body
    EXPECT_EQ(queue_ota_reply(core_, ByteView(too_long.data(), too_long.size())), 8);
    EXPECT_EQ(queue_ota_reply(core_, ByteView()), 8);

    // Oldest first; the dropped one never appears.
    for (int i = 0; i < 32; ++i) {
        uint8_t out[64];
        int len = 64;
        ASSERT_EQ(get_ota_recv_data(core_, out, &len), 0);
        ASSERT_EQ(len, 3);
        EXPECT_EQ(out[2], i);
    }
    int len = 64;
    uint8_t out[64];
    EXPECT_EQ(get_ota_recv_data(core_, out, &len), 0);
    EXPECT_EQ(len, 0);
}

TEST_F(DriveParamsTest, OtaReceiveSizeQueryAndTruncation) {
    int len = 4;
    EXPECT_EQ(get_ota_recv_data(core_, nullptr, nullptr), 1);
    len = -1;
    EXPECT_EQ(get_ota_recv_data(core_, nullptr, &len), 1);

    Bytes reply{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes full(64, 0x5A);
    ASSERT_EQ(queue_ota_reply(core_, ByteView(reply.data(), reply.size())), 0);
    ASSERT_EQ(queue_ota_reply(core_, ByteView(full.data(), full.size())), 0);

    len = 0;
    EXPECT_EQ(get_ota_recv_data(core_, nullptr, &len), 0);
    EXPECT_EQ(len, 10);  // size query keeps the reply queued

    uint8_t out[8];
    std::fill(std::begin(out), std::end(out), 0xA5);
    len = 4;
    EXPECT_EQ(get_ota_recv_data(core_, out, &len), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 1, 2, 3, 0xA5}));

    // The rest of that reply is gone: next comes the 64-byte one.
    uint8_t big[64];
    len = 64;
    EXPECT_EQ(get_ota_recv_data(core_, big, &len), 0);
    EXPECT_EQ(len, 64);
    EXPECT_EQ(big[63], 0x5A);
}

}  // namespace
}  // namespace morvx
