// Getters and the decoders on a frame's way in never touch the heap, so a
// real-time control loop can call them. A counting allocator in this program
// counts what the calling thread allocates while a check runs (other threads
// -- monitors, RS485 workers, the flat library's transport -- are not
// counted). The C interface's array getters allocate exactly the arrays they
// hand over. Bus requests (drive parameters and the settings read through
// them) and the frame log's text lines, which exist only while logging is
// on, are not covered.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "morvane/morvane.h"
#include "morvane/morvane_c.h"
#include "morvane_lv/morvane_lv.h"
#include "protocol_helpers.h"
#include "simadapter/sim_adapter.h"
#include "simcan/sim_can_bus.h"
#include "slot_table.h"
#include "tactile_frame.h"

namespace {

thread_local bool t_counting = false;
thread_local unsigned long t_allocations = 0;

inline void note_allocation() {
    if (t_counting) ++t_allocations;
}

}  // namespace

#ifdef KIT_SANITIZER_BUILD
// The sanitizers own malloc; they report each allocation to a hook instead.
#include <sanitizer/allocator_interface.h>

namespace {
void on_malloc(const volatile void*, std::size_t) { note_allocation(); }
void on_free(const volatile void*) {}
const bool g_hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
}  // namespace
#else
// glibc's own entry points; every allocation of this program passes here.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) {
    note_allocation();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    note_allocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    note_allocation();
    return __libc_realloc(p, n);
}
void* memalign(std::size_t alignment, std::size_t n) {
    note_allocation();
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) { return memalign(alignment, n); }
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    void* p = memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}  // extern "C"

namespace {
void* counted_new(std::size_t n) {
    note_allocation();
    if (void* p = __libc_malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
const bool g_hooks_installed = true;
}  // namespace

void* operator new(std::size_t n) { return counted_new(n); }
void* operator new[](std::size_t n) { return counted_new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    note_allocation();
    return __libc_malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using morvx::Morvane;
using Bytes = std::vector<uint8_t>;

constexpr int kRounds = 500;

// Allocations the calling thread makes while fn runs.
template <typename F>
unsigned long allocations_in(F&& fn) {
    t_allocations = 0;
    t_counting = true;
    fn();
    t_counting = false;
    return t_allocations;
}

// Where the probe's blocks go, so that the compiler cannot leave them out.
void* volatile g_probe;

// The first check of a test proves that allocations are seen at all.
void expect_counter_works() {
    ASSERT_TRUE(g_hooks_installed) << "allocation hooks could not be installed";
    const unsigned long seen = allocations_in([] {
        g_probe = new int(1);
        delete static_cast<int*>(g_probe);
        g_probe = std::malloc(16);
        std::free(g_probe);
    });
    ASSERT_EQ(seen, 2u);
}

Bytes rs485_reply(uint8_t node, const Bytes& body) {
    Bytes f{'H', node};
    f.insert(f.end(), body.begin(), body.end());
    const uint16_t crc = morvx::crc16_modbus(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

// A status body (code, count, items...) of size bytes with a pattern.
Bytes status_body(uint8_t code, std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    b[0] = code;
    return b;
}

// Every getter of published values, with good and bad arguments.
void read_everything(Morvane& m) {
    float f = 0, g = 0, values[40], x[40], y[40];
    int v = 0, w = 0, n = 0;
    uint8_t bytes[128];
    char serial[32];
    for (int j = -1; j <= 17; ++j) {
        m.get_now_angle(j, &f);
        m.get_now_position(j, &v);
        m.get_now_velocity(j, &f);
        m.get_now_angular_velocity(j, &f);
        m.get_now_position_velocity(j, &v);
        m.get_now_current(j, &v);
        m.get_target_angle(j, &f);
        m.get_target_position(j, &v);
        m.get_velocity(j, &f);
        m.get_angular_velocity(j, &f);
        m.get_position_velocity(j, &v);
        m.get_max_current(j, &v);
        m.get_control_mode(j, &v);
        m.get_enable(j, &v);
        m.get_position_reached(j, &v);
        m.get_torque_reached(j, &v);
        m.get_now_alarm(j, &v);
        m.get_now_status(j, &v);
        m.get_limit_target_angle(j, &f, &g);
        m.get_now_angle(j, nullptr);
    }
    m.get_firmware_version(&f);
    m.get_serial_number(serial, sizeof serial);
    m.get_dof(&v, &w);
    m.get_hand_type(&v);
    m.get_hand_direction(&v);
    m.get_angle_conversion_enable(&v);
    m.get_dry_run_mode();
    for (auto get : {&Morvane::get_pre_send_rpdo_data, &Morvane::get_pre_send_canfd_data,
                     &Morvane::get_pre_send_rs485_data, &Morvane::get_pre_send_can_data}) {
        n = sizeof bytes;
        (m.*get)(bytes, &n);
        (m.*get)(nullptr, &n);
    }
    n = sizeof bytes;
    m.get_ota_recv_data(bytes, &n);
    for (int ch = 0; ch <= 12; ++ch) {
        for (auto get : {&Morvane::get_finger_pressure, &Morvane::get_finger_normal_force_ex,
                         &Morvane::get_finger_tangential_force_ex, &Morvane::get_finger_force_direction_ex,
                         &Morvane::get_finger_proximity_ex}) {
            (m.*get)(ch, nullptr, &n);
            n = 40;
            (m.*get)(ch, values, &n);
        }
        for (auto get : {&Morvane::get_finger_normal_force, &Morvane::get_finger_tangential_force,
                         &Morvane::get_finger_force_direction, &Morvane::get_finger_proximity}) {
            (m.*get)(ch, &f);
            (m.*get)(ch, nullptr);
        }
        m.get_finger_sensor_pos(ch, nullptr, nullptr, &n);
        n = 40;
        m.get_finger_sensor_pos(ch, x, y, &n);
    }
}

// The scalar getters of the C interface.
void read_everything_c(morvane_handle h) {
    float f = 0, g = 0;
    int v = 0, w = 0, n = 0;
    uint8_t bytes[128];
    char serial[32];
    for (int j = 0; j <= 7; ++j) {
        morvane_get_now_angle(h, j, &f);
        morvane_get_now_position(h, j, &v);
        morvane_get_now_velocity(h, j, &f);
        morvane_get_now_angular_velocity(h, j, &f);
        morvane_get_now_position_velocity(h, j, &v);
        morvane_get_now_current(h, j, &v);
        morvane_get_target_angle(h, j, &f);
        morvane_get_target_position(h, j, &v);
        morvane_get_velocity(h, j, &f);
        morvane_get_angular_velocity(h, j, &f);
        morvane_get_position_velocity(h, j, &v);
        morvane_get_max_current(h, j, &v);
        morvane_get_control_mode(h, j, &v);
        morvane_get_enable(h, j, &v);
        morvane_get_position_reached(h, j, &v);
        morvane_get_torque_reached(h, j, &v);
        morvane_get_now_alarm(h, j, &v);
        morvane_get_now_status(h, j, &v);
        morvane_get_limit_target_angle(h, j, &f, &g);
    }
    morvane_get_firmware_version(h, &f);
    morvane_get_serial_number(h, serial, sizeof serial);
    morvane_get_dof(h, &v, &w);
    morvane_get_hand_type(h, &v);
    morvane_get_hand_direction(h, &v);
    morvane_get_angle_conversion_enable(h, &v);
    morvane_get_dry_run_mode(h);
    n = sizeof bytes;
    morvane_get_pre_send_canfd_data(h, bytes, &n);
    for (int ch = 0; ch <= 12; ++ch) {
        morvane_get_finger_normal_force(h, ch, &f);
        morvane_get_finger_tangential_force(h, ch, &f);
        morvane_get_finger_force_direction(h, ch, &f);
        morvane_get_finger_proximity(h, ch, &f);
    }
    morvane_get_now_angle(nullptr, 1, &f);
}

// The scalar getters of the flat library.
void read_everything_lv() {
    float f = 0, g = 0;
    int v = 0, w = 0;
    for (int j = 0; j <= 7; ++j) {
        lv_get_now_angle(j, &f);
        lv_get_now_position(j, &v);
        lv_get_now_velocity(j, &f);
        lv_get_now_angular_velocity(j, &f);
        lv_get_now_position_velocity(j, &v);
        lv_get_now_current(j, &v);
        lv_get_target_angle(j, &f);
        lv_get_target_position(j, &v);
        lv_get_velocity(j, &f);
        lv_get_angular_velocity(j, &f);
        lv_get_position_velocity(j, &v);
        lv_get_max_current(j, &v);
        lv_get_control_mode(j, &v);
        lv_get_enable(j, &v);
        lv_get_position_reached(j, &v);
        lv_get_torque_reached(j, &v);
        lv_get_now_alarm(j, &v);
        lv_get_now_status(j, &v);
        lv_get_limit_target_angle(j, &f, &g);
    }
    lv_get_firmware_version(&f);
    lv_get_dof(&v, &w);
    lv_get_hand_type(&v);
    lv_get_hand_direction(&v);
    for (int ch = 0; ch <= 12; ++ch) {
        lv_get_finger_normal_force(ch, &f);
        lv_get_finger_tangential_force(ch, &f);
        lv_get_finger_force_direction(ch, &f);
        lv_get_finger_proximity(ch, &f);
    }
}

class NoAllocation : public ::testing::Test {
protected:
    void SetUp() override { expect_counter_works(); }
};

TEST_F(NoAllocation, DecodersAndGettersOfEveryBus) {
    // One hand per bus, reports decoded and everything read in between.
    morvx::RS485SharedBus bus;
    Morvane canfd, ecat, rs485, can;
    for (Morvane* m : {&canfd, &ecat, &rs485, &can}) m->set_dry_run_mode(true);
    rs485.set_rs485_shared_bus(&bus);
    ASSERT_EQ(canfd.initial(1), 0);
    ASSERT_EQ(ecat.initial(0), 0);
    ASSERT_EQ(rs485.initial(2, 1), 0);
    ASSERT_EQ(can.initial(3), 0);

    const Bytes joints = status_body(0x50, 2 + 8 * 6 + 6);
    Bytes sensors = status_body(0x72, 2 + 2 * 30);
    const Bytes param{0x4B, 0x0E, 0x20, 30, 0x91, 0x00, 0, 0};
    const Bytes ota{1, 2, 3, 4, 5, 6, 7, 8};
    Bytes tpdo_joints(192), tpdo_sensors(192, 0x33);
    tpdo_sensors[0] = 0x41;
    Bytes rs_joints = status_body(0xD0, 44);
    rs_joints[1] = 42;
    Bytes rs_sensors = status_body(0xF2, 62);
    rs_sensors[1] = 60;
    const Bytes wire_joints = rs485_reply(1, rs_joints), wire_sensors = rs485_reply(1, rs_sensors);
    Bytes stream;  // two replies with noise between, fed in one chunk and byte by byte
    stream.insert(stream.end(), wire_joints.begin(), wire_joints.end());
    stream.insert(stream.end(), {0x00, 'H', 0xFF});
    stream.insert(stream.end(), wire_sensors.begin(), wire_sensors.end());
    const Bytes servo{0xA0, 0x31, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00};

    const unsigned long n = allocations_in([&] {
        for (int round = 0; round < kRounds; ++round) {
            sensors[2] = static_cast<uint8_t>(round);
            canfd.set_canfd_data_decode(0x481, joints.data(), static_cast<int>(joints.size()));
            canfd.set_canfd_data_decode(0x481, sensors.data(), static_cast<int>(sensors.size()));
            canfd.set_canfd_data_decode(0x581, param.data(), static_cast<int>(param.size()));
            canfd.set_canfd_data_decode(0x7001, ota.data(), static_cast<int>(ota.size()));
            canfd.set_canfd_data_decode(0x123, joints.data(), 2);
            ecat.set_tpdo_data_decode(tpdo_joints.data(), static_cast<int>(tpdo_joints.size()));
            ecat.set_tpdo_data_decode(tpdo_sensors.data(), static_cast<int>(tpdo_sensors.size()));
            rs485.set_rs485_data_decode(stream.data(), static_cast<int>(stream.size()));
            for (uint8_t b : stream) bus.set_receive_data(&b, 1);
            can.set_can_data_decode(0x101, servo.data(), static_cast<int>(servo.size()));
            for (Morvane* m : {&canfd, &ecat, &rs485, &can}) read_everything(*m);
        }
    });
    EXPECT_EQ(n, 0u);
    float f = 0;
    ASSERT_EQ(canfd.get_finger_normal_force(1, &f), 0);  // the reports did arrive
    EXPECT_GT(f, 0.0f);
    int p = 0;
    ASSERT_EQ(rs485.get_now_position(1, &p), 0);
    EXPECT_NE(p, 0);
}

TEST_F(NoAllocation, CInterfaceArraysAllocateOnlyWhatTheyReturn) {
    morvane_handle h = morvane_create();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(allocations_in([&] {
                  for (int round = 0; round < kRounds; ++round) read_everything_c(h);
              }),
              0u);

    using ArrayGetter = int (*)(morvane_handle, int, float**, int*);
    const ArrayGetter getters[] = {morvane_get_finger_pressure, morvane_get_finger_normal_force_ex,
                                   morvane_get_finger_tangential_force_ex, morvane_get_finger_force_direction_ex,
                                   morvane_get_finger_proximity_ex};
    for (ArrayGetter get : getters) {
        for (int ch = 1; ch <= 11; ++ch) {
            float* values = nullptr;
            int count = 0;
            EXPECT_EQ(allocations_in([&] { EXPECT_EQ(get(h, ch, &values, &count), 0); }), 1u) << ch;
            EXPECT_GT(count, 0);
            morvane_free_buffer(values);
        }
        float* values = nullptr;
        int count = 0;
        EXPECT_EQ(allocations_in([&] { EXPECT_EQ(get(h, 12, &values, &count), 1); }), 0u);
        EXPECT_EQ(values, nullptr);
    }
    for (int ch = 1; ch <= 11; ++ch) {
        float *x = nullptr, *y = nullptr;
        int count = 0;
        EXPECT_EQ(allocations_in([&] { EXPECT_EQ(morvane_get_finger_sensor_pos(h, ch, &x, &y, &count), 0); }), 2u);
        EXPECT_GT(count, 0);
        morvane_free_buffer(x);
        morvane_free_buffer(y);
    }
    morvane_destroy(h);
}

TEST_F(NoAllocation, FlatLibraryGetters) {
    EXPECT_EQ(allocations_in([] { read_everything_lv(); }), 0u);  // no hand open

    // A hand opened on CAN-FD through the simulated adapter; nobody answers
    // its identification, which does not fail the open.
    auto can_bus = std::make_shared<simcan::CanBus>();
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
    simadapter::SimUsbBackend::instance().plug(simadapter::SimAdapter::create({}, can_bus));
    ASSERT_EQ(lv_canfd_scan_device_count(), 1);
    ASSERT_EQ(lv_init(1, 0, 1), 0);
    EXPECT_EQ(allocations_in([] {
                  for (int round = 0; round < kRounds; ++round) read_everything_lv();
              }),
              0u);
    lv_close();
    simadapter::SimUsbBackend::instance().unplug_all();
    tavrix::reset_library_for_tests();
}

TEST_F(NoAllocation, TactileFrameDecoder) {
    using namespace morvx::tactile;
    Bytes frame(65);
    frame[0] = kFrameSync0;
    frame[1] = kFrameSync1;
    frame[3] = kFrameType;
    frame[5] = 12;
    for (std::size_t i = 6; i < 63; ++i) frame[i] = static_cast<uint8_t>(i);
    uint16_t sum = 0;
    for (std::size_t i = 0; i < 63; ++i) sum = static_cast<uint16_t>(sum + frame[i]);
    frame[63] = static_cast<uint8_t>(sum);
    frame[64] = static_cast<uint8_t>(sum >> 8);
    std::string text;
    for (int i = 0; i < 22; ++i) text += " " + std::to_string(i * 1000) + (i % 3 == 0 ? ".5 ," : ",");
    const Bytes floats{2, 0, 0, 0, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40};

    // The caller's record and vector are sized by their first use.
    SensorFrameData record;
    std::vector<float> out;
    ASSERT_TRUE(decode_sensor_frame(frame.data(), frame.size(), record));
    ASSERT_TRUE(parse_sensor_text(reinterpret_cast<const uint8_t*>(text.data()), text.size(), record));
    ASSERT_TRUE(unpack_float_array(floats.data(), floats.size(), out));

    int decoded = 0;
    EXPECT_EQ(allocations_in([&] {
                  for (int round = 0; round < kRounds; ++round) {
                      decoded += find_frame_end(frame.data(), frame.size()) == 65;
                      decoded += decode_sensor_frame(frame.data(), frame.size(), record);
                      decoded += !decode_sensor_frame(frame.data(), 35, record);  // checksum fails
                      decoded += parse_sensor_text(reinterpret_cast<const uint8_t*>(text.data()), text.size(), record);
                      decoded += unpack_float_array(floats.data(), floats.size(), out);
                  }
              }),
              0u);
    EXPECT_EQ(decoded, 5 * kRounds);
    EXPECT_DOUBLE_EQ(record.readings.at(3), 3000.5);
}

}  // namespace
