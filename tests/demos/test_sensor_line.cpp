// The tactile line, from a hand fed by the simulated CAN-FD hand.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "morvane/morvane.h"
#include "sensor_line.h"
#include "simhand/canfd_hand.h"
#include "simhand/sim_link.h"

using namespace std::chrono_literals;

namespace {

std::vector<float> values_of(morvx::Morvane& hand, int (morvx::Morvane::*get)(int, float*, int*), int sensor) {
  int n = 0;
  if ((hand.*get)(sensor, nullptr, &n) != 0 || n <= 0) return {};
  std::vector<float> v(static_cast<size_t>(n));
  EXPECT_EQ((hand.*get)(sensor, v.data(), &n), 0);
  v.resize(static_cast<size_t>(n));
  return v;
}

std::string joined(const std::vector<float>& v, int decimals) {
  std::string s;
  char buf[32];
  for (size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%.*f", i ? "," : "", decimals, static_cast<double>(v[i]));
    s += buf;
  }
  return s;
}

// A hand on CAN-FD whose frames reach a simulated hand over a SimLink; the
// test ticks the simulated hand itself, so the readings stand still.
class SensorLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = std::make_shared<simhand::DeviceModel>(simhand::SimHandConfig::for_model_code(2, 1));
    sim_.reset(new simhand::SimCanfdHand(model_, [this](uint32_t id, const uint8_t* d, size_t n, bool ext) {
      link_.to_host.push(id, d, n, ext);
    }));
    link_.to_device.set_sink([this](const simhand::Packet& p) {
      sim_->on_host_frame(p.id, p.data.data(), p.data.size(), p.extended);
    });
    link_.to_host.set_sink([this](const simhand::Packet& p) {
      hand_.set_canfd_data_decode(p.id, p.data.data(), static_cast<int>(p.data.size()));
    });
    link_.start();
    send_ = [this](unsigned id, const uint8_t* d, unsigned n, int ext) { return link_.to_device.push(id, d, n, ext != 0); };
    hand_.set_send_canfd_callback_ex(&send_);
  }
  void TearDown() override {
    hand_.close();
    link_.stop();
  }
  // Ticks the simulated hand until channel 1 has pressure data.
  bool wait_for_tactile() {
    for (int i = 0; i < 200; ++i) {
      sim_->tick(simhand::SimClock::now());
      link_.wait_idle(1s);
      int n = 0;
      if (hand_.get_finger_pressure(1, nullptr, &n) == 0 && n > 0) {
        float probe[64];
        int m = 64;
        if (hand_.get_finger_pressure(1, probe, &m) == 0) return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  morvx::Morvane hand_;
  morvx::send_canfd_callback send_;
  simhand::SimLink link_{7};
  std::shared_ptr<simhand::DeviceModel> model_;
  std::unique_ptr<simhand::SimCanfdHand> sim_;
};

TEST_F(SensorLineTest, ChannelWithoutDataPrintsItsLayoutAsZeros) {
  // The library knows the layout before data came: the zeroed array shows.
  int n = 0;
  ASSERT_EQ(hand_.get_finger_pressure(3, nullptr, &n), 0);
  ASSERT_GT(n, 0);
  std::string zeros;
  for (int i = 0; i < n; ++i) zeros += i ? ",0.0" : "0.0";
  std::ostringstream out;
  demos::print_sensor_line(out, hand_, 3, true);
  EXPECT_EQ(out.str(), "\x1b[2K  [Sensor  3] pressure[" + zeros + "]\n");
}

TEST_F(SensorLineTest, CountOfZeroPrintsEmptyBrackets) {
  // Channel 0 does not exist: every getter refuses it, nothing is listed.
  std::ostringstream out;
  demos::print_sensor_line(out, hand_, 0, false);
  EXPECT_EQ(out.str(), "\x1b[2K  [Sensor  0] pressure[] NF[] TF[] DIR[]\n");
}

TEST_F(SensorLineTest, FullLineCarriesEveryListWithItsPrecision) {
  ASSERT_EQ(hand_.initial(1, 1), 0);
  ASSERT_EQ(hand_.set_sensor_enable(1), 0);
  ASSERT_TRUE(wait_for_tactile());
  link_.wait_idle(1s);  // nothing more arrives: the test no longer ticks

  const std::vector<float> p = values_of(hand_, &morvx::Morvane::get_finger_pressure, 1);
  const std::vector<float> nf = values_of(hand_, &morvx::Morvane::get_finger_normal_force_ex, 1);
  const std::vector<float> tf = values_of(hand_, &morvx::Morvane::get_finger_tangential_force_ex, 1);
  const std::vector<float> dir = values_of(hand_, &morvx::Morvane::get_finger_force_direction_ex, 1);
  ASSERT_FALSE(p.empty());

  std::ostringstream out;
  out << std::scientific;  // the line must not depend on the stream's format
  demos::print_sensor_line(out, hand_, 1, false);
  EXPECT_EQ(out.str(), "\x1b[2K  [Sensor  1] pressure[" + joined(p, 1) + "] NF[" + joined(nf, 2) + "] TF[" +
                           joined(tf, 2) + "] DIR[" + joined(dir, 1) + "]\n");
  EXPECT_TRUE(out.flags() & std::ios::scientific) << "the caller's format is restored";

  std::ostringstream short_line;
  demos::print_sensor_line(short_line, hand_, 1, true);
  EXPECT_EQ(short_line.str(), "\x1b[2K  [Sensor  1] pressure[" + joined(p, 1) + "]\n");
  // Numbers only: digits, one point, the precision, no blanks.
  EXPECT_TRUE(std::regex_match(short_line.str(), std::regex("\x1b\\[2K  \\[Sensor  1\\] pressure\\[(-?[0-9]+\\.[0-9],)*-?[0-9]+\\.[0-9]\\]\n")))
      << short_line.str();
}

}  // namespace
