#include "sensor_line.h"

#include <iomanip>
#include <iostream>
#include <vector>

namespace demos {
namespace {

using ListGetter = int (morvx::Morvane::*)(int, float*, int*);

// The count contract of the tactile list getters: a null array asks for the
// count, an array of that many floats is then filled. The data may change
// between the two calls; the second call never writes past the array and
// reports how many it wrote.
std::vector<float> fetch(morvx::Morvane& hand, ListGetter getter, int sensor) {
  int count = 0;
  if ((hand.*getter)(sensor, nullptr, &count) != 0 || count <= 0) return {};
  std::vector<float> values(static_cast<size_t>(count), 0.0f);
  int filled = count;
  if ((hand.*getter)(sensor, values.data(), &filled) == 0 && filled >= 0 && filled < count)
    values.resize(static_cast<size_t>(filled));
  return values;
}

void print_list(std::ostream& out, const std::vector<float>& values, int decimals) {
  std::ios::fmtflags flags = out.flags();
  std::streamsize precision = out.precision();
  out << std::fixed << std::setprecision(decimals);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out << ',';
    out << values[i];
  }
  out.flags(flags);
  out.precision(precision);
}

}  // namespace

void print_sensor_line(std::ostream& out, morvx::Morvane& hand, int sensor, bool pressure_only) {
  std::vector<float> pressure = fetch(hand, &morvx::Morvane::get_finger_pressure, sensor);
  out << '\x1b' << "[2K  [Sensor " << std::setw(2) << sensor << "] " << "pressure[";
  print_list(out, pressure, 1);
  out << "]";
  if (pressure_only) {
    out << std::endl;
    return;
  }
  std::vector<float> normal = fetch(hand, &morvx::Morvane::get_finger_normal_force_ex, sensor);
  std::vector<float> tangential = fetch(hand, &morvx::Morvane::get_finger_tangential_force_ex, sensor);
  std::vector<float> direction = fetch(hand, &morvx::Morvane::get_finger_force_direction_ex, sensor);
  out << " NF[";
  print_list(out, normal, 2);
  out << "]" << " TF[";
  print_list(out, tangential, 2);
  out << "]" << " DIR[";
  print_list(out, direction, 1);
  out << "]" << std::endl;
}

void print_sensor_line(morvx::Morvane& hand, int sensor, bool pressure_only) {
  print_sensor_line(std::cout, hand, sensor, pressure_only);
}

}  // namespace demos
