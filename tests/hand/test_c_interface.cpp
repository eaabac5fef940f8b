// C interface rules that a C caller relies on: null handles, the array
// getters' ownership and failure paths, and the frame log through C.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "c_array_alloc.h"
#include "morvane/morvane.h"
#include "morvane/morvane_c.h"
#include "stress_run.h"
#include "tactile_readings.h"
#include "temp_dir.h"

namespace {

bool data_stub(const uint8_t*, unsigned) { return true; }
bool canfd_stub(unsigned, const uint8_t*, unsigned, int) { return true; }
bool can_stub(unsigned, const uint8_t*, unsigned) { return true; }
void log_stub(const char*) {}

void* failing_alloc(std::size_t) { return nullptr; }

// Succeeds once, then fails: the second of two arrays cannot be allocated.
int g_allocs_left = 0;
void* fail_after_first(std::size_t bytes) { return g_allocs_left-- > 0 ? std::malloc(bytes) : nullptr; }

class AllocatorSwap {
public:
    explicit AllocatorSwap(morvx::CArrayAllocator fn) : previous_(morvx::set_c_array_allocator(fn)) {}
    ~AllocatorSwap() { morvx::set_c_array_allocator(previous_); }

private:
    morvx::CArrayAllocator previous_;
};

struct HandleDeleter {
    void operator()(morvane_hand_record* h) const { morvane_destroy(h); }
};
using Handle = std::unique_ptr<morvane_hand_record, HandleDeleter>;

Handle make_hand() {
    Handle h(morvane_create());
    EXPECT_NE(h, nullptr);
    return h;
}

TEST(CInterfaceNullHandle, IntFunctionsReturnOneOthersDoNothing) {
    int i = 0;
    float f = 0.0f;
    float* fp = nullptr;
    unsigned u = 0;
    char text[8] = {};
    uint8_t bytes[8] = {};
    int codes[2] = {1, 2};
    EXPECT_EQ(morvane_initial(nullptr, 1), 1) << "morvane_initial";
    EXPECT_EQ(morvane_initial_ex(nullptr, 1, 1u), 1) << "morvane_initial_ex";
    EXPECT_EQ(morvane_get_pre_send_rpdo_data(nullptr, bytes, &i), 1) << "morvane_get_pre_send_rpdo_data";
    EXPECT_EQ(morvane_set_tpdo_data_decode(nullptr, bytes, 1), 1) << "morvane_set_tpdo_data_decode";
    EXPECT_EQ(morvane_get_pre_send_canfd_data(nullptr, bytes, &i), 1) << "morvane_get_pre_send_canfd_data";
    EXPECT_EQ(morvane_set_canfd_data_decode(nullptr, 1u, bytes, 1), 1) << "morvane_set_canfd_data_decode";
    EXPECT_EQ(morvane_get_pre_send_rs485_data(nullptr, bytes, &i), 1) << "morvane_get_pre_send_rs485_data";
    EXPECT_EQ(morvane_set_rs485_data_decode(nullptr, bytes, 1), 1) << "morvane_set_rs485_data_decode";
    EXPECT_EQ(morvane_set_can_data_decode(nullptr, 1u, bytes, 1), 1) << "morvane_set_can_data_decode";
    EXPECT_EQ(morvane_get_pre_send_can_data(nullptr, bytes, &i), 1) << "morvane_get_pre_send_can_data";
    EXPECT_EQ(morvane_get_firmware_version(nullptr, &f), 1) << "morvane_get_firmware_version";
    EXPECT_EQ(morvane_get_serial_number(nullptr, text, 1), 1) << "morvane_get_serial_number";
    EXPECT_EQ(morvane_get_dof(nullptr, &i, &i), 1) << "morvane_get_dof";
    EXPECT_EQ(morvane_set_hand_type(nullptr, 1), 1) << "morvane_set_hand_type";
    EXPECT_EQ(morvane_get_hand_type(nullptr, &i), 1) << "morvane_get_hand_type";
    EXPECT_EQ(morvane_set_hand_direction(nullptr, 1), 1) << "morvane_set_hand_direction";
    EXPECT_EQ(morvane_get_hand_direction(nullptr, &i), 1) << "morvane_get_hand_direction";
    EXPECT_EQ(morvane_set_safe_current_enable(nullptr, 1), 1) << "morvane_set_safe_current_enable";
    EXPECT_EQ(morvane_get_safe_current_enable(nullptr, &i), 1) << "morvane_get_safe_current_enable";
    EXPECT_EQ(morvane_set_home_current(nullptr, 1), 1) << "morvane_set_home_current";
    EXPECT_EQ(morvane_get_home_current(nullptr, &i), 1) << "morvane_get_home_current";
    EXPECT_EQ(morvane_set_can_node_id(nullptr, 1), 1) << "morvane_set_can_node_id";
    EXPECT_EQ(morvane_get_can_node_id(nullptr, &i), 1) << "morvane_get_can_node_id";
    EXPECT_EQ(morvane_set_canfd_arb_baudrate(nullptr, 1), 1) << "morvane_set_canfd_arb_baudrate";
    EXPECT_EQ(morvane_get_canfd_arb_baudrate(nullptr, &i), 1) << "morvane_get_canfd_arb_baudrate";
    EXPECT_EQ(morvane_set_canfd_data_baudrate(nullptr, 1), 1) << "morvane_set_canfd_data_baudrate";
    EXPECT_EQ(morvane_get_canfd_data_baudrate(nullptr, &i), 1) << "morvane_get_canfd_data_baudrate";
    EXPECT_EQ(morvane_set_rs485_node_id(nullptr, 1), 1) << "morvane_set_rs485_node_id";
    EXPECT_EQ(morvane_get_rs485_node_id(nullptr, &i), 1) << "morvane_get_rs485_node_id";
    EXPECT_EQ(morvane_set_rs485_baudrate(nullptr, 1), 1) << "morvane_set_rs485_baudrate";
    EXPECT_EQ(morvane_get_rs485_baudrate(nullptr, &i), 1) << "morvane_get_rs485_baudrate";
    EXPECT_EQ(morvane_set_sdo_drive_param(nullptr, 1u, uint8_t{1}, 1u), 1) << "morvane_set_sdo_drive_param";
    EXPECT_EQ(morvane_get_sdo_drive_param(nullptr, 1u, uint8_t{1}, &u), 1) << "morvane_get_sdo_drive_param";
    EXPECT_EQ(morvane_save_sdo_drive_param(nullptr), 1) << "morvane_save_sdo_drive_param";
    EXPECT_EQ(morvane_set_control_mode(nullptr, 1, 1), 1) << "morvane_set_control_mode";
    EXPECT_EQ(morvane_get_control_mode(nullptr, 1, &i), 1) << "morvane_get_control_mode";
    EXPECT_EQ(morvane_set_enable(nullptr, 1, 1), 1) << "morvane_set_enable";
    EXPECT_EQ(morvane_get_enable(nullptr, 1, &i), 1) << "morvane_get_enable";
    EXPECT_EQ(morvane_get_position_reached(nullptr, 1, &i), 1) << "morvane_get_position_reached";
    EXPECT_EQ(morvane_get_torque_reached(nullptr, 1, &i), 1) << "morvane_get_torque_reached";
    EXPECT_EQ(morvane_set_clear_alarm(nullptr, 1), 1) << "morvane_set_clear_alarm";
    EXPECT_EQ(morvane_get_now_alarm(nullptr, 1, &i), 1) << "morvane_get_now_alarm";
    EXPECT_EQ(morvane_set_move_no_home(nullptr, 1), 1) << "morvane_set_move_no_home";
    EXPECT_EQ(morvane_set_angle_conversion_enable(nullptr, 1), 1) << "morvane_set_angle_conversion_enable";
    EXPECT_EQ(morvane_get_angle_conversion_enable(nullptr, &i), 1) << "morvane_get_angle_conversion_enable";
    EXPECT_EQ(morvane_home_motors(nullptr, 1), 1) << "morvane_home_motors";
    EXPECT_EQ(morvane_get_limit_target_angle(nullptr, 1, &f, &f), 1) << "morvane_get_limit_target_angle";
    EXPECT_EQ(morvane_move_motors(nullptr, 1), 1) << "morvane_move_motors";
    EXPECT_EQ(morvane_stop_motors(nullptr, 1), 1) << "morvane_stop_motors";
    EXPECT_EQ(morvane_play_gesture(nullptr, 1, 1, 1), 1) << "morvane_play_gesture";
    EXPECT_EQ(morvane_get_now_status(nullptr, 1, &i), 1) << "morvane_get_now_status";
    EXPECT_EQ(morvane_sync_position_to_target(nullptr, 1), 1) << "morvane_sync_position_to_target";
    EXPECT_EQ(morvane_set_target_angle(nullptr, 1, 1.0f), 1) << "morvane_set_target_angle";
    EXPECT_EQ(morvane_get_target_angle(nullptr, 1, &f), 1) << "morvane_get_target_angle";
    EXPECT_EQ(morvane_set_target_position(nullptr, 1, 1), 1) << "morvane_set_target_position";
    EXPECT_EQ(morvane_get_target_position(nullptr, 1, &i), 1) << "morvane_get_target_position";
    EXPECT_EQ(morvane_set_velocity(nullptr, 1, 1.0f), 1) << "morvane_set_velocity";
    EXPECT_EQ(morvane_get_velocity(nullptr, 1, &f), 1) << "morvane_get_velocity";
    EXPECT_EQ(morvane_set_angular_velocity(nullptr, 1, 1.0f), 1) << "morvane_set_angular_velocity";
    EXPECT_EQ(morvane_get_angular_velocity(nullptr, 1, &f), 1) << "morvane_get_angular_velocity";
    EXPECT_EQ(morvane_set_position_velocity(nullptr, 1, 1), 1) << "morvane_set_position_velocity";
    EXPECT_EQ(morvane_get_position_velocity(nullptr, 1, &i), 1) << "morvane_get_position_velocity";
    EXPECT_EQ(morvane_set_max_current(nullptr, 1, 1), 1) << "morvane_set_max_current";
    EXPECT_EQ(morvane_get_max_current(nullptr, 1, &i), 1) << "morvane_get_max_current";
    EXPECT_EQ(morvane_get_now_angle(nullptr, 1, &f), 1) << "morvane_get_now_angle";
    EXPECT_EQ(morvane_get_now_position(nullptr, 1, &i), 1) << "morvane_get_now_position";
    EXPECT_EQ(morvane_get_now_velocity(nullptr, 1, &f), 1) << "morvane_get_now_velocity";
    EXPECT_EQ(morvane_get_now_angular_velocity(nullptr, 1, &f), 1) << "morvane_get_now_angular_velocity";
    EXPECT_EQ(morvane_get_now_position_velocity(nullptr, 1, &i), 1) << "morvane_get_now_position_velocity";
    EXPECT_EQ(morvane_get_now_current(nullptr, 1, &i), 1) << "morvane_get_now_current";
    EXPECT_EQ(morvane_set_sensor_enable(nullptr, 1), 1) << "morvane_set_sensor_enable";
    EXPECT_EQ(morvane_set_sensor_data_format(nullptr, 1), 1) << "morvane_set_sensor_data_format";
    EXPECT_EQ(morvane_set_sensor_order(nullptr, codes, 1), 1) << "morvane_set_sensor_order";
    EXPECT_EQ(morvane_get_finger_sensor_pos(nullptr, 1, &fp, &fp, &i), 1) << "morvane_get_finger_sensor_pos";
    EXPECT_EQ(morvane_get_finger_pressure(nullptr, 1, &fp, &i), 1) << "morvane_get_finger_pressure";
    EXPECT_EQ(morvane_set_finger_pressure_reset(nullptr), 1) << "morvane_set_finger_pressure_reset";
    EXPECT_EQ(morvane_get_finger_normal_force(nullptr, 1, &f), 1) << "morvane_get_finger_normal_force";
    EXPECT_EQ(morvane_get_finger_normal_force_ex(nullptr, 1, &fp, &i), 1) << "morvane_get_finger_normal_force_ex";
    EXPECT_EQ(morvane_get_finger_tangential_force(nullptr, 1, &f), 1) << "morvane_get_finger_tangential_force";
    EXPECT_EQ(morvane_get_finger_tangential_force_ex(nullptr, 1, &fp, &i), 1) << "morvane_get_finger_tangential_force_ex";
    EXPECT_EQ(morvane_get_finger_force_direction(nullptr, 1, &f), 1) << "morvane_get_finger_force_direction";
    EXPECT_EQ(morvane_get_finger_force_direction_ex(nullptr, 1, &fp, &i), 1) << "morvane_get_finger_force_direction_ex";
    EXPECT_EQ(morvane_get_finger_proximity(nullptr, 1, &f), 1) << "morvane_get_finger_proximity";
    EXPECT_EQ(morvane_get_finger_proximity_ex(nullptr, 1, &fp, &i), 1) << "morvane_get_finger_proximity_ex";
    EXPECT_EQ(morvane_log_send(nullptr, &i, 1), 1) << "morvane_log_send";
    EXPECT_EQ(morvane_log_recv(nullptr, &i, 1), 1) << "morvane_log_recv";
    EXPECT_EQ(morvane_log_save(nullptr, "unused.txt"), 1) << "morvane_log_save";
    morvane_destroy(nullptr);
    morvane_close(nullptr);
    morvane_start_monitor(nullptr);
    morvane_stop_monitor(nullptr);
    morvane_set_dry_run_mode(nullptr, true);
    EXPECT_FALSE(morvane_get_dry_run_mode(nullptr));
    morvane_set_send_rpdo_callback(nullptr, data_stub);
    morvane_set_send_canfd_callback(nullptr, canfd_stub);
    morvane_set_send_rs485_callback(nullptr, data_stub);
    morvane_set_rs485_shared_bus(nullptr, nullptr);
    morvane_set_send_can_callback(nullptr, can_stub);
    morvane_log_on(nullptr, true, 1);
    morvane_log_reset(nullptr, true, true);
    morvane_log_clear(nullptr);
    morvane_set_log_callback(nullptr, log_stub);
    EXPECT_EQ(fp, nullptr);
}

TEST(CInterfaceNullHandle, SharedBusFunctions) {
    const uint8_t byte = 0x48;
    EXPECT_EQ(morvane_rs485_shared_bus_set_receive_data(nullptr, &byte, 1), 1);
    morvane_rs485_shared_bus_set_send_callback(nullptr, data_stub);
    morvane_rs485_shared_bus_close(nullptr);
    morvane_rs485_shared_bus_destroy(nullptr);
    morvane_free_buffer(nullptr);
}

// Channel 1's sensor geometry is known from construction: the arrays must
// match what the class reports, element by element.
TEST(CInterfaceArrays, SensorPositionsMatchTheClass) {
    morvx::Morvane reference;
    int n = 0;
    ASSERT_EQ(reference.get_finger_sensor_pos(1, nullptr, nullptr, &n), 0);
    ASSERT_GT(n, 0);
    std::vector<float> rx(n), ry(n);
    int filled = n;
    ASSERT_EQ(reference.get_finger_sensor_pos(1, rx.data(), ry.data(), &filled), 0);

    Handle h = make_hand();
    float* x = nullptr;
    float* y = nullptr;
    int count = -1;
    ASSERT_EQ(morvane_get_finger_sensor_pos(h.get(), 1, &x, &y, &count), 0);
    ASSERT_EQ(count, filled);
    ASSERT_NE(x, nullptr);
    ASSERT_NE(y, nullptr);
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(x[k], rx[k]) << k;
        EXPECT_EQ(y[k], ry[k]) << k;
    }
    morvane_free_buffer(x);
    morvane_free_buffer(y);
}

TEST(CInterfaceArrays, BadArgumentsLeaveNullOutputs) {
    Handle h = make_hand();
    float sentinel = 0.0f;
    for (int channel : {0, 12, -1}) {
        float* values = &sentinel;
        int count = 77;
        EXPECT_EQ(morvane_get_finger_pressure(h.get(), channel, &values, &count), 1) << channel;
        EXPECT_EQ(values, nullptr);
        EXPECT_EQ(count, 0);
        float* x = &sentinel;
        float* y = &sentinel;
        count = 77;
        EXPECT_EQ(morvane_get_finger_sensor_pos(h.get(), channel, &x, &y, &count), 1) << channel;
        EXPECT_EQ(x, nullptr);
        EXPECT_EQ(y, nullptr);
        EXPECT_EQ(count, 0);
    }
    float* values = nullptr;
    int count = 0;
    EXPECT_EQ(morvane_get_finger_pressure(h.get(), 1, nullptr, &count), 1);
    EXPECT_EQ(morvane_get_finger_pressure(h.get(), 1, &values, nullptr), 1);
    EXPECT_EQ(morvane_get_finger_sensor_pos(h.get(), 1, &values, nullptr, &count), 1);
    EXPECT_EQ(morvane_get_finger_sensor_pos(h.get(), 1, nullptr, &values, &count), 1);
}

// Every one-array getter on every channel: an array exactly when the count is
// positive, and the count the class reports.
TEST(CInterfaceArrays, OneArrayGettersAgreeWithTheClass) {
    using CGetter = int (*)(morvane_handle, int, float**, int*);
    using Method = int (morvx::Morvane::*)(int, float*, int*);
    const struct {
        CGetter c;
        Method method;
    } getters[] = {
        {morvane_get_finger_pressure, &morvx::Morvane::get_finger_pressure},
        {morvane_get_finger_normal_force_ex, &morvx::Morvane::get_finger_normal_force_ex},
        {morvane_get_finger_tangential_force_ex, &morvx::Morvane::get_finger_tangential_force_ex},
        {morvane_get_finger_force_direction_ex, &morvx::Morvane::get_finger_force_direction_ex},
        {morvane_get_finger_proximity_ex, &morvx::Morvane::get_finger_proximity_ex},
    };
    morvx::Morvane reference;
    Handle h = make_hand();
    for (const auto& g : getters) {
        for (int channel = 1; channel <= 11; ++channel) {
            int expected = 0;
            const int expected_rc = (reference.*g.method)(channel, nullptr, &expected);
            float* values = nullptr;
            int count = -1;
            const int rc = g.c(h.get(), channel, &values, &count);
            EXPECT_EQ(rc, expected_rc) << channel;
            if (rc == 0 && expected > 0) {
                EXPECT_NE(values, nullptr);
                EXPECT_EQ(count, expected);
            } else {
                EXPECT_EQ(values, nullptr);
                EXPECT_EQ(count, 0);
            }
            morvane_free_buffer(values);
        }
    }
}

TEST(CInterfaceArrays, AllocationFailureGives999AndNullOutputs) {
    Handle h = make_hand();
    {
        AllocatorSwap swap(&failing_alloc);
        float* x = nullptr;
        float* y = nullptr;
        int count = -1;
        EXPECT_EQ(morvane_get_finger_sensor_pos(h.get(), 1, &x, &y, &count), 999);
        EXPECT_EQ(x, nullptr);
        EXPECT_EQ(y, nullptr);
        EXPECT_EQ(count, 0);

        int n = 0;
        morvx::Morvane reference;
        ASSERT_EQ(reference.get_finger_pressure(1, nullptr, &n), 0);
        float* values = nullptr;
        count = -1;
        EXPECT_EQ(morvane_get_finger_pressure(h.get(), 1, &values, &count), n > 0 ? 999 : 0);
        EXPECT_EQ(values, nullptr);
        EXPECT_EQ(count, 0);
    }
    {
        // The first array is allocated, the second fails: the first is freed
        // (the leak checker would report it otherwise).
        g_allocs_left = 1;
        AllocatorSwap swap(&fail_after_first);
        float* x = nullptr;
        float* y = nullptr;
        int count = -1;
        EXPECT_EQ(morvane_get_finger_sensor_pos(h.get(), 1, &x, &y, &count), 999);
        EXPECT_EQ(x, nullptr);
        EXPECT_EQ(y, nullptr);
        EXPECT_EQ(count, 0);
    }
}

// The array getters count, allocate and then copy. While the receive thread
// decodes at full rate and the caller's thread keeps switching formats and
// directions (lists and layouts change length between the two calls), every
// array must still be one whole list of one reading, its count that list's
// length (tactile_readings.h).
TEST(CInterfaceArrays, ArraysHoldOneWholeListWhileChannelsAreRebuilt) {
    using namespace tactile_readings;
    Handle h = make_hand();
    morvane_set_dry_run_mode(h.get(), true);
    ASSERT_EQ(morvane_initial_ex(h.get(), 1, 1), 0);

    std::atomic<long> bad{0};
    uint8_t k = 0;
    const auto receive = [&] {
        k = next_block_value(k);
        const std::vector<uint8_t> fingertip = fingertip_reply(k), palm = palm_reply(k);
        morvane_set_canfd_data_decode(h.get(), 0x481, fingertip.data(), static_cast<int>(fingertip.size()));
        morvane_set_canfd_data_decode(h.get(), 0x481, palm.data(), static_cast<int>(palm.size()));
    };
    const auto read = [&] {
        using PairGetter = int (*)(morvane_handle, int, float**, int*);
        const PairGetter pairs[] = {morvane_get_finger_normal_force_ex, morvane_get_finger_tangential_force_ex,
                                    morvane_get_finger_force_direction_ex, morvane_get_finger_proximity_ex};
        for (int ch : {kFingertip, kPalm}) {
            float* v = nullptr;
            float* y = nullptr;
            int n = 0;
            if (morvane_get_finger_pressure(h.get(), ch, &v, &n) != 0 || pressure_block(ch, v, n) < 0) ++bad;
            morvane_free_buffer(v);
            if (morvane_get_finger_sensor_pos(h.get(), ch, &v, &y, &n) != 0 || !positions_of_a_layout(ch, v, y, n))
                ++bad;
            morvane_free_buffer(v);
            morvane_free_buffer(y);
            for (PairGetter get : pairs) {
                if (get(h.get(), ch, &v, &n) != 0 || n != 2 || v[0] != v[1]) ++bad;
                morvane_free_buffer(v);
            }
        }
    };
    const auto set_up = [&](long round) {
        return morvane_set_sensor_data_format(h.get(), round & 1) == 0 &&
               morvane_set_hand_direction(h.get(), round >> 1 & 1) == 0;
    };
    const hand_test::StressRun run = hand_test::run_stress(receive, read, set_up);
    EXPECT_TRUE(run.set_up_ok);
    EXPECT_EQ(bad.load(), 0) << "in " << run.read << " rounds of reads";
    morvane_close(h.get());
}

std::vector<std::string> g_lines;
void collect(const char* line) { g_lines.emplace_back(line); }

TEST(CInterfaceLog, CallbackAndFiltersThroughC) {
    g_lines.clear();
    Handle h = make_hand();
    morvane_set_dry_run_mode(h.get(), true);
    ASSERT_EQ(morvane_initial_ex(h.get(), 1, 1), 0);
    morvane_set_log_callback(h.get(), collect);
    morvane_log_on(h.get(), true, 10);
    ASSERT_EQ(morvane_set_move_no_home(h.get(), 1), 0);

    ASSERT_EQ(morvane_move_motors(h.get(), 0), 0);
    EXPECT_TRUE(g_lines.empty());  // no code enabled yet

    int length = 0;
    ASSERT_EQ(morvane_get_pre_send_canfd_data(h.get(), nullptr, &length), 0);
    ASSERT_GT(length, 0);
    std::vector<uint8_t> frame(length);
    ASSERT_EQ(morvane_get_pre_send_canfd_data(h.get(), frame.data(), &length), 0);
    int code = frame[0];
    ASSERT_EQ(morvane_log_send(h.get(), &code, 1), 0);
    ASSERT_EQ(morvane_move_motors(h.get(), 0), 0);
    ASSERT_EQ(morvane_get_pre_send_canfd_data(h.get(), frame.data(), &length), 0);
    ASSERT_FALSE(g_lines.empty());
    std::string expected = "Send: ";
    static const char kHex[] = "0123456789ABCDEF";
    for (int k = 0; k < length; ++k) {
        expected += ' ';
        expected += kHex[frame[k] >> 4];
        expected += kHex[frame[k] & 15];
    }
    expected += " = ok";
    EXPECT_EQ(g_lines.back(), expected);

    const std::size_t before = g_lines.size();
    morvane_log_reset(h.get(), true, false);
    ASSERT_EQ(morvane_move_motors(h.get(), 0), 0);
    EXPECT_EQ(g_lines.size(), before);
    morvane_set_log_callback(h.get(), nullptr);
    morvane_close(h.get());
}

// A receive thread feeds frames (each logged by the decoder) while the
// caller saves the log and reads published values through the same handle.
TEST(CInterfaceLog, SavesWhileTheReceiveThreadLogs) {
    Handle h = make_hand();
    morvane_set_dry_run_mode(h.get(), true);
    ASSERT_EQ(morvane_initial_ex(h.get(), 1, 1), 0);
    int code = 0x3C;
    ASSERT_EQ(morvane_log_recv(h.get(), &code, 1), 0);
    morvane_log_on(h.get(), true, 16384);

    constexpr int kFrames = 30000;
    std::thread receiver([&h] {
        uint8_t frame[12] = {0x3C};
        for (int i = 0; i < kFrames; ++i) {
            frame[1] = static_cast<uint8_t>(i >> 8);
            frame[2] = static_cast<uint8_t>(i);
            // An id the hand does not answer on: logged, then ignored.
            morvane_set_canfd_data_decode(h.get(), 0x7F0, frame, 3 + i % 10);
        }
    });
    char dir_template[] = "/tmp/morvane_log_XXXXXX";
    ASSERT_NE(kit_make_temp_dir(dir_template), nullptr);
    const std::string dir = dir_template;
    std::vector<std::string> files;
    for (int k = 0; k < 6; ++k) {
        files.push_back(dir + "/save" + std::to_string(k) + ".txt");
        EXPECT_EQ(morvane_log_save(h.get(), files.back().c_str()), 0);
        float angle = 0.0f;
        EXPECT_EQ(morvane_get_now_angle(h.get(), 1, &angle), 0);
    }
    receiver.join();
    files.push_back(dir + "/final.txt");
    ASSERT_EQ(morvane_log_save(h.get(), files.back().c_str()), 0);

    std::size_t final_lines = 0;
    for (const auto& file : files) {
        std::ifstream in(file);
        std::string line;
        std::size_t lines = 0;
        while (std::getline(in, line)) {
            ++lines;
            ASSERT_EQ(line.compare(0, 10, "Recv:  3C "), 0) << line;
            ASSERT_EQ(line.compare(line.size() - 5, 5, " = ok"), 0) << line;
        }
        final_lines = lines;
        std::remove(file.c_str());
    }
    EXPECT_EQ(final_lines, 16384u);
    ::rmdir(dir.c_str());
    morvane_close(h.get());
}

TEST(CInterfaceLifecycle, NodeIdLimitAndSharedBusDetach) {
    Handle h = make_hand();
    morvane_set_dry_run_mode(h.get(), true);
    EXPECT_TRUE(morvane_get_dry_run_mode(h.get()));
    EXPECT_EQ(morvane_initial_ex(h.get(), 1, 256), 1);

    morvane_rs485_shared_bus_handle bus = morvane_rs485_shared_bus_create();
    ASSERT_NE(bus, nullptr);
    morvane_rs485_shared_bus_set_send_callback(bus, data_stub);
    morvane_set_rs485_shared_bus(h.get(), bus);
    EXPECT_EQ(morvane_initial_ex(h.get(), 2, 5), 0);
    morvane_set_rs485_shared_bus(h.get(), nullptr);
    morvane_rs485_shared_bus_close(bus);
    // Detached: a private context, unaffected by the closed shared bus.
    morvane_set_send_rs485_callback(h.get(), data_stub);
    EXPECT_EQ(morvane_initial(h.get(), 2), 0);
    const uint8_t byte = 0x48;
    EXPECT_EQ(morvane_rs485_shared_bus_set_receive_data(bus, &byte, 1), 5);
    morvane_close(h.get());
    h.reset();
    morvane_rs485_shared_bus_destroy(bus);
}

}  // namespace
