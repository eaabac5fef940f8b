// The bus-independent part of the simulated hand's controller: identity and
// the drive-parameter dictionary, the joints with their status bits and
// motion, the tactile readings and the OTA replies. The bus front-ends turn
// frames into calls here and build their replies from snapshot().
//
// Threads: every method takes the model's lock; any thread may call any
// method. Time moves only through advance_to(), so a test can step the clock
// itself or let a front-end's report thread do it.
#ifndef SIMHAND_DEVICE_MODEL_H
#define SIMHAND_DEVICE_MODEL_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "simhand/sim_hand_config.h"

namespace simhand {

using SimClock = std::chrono::steady_clock;

// Run status values (bits 5-7 of a joint's status byte) that the model uses.
enum RunStatus : uint8_t {
  kRunIdle = 0,      // disabled
  kRunHolding = 1,   // enabled, standing
  kRunAlarm = 2,     // alarm byte holds the code
  kRunMoving = 3,
  kRunHoming = 4,
  kRunEmergency = 6  // only when scripted: the host must stop every joint
};

// Joint commands of the mode command (second byte of each joint pair).
enum JointCommand : uint8_t {
  kCmdNone = 0, kCmdEnable = 1, kCmdDisable = 2, kCmdClearAlarm = 3, kCmdHome = 4,
  kCmdStopRamp = 7, kCmdStopHold = 8, kCmdPressureReset = 11
};

constexpr int kMaxJoints = 16;
constexpr int kSensorItems = 7;  // report items 0..5 are the fingers, 6 the palm
constexpr size_t kMaxOtaReply = 64;
constexpr size_t kTxpdoImageSize = 192;  // EtherCAT TxPDO image
constexpr size_t kOtaKept = 256;

struct JointSnapshot {
  int32_t position = 0;     // device units, rounded
  int32_t velocity = 0;     // device units per second
  int32_t current = 0;
  uint8_t status = 0;       // bits: 0 enabled, 1 position reached, 3 torque reached, 4 homed, 5-7 run status
  uint8_t alarm = 0;
};

struct ModelSnapshot {
  int hand_type = 0;
  int joint_count = 6;
  std::array<JointSnapshot, kMaxJoints> joints{};
  uint32_t tactile_frame = 0;  // advances with every tactile reading
};

class DeviceModel {
 public:
  explicit DeviceModel(const SimHandConfig& config);

  const SimHandConfig& config() const { return config_; }
  // Position range of joint slot j in device units (servo hands: 0..4095).
  int32_t position_min(int slot) const;
  int32_t position_max(int slot) const;

  // ---- commands (front-ends decode the bytes) ----
  // pairs: joints × [mode byte, command byte].
  void apply_mode_command(const uint8_t* pairs, size_t joints);
  // One joint's motion fields; a field left out keeps its value.
  void set_motion_target(int slot, const int32_t* position, const int32_t* velocity_units_s,
                         const int32_t* current_limit);
  void apply_gesture(uint16_t gesture, uint16_t a, uint16_t b);
  // Servo hand: enable on motion, disable on [0xBA, 0x01].
  void set_enabled(int slot, bool on);

  // ---- drive parameters ----
  // An 8-byte request; fills the 8-byte reply and returns true when the
  // controller answers (reads, writes and both save steps do).
  bool handle_param_request(const uint8_t* request, size_t len, uint8_t reply[8]);
  uint16_t param(uint16_t index, uint8_t sub) const;
  void set_param(uint16_t index, uint8_t sub, uint16_t value);
  // Dictionary as it stood at the last completed save sequence.
  std::map<std::pair<uint16_t, uint8_t>, uint16_t> saved_params() const;
  int save_count() const;

  // ---- OTA ----
  // Reply to one OTA data frame: [0xA5, n, first n data bytes] (n at most 62),
  // so a reply never exceeds 64 bytes and byte 1 counts what follows. Writes
  // the reply and returns its length.
  size_t handle_ota(const uint8_t* data, size_t len, uint8_t (&reply)[kMaxOtaReply]);
  // The last kOtaKept OTA data frames, oldest first.
  std::vector<std::vector<uint8_t>> ota_received() const;

  // ---- time ----
  void advance_to(SimClock::time_point now);
  // Same, by a step in seconds (tests that own the clock).
  void advance_by(double seconds);
  ModelSnapshot snapshot() const;

  // ---- scripting ----
  void inject_alarm(int slot, uint8_t code);
  void force_run_status(int slot, uint8_t status);  // sticky until clear alarm
  void set_joint_position(int slot, int32_t position);
  int pressure_reset_count() const;
  uint16_t last_gesture() const;
  int mode_commands_seen() const;
  int motion_commands_seen() const;

 private:
  struct Joint {
    double position = 0;
    int32_t target = 0;
    int32_t velocity_cmd = 20000;
    int32_t current_limit = 400;
    double velocity = 0;
    int32_t current = 0;
    bool enabled = false, homed = false, homing = false, torque_reached = false;
    uint8_t alarm = 0;
    uint8_t forced_status = 0;
    uint8_t mode = 0;
  };

  void step_locked(double dt);
  uint8_t status_byte_locked(int slot) const;
  void install_identity_locked();

  SimHandConfig config_;
  mutable std::mutex mutex_;
  std::array<Joint, kMaxJoints> joints_{};
  std::map<std::pair<uint16_t, uint8_t>, uint16_t> params_;
  std::map<std::pair<uint16_t, uint8_t>, uint16_t> saved_;
  bool save_armed_ = false;
  int save_count_ = 0;
  // A ring of the last kOtaKept frames; its slots keep their storage.
  std::vector<std::vector<uint8_t>> ota_;
  size_t ota_next_ = 0;
  SimClock::time_point last_{};
  bool clock_started_ = false;
  uint32_t tactile_frame_ = 0;
  int pressure_resets_ = 0;
  uint16_t gesture_ = 0xFFFF;
  int mode_commands_ = 0;
  int motion_commands_ = 0;
};

// Tactile report items as the controller lays them out.
// Full block: 10 pressure bytes, 2 × u16 normal force (× 100), 2 × u16
// tangential force (× 100), 2 × u16 direction, 2 proximity bytes (24 bytes).
// Packed block: one pressure byte per taxel.
// The readings of frame k: every pressure byte of item i is v = tactile_value(k, i),
// normal force v × 100, tangential v × 50, direction v, proximity v.
uint8_t tactile_value(uint32_t frame, int item);
// Writes item `item` into out (size bytes): full block when full, else packed.
void write_tactile_item(uint32_t frame, int item, bool full, uint8_t* out, size_t size);

}  // namespace simhand

#endif  // SIMHAND_DEVICE_MODEL_H
