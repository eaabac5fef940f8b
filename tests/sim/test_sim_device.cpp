// The simulated controller on its own: its reading of host frames and the
// replies it builds, against hand-written frames; and the faulty link.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "simhand/can_servo_hand.h"
#include "simhand/canfd_hand.h"
#include "simhand/device_model.h"
#include "simhand/ethercat_hand.h"
#include "simhand/rs485_line.h"
#include "simhand/sim_link.h"

using namespace simhand;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

uint16_t crc_of(const Bytes& f) {
  uint16_t c = 0xFFFF;
  for (size_t i = 0; i + 2 < f.size(); ++i) {
    c ^= f[i];
    for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
  }
  return c;
}

struct LineRig {
  std::vector<Bytes> out;
  std::shared_ptr<DeviceModel> m1 = std::make_shared<DeviceModel>(SimHandConfig::for_model_code(5, 1));
  std::shared_ptr<DeviceModel> m2 = std::make_shared<DeviceModel>(SimHandConfig::for_model_code(6, 2));
  SimRs485Line line{[this](const uint8_t* d, size_t n) { out.emplace_back(d, d + n); }};
  LineRig() {
    line.add_hand(m1);
    line.add_hand(m2);
  }
  void feed(const Bytes& b) { line.on_host_bytes(b.data(), b.size()); }
};

TEST(SimDevice, ModeCommandsDriveTheStatusBits) {
  DeviceModel m(SimHandConfig::for_model_code(3));
  const uint8_t enable[12] = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
  m.apply_mode_command(enable, 6);
  m.advance_by(0.001);
  // Enabled, at its target, standing (run status 1), not homed.
  EXPECT_EQ(0x23, m.snapshot().joints[0].status);
  const uint8_t home[12] = {5, 4, 5, 4, 5, 4, 5, 4, 5, 4, 5, 4};
  m.apply_mode_command(home, 6);
  m.advance_by(0.001);
  EXPECT_EQ(4, m.snapshot().joints[0].status >> 5);  // homing
  m.advance_by(0.1);
  EXPECT_EQ(0x33, m.snapshot().joints[0].status);  // homed at 0
  EXPECT_EQ(0, m.snapshot().joints[0].position);
  m.inject_alarm(1, 0x07);
  EXPECT_EQ(2, m.snapshot().joints[1].status >> 5);
  EXPECT_EQ(7, m.snapshot().joints[1].alarm);
  const uint8_t clear[12] = {0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3};
  m.apply_mode_command(clear, 6);
  EXPECT_EQ(1, m.snapshot().joints[1].status >> 5);
  const uint8_t disable[12] = {0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2};
  m.apply_mode_command(disable, 6);
  EXPECT_EQ(0x10, m.snapshot().joints[0].status);  // homed only
}

TEST(SimDevice, MotionFollowsVelocityAndCurrentLimit) {
  DeviceModel m(SimHandConfig::for_model_code(3));
  m.set_enabled(0, true);
  m.set_enabled(1, true);
  const int32_t target = 2200, slow = 1000, weak = 50;
  m.set_motion_target(0, &target, &slow, nullptr);
  m.set_motion_target(1, &target, &slow, &weak);
  m.advance_by(1.0);
  const ModelSnapshot s = m.snapshot();
  EXPECT_EQ(1200, s.joints[0].position);  // 200 + 1000 units/s × 1 s
  EXPECT_EQ(700, s.joints[1].position);   // half speed at half the needed current
  EXPECT_EQ(0x08, s.joints[1].status & 0x08);
  EXPECT_EQ(50, s.joints[1].current);
}

TEST(SimDevice, ParameterDictionaryAnswersReadsWritesAndTheSaveSequence) {
  DeviceModel m(SimHandConfig::for_model_code(3));
  uint8_t r[8];
  const uint8_t read_home[8] = {0x40, 0x22, 0x20, 0x15, 0, 0, 0, 0};
  ASSERT_TRUE(m.handle_param_request(read_home, 8, r));
  EXPECT_EQ(0, std::memcmp(r, Bytes({0x4B, 0x22, 0x20, 0x15, 0x2C, 0x01, 0, 0}).data(), 8));
  const uint8_t write[8] = {0x2B, 0x45, 0x23, 0x03, 0xEF, 0xBE, 0, 0};
  ASSERT_TRUE(m.handle_param_request(write, 8, r));
  EXPECT_EQ(0xBEEF, m.param(0x2345, 3));
  const uint8_t save[8] = {0x2F, 0x10, 0x10, 0x01, 0x73, 0x61, 0x76, 0x65};
  ASSERT_TRUE(m.handle_param_request(save, 8, r));
  EXPECT_EQ(0, r[4]);  // not prepared: refused
  EXPECT_EQ(0, m.save_count());
  const uint8_t prepare[8] = {0x00, 0x10, 0x10, 0, 0, 0, 0, 0};
  ASSERT_TRUE(m.handle_param_request(prepare, 8, r));
  ASSERT_TRUE(m.handle_param_request(save, 8, r));
  EXPECT_EQ(1, r[4]);
  EXPECT_EQ(1, m.save_count());
  EXPECT_EQ(0xBEEF, m.saved_params().at({0x2345, 3}));
  const uint8_t junk[8] = {0x99, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(m.handle_param_request(junk, 8, r));
  EXPECT_FALSE(m.handle_param_request(read_home, 7, r));
}

TEST(SimDevice, Rs485PollIsAnsweredWithAnHFrame) {
  LineRig rig;
  rig.feed({0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26});
  ASSERT_EQ(1u, rig.out.size());
  const Bytes& f = rig.out[0];
  // 'H', node 1, 0xD0, D = 42 (six 6-byte items, six status bytes), CRC.
  ASSERT_EQ(48u, f.size());
  EXPECT_EQ('H', f[0]);
  EXPECT_EQ(1, f[1]);
  EXPECT_EQ(0xD0, f[2]);
  EXPECT_EQ(42, f[3]);
  EXPECT_EQ(200, f[4] | f[5] << 8);  // joint 1 at its power-up position
  EXPECT_EQ(crc_of(f), f[46] | f[47] << 8);
}

TEST(SimDevice, Rs485StreamCutAnywhereAndNoiseSkipped) {
  LineRig rig;
  const Bytes poll2 = {0x50, 0x02, 0xDA, 0x06, 0x6B, 0x86};
  Bytes stream = {0x00, 0x13};  // line noise
  stream.insert(stream.end(), poll2.begin(), poll2.end());
  for (uint8_t b : stream) rig.feed({b});
  ASSERT_EQ(1u, rig.out.size());
  EXPECT_EQ(2, rig.out[0][1]);
  EXPECT_EQ(0xDA, rig.out[0][2]);
  EXPECT_EQ(12, rig.out[0][3]);
  EXPECT_EQ(1u, rig.line.polls_for(2));
  EXPECT_EQ(0u, rig.line.polls_for(1));
}

TEST(SimDevice, Rs485CorruptFrameDroppedNextGoodFrameAnswered) {
  LineRig rig;
  Bytes bad = {0x50, 0x01, 0xD0, 0x06, 0x9D, 0x27};
  Bytes good = {0x50, 0x02, 0xDA, 0x06, 0x6B, 0x86};
  bad.insert(bad.end(), good.begin(), good.end());
  rig.feed(bad);
  ASSERT_EQ(1u, rig.out.size());
  EXPECT_EQ(2, rig.out[0][1]);
  EXPECT_EQ(1u, rig.line.crc_errors());
}

TEST(SimDevice, Rs485ParameterAndOtaFrames) {
  LineRig rig;
  rig.feed({0x60, 0x01, 0x40, 0x0E, 0x20, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x7E, 0xBB});
  ASSERT_EQ(1u, rig.out.size());
  const Bytes& x = rig.out[0];
  ASSERT_EQ(12u, x.size());
  EXPECT_EQ(Bytes({'X', 0x01, 0x4B, 0x0E, 0x20, 0x1D, 0x05, 0x00, 0x00, 0x00}), Bytes(x.begin(), x.begin() + 10));
  rig.feed({0x90, 0x02, 0xAB, 0xCD, 0xEF, 0x81, 0x59});
  ASSERT_EQ(2u, rig.out.size());
  const Bytes& p = rig.out[1];
  EXPECT_EQ(Bytes({'p', 0x02, 0xA5, 0x03, 0xAB, 0xCD, 0xEF}), Bytes(p.begin(), p.end() - 2));
  ASSERT_EQ(1u, rig.m2->ota_received().size());
  // A silent hand hears but does not answer.
  rig.line.set_silent(1, true);
  rig.feed({0x50, 0x01, 0xD0, 0x06, 0x9D, 0x26});
  EXPECT_EQ(2u, rig.out.size());
  EXPECT_EQ(1u, rig.line.polls_for(1));
}

TEST(SimDevice, CanfdReportSelectionAndPaddedReports) {
  auto m = std::make_shared<DeviceModel>(SimHandConfig::for_model_code(3));
  std::vector<std::pair<uint32_t, Bytes>> out;
  SimCanfdHand sim(m, [&](uint32_t id, const uint8_t* d, size_t n, bool) { out.emplace_back(id, Bytes(d, d + n)); });
  const uint8_t sel[] = {0x00, 0x04, 0x50, 0x01, 0x5A, 0x01};
  sim.on_host_frame(0x501, sel, sizeof sel, false);
  EXPECT_EQ(Bytes({0x50, 0x5A}), sim.selected_codes());
  sim.tick(SimClock::now());
  ASSERT_EQ(2u, out.size());
  EXPECT_EQ(0x481u, out[0].first);
  ASSERT_EQ(64u, out[0].second.size());  // 56 bytes padded to a CAN-FD length
  EXPECT_EQ(0x50, out[0].second[0]);
  EXPECT_EQ(6, out[0].second[1]);
  EXPECT_EQ(0x00, out[0].second[50]);  // status bytes after eight item slots: disabled
  EXPECT_EQ(Bytes({0x5A, 0x06, 0x00, 0x00}), Bytes(out[1].second.begin(), out[1].second.begin() + 4));
  EXPECT_EQ(16u, out[1].second.size());  // 14 bytes padded
  // Frames for another node are not ours.
  out.clear();
  const uint8_t read[8] = {0x40, 0x0E, 0x20, 0x1E, 0, 0, 0, 0};
  sim.on_host_frame(0x602, read, 8, false);
  EXPECT_TRUE(out.empty());
  sim.on_host_frame(0x601, read, 8, false);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(0x581u, out[0].first);
  EXPECT_EQ(Bytes({0x4B, 0x0E, 0x20, 0x1E, 123, 0, 0, 0}), out[0].second);
}

TEST(SimDevice, EthercatActsOnChangedImagesAndRotatesLayouts) {
  auto m = std::make_shared<DeviceModel>(SimHandConfig::for_model_code(1));
  SimEthercatHand sim(m);
  Bytes rx(64, 0);
  rx[0] = 0x00;
  rx[1] = 0x02;
  rx[2] = 0x00;
  rx[3] = 0x40;
  const auto now = SimClock::now();
  EXPECT_EQ(0x00, sim.exchange(rx.data(), rx.size(), now)[0]);
  EXPECT_EQ(0x40, sim.exchange(rx.data(), rx.size(), now)[0]);
  EXPECT_EQ(1u, sim.images_applied());
  Bytes enable(64, 0);
  enable[0] = 0x01;
  enable[1] = 0x06;
  for (int j = 0; j < 6; ++j) enable[3 + 2 * j] = 0x01;
  const Bytes img = sim.exchange(enable.data(), enable.size(), now);
  ASSERT_EQ(192u, img.size());
  sim.exchange(enable.data(), enable.size(), now);
  EXPECT_EQ(2u, sim.images_applied());
  const Bytes joints = sim.exchange(enable.data(), enable.size(), now + 1ms);
  EXPECT_EQ(0x00, joints[0]);
  EXPECT_EQ(0x23, joints[164]);
  EXPECT_EQ(200, joints[2] | joints[3] << 8);
}

TEST(SimDevice, ServoHandAnswersStatusAndPositionFrames) {
  auto m = std::make_shared<DeviceModel>(SimHandConfig::servo_hand());
  std::vector<std::pair<uint32_t, Bytes>> out;
  SimCanServoHand sim(m, [&](uint32_t id, const uint8_t* d, size_t n) { out.emplace_back(id, Bytes(d, d + n)); });
  const uint8_t move[] = {0xAA, 0x00, 0x08, 0xE8, 0x03, 0x40, 0x01};  // 2048 counts, speed 1000, current 320
  sim.on_host_frame(3, move, sizeof move);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(0x103u, out[0].first);
  EXPECT_EQ(0xAA, out[0].second[0]);
  m->advance_by(1.0);
  const uint8_t status[] = {0xA0};
  sim.on_host_frame(3, status, 1);
  ASSERT_EQ(2u, out.size());
  uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w |= static_cast<uint64_t>(out[1].second[i]) << (8 * i);
  EXPECT_EQ(0xA0u, w & 0xFF);
  EXPECT_EQ(2048u, (w >> 16) & 0xFFF);
  EXPECT_EQ(0x01u, (w >> 8) & 0x01);  // enabled
  EXPECT_EQ(std::vector<uint32_t>{3}, sim.status_requests());
  const uint8_t off[] = {0xBA, 0x01};
  sim.on_host_frame(3, off, 2);
  EXPECT_EQ(0, m->snapshot().joints[2].status & 0x01);
  sim.on_host_frame(17, status, 1);  // no such servo
  EXPECT_EQ(2u, out.size());
}

TEST(SimLinkPipe, FaultsDropDuplicateCorruptAndChunk) {
  SimPipe pipe(1);
  std::mutex mu;
  std::vector<Bytes> got;
  pipe.set_sink([&](const Packet& p) {
    std::lock_guard<std::mutex> lock(mu);
    got.push_back(p.data);
  });
  pipe.start();
  const Bytes frame = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  FaultConfig f;
  f.drop = 1.0;
  pipe.set_faults(f);
  EXPECT_TRUE(pipe.push(0, frame.data(), frame.size()));
  f = FaultConfig{};
  f.duplicate = 1.0;
  pipe.set_faults(f);
  pipe.push(0, frame.data(), frame.size());
  ASSERT_TRUE(pipe.wait_idle(1000ms));
  EXPECT_EQ(2u, got.size());
  got.clear();
  f = FaultConfig{};
  f.corrupt = 1.0;
  pipe.set_faults(f);
  pipe.push(0, frame.data(), frame.size());
  ASSERT_TRUE(pipe.wait_idle(1000ms));
  ASSERT_EQ(1u, got.size());
  EXPECT_NE(frame, got[0]);
  got.clear();
  f = FaultConfig{};
  f.max_chunk = 3;
  f.delay = 2ms;
  f.jitter = 5ms;
  pipe.set_faults(f);
  for (int i = 0; i < 5; ++i) pipe.push(0, frame.data(), frame.size());
  ASSERT_TRUE(pipe.wait_idle(1000ms));
  Bytes joined;
  for (const Bytes& c : got) {
    EXPECT_LE(c.size(), 3u);
    joined.insert(joined.end(), c.begin(), c.end());
  }
  Bytes expected;
  for (int i = 0; i < 5; ++i) expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(expected, joined);  // order kept, nothing lost
  const PipeCounters c = pipe.counters();
  EXPECT_EQ(1u, c.dropped);
  EXPECT_EQ(1u, c.duplicated);
  pipe.stop();
  EXPECT_FALSE(pipe.push(0, frame.data(), frame.size()));
}

}  // namespace
