// A simulated USB CAN-FD adapter behind the kit's USB layer. It speaks the
// adapter's word-framed protocol on three bulk pipes (read, write,
// acknowledgement) and the two vendor control transfers, carries frames to
// and from a simulated CAN-FD bus, and can be scripted to refuse, fail or
// disappear.
#ifndef SIMADAPTER_SIM_ADAPTER_H
#define SIMADAPTER_SIM_ADAPTER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kitusb/usb_layer.h"
#include "simcan/sim_can_bus.h"

namespace simadapter {

constexpr uint8_t kReadPipe = 0x81;
constexpr uint8_t kWritePipe = 0x02;
constexpr uint8_t kAckPipe = 0x83;

struct SimAdapterConfig {
  std::string serial = "F080000000000001";  // 16 characters, 'F': CAN-FD, 080: 80 MHz
  uint16_t vendor_id = 0xA8FA;
  uint16_t product_id = 0x8598;
  uint8_t interface_number = 0;
  uint8_t driver_kind = 0;                   // the Windows driver it is bound to: 0 libusbK, 1 libusb0, 2 WinUSB
  int pipe_count = 3;                        // 2: acknowledgements come on the read pipe
  uint32_t clock_hz = 80000000;              // reported in the open reply
  bool compact_packing = true;               // open reply parameter 'Y'
  uint32_t model_code = 0x1800;
  uint32_t hw_version = 105;
  int32_t serial_number = 42;
  uint32_t production_date = 0;
  uint8_t fw_version[3] = {1, 2, 3};
  uint32_t device_id = 0;
  size_t max_frames_per_batch = 100;
  bool echo_transmit = false;                // transmitted frames also come back on the read pipe
  bool empty_read_waits = true;              // false: a read with nothing to deliver times out at once
  uint32_t packet_bytes = 512;               // wMaxPacketSize of the bulk pipes (high speed)
};

// One request the host wrote, as the adapter parsed it.
struct SimRequest {
  uint8_t command = 0;
  uint8_t param = 0;
  std::vector<uint32_t> words;  // header included, checksum excluded
  size_t wire_length = 0;
};

class SimAdapter : public std::enable_shared_from_this<SimAdapter> {
 public:
  // Creates an adapter attached to bus (may be null: no bus).
  static std::shared_ptr<SimAdapter> create(const SimAdapterConfig& config,
                                            std::shared_ptr<simcan::CanBus> bus = nullptr);
  ~SimAdapter();
  SimAdapter(const SimAdapter&) = delete;
  SimAdapter& operator=(const SimAdapter&) = delete;

  const SimAdapterConfig& config() const { return config_; }
  std::shared_ptr<simcan::CanBus> bus() const { return bus_; }

  // ---- Host side: one call is one transfer on the bus, as a system driver
  // asks for it; failures set the layer's last error. ----
  bool pipe_at(uint8_t position, uint8_t* pipe_id) const;
  // A write that the adapter cut short without an error succeeds with the
  // short count in *written.
  bool host_write(uint8_t pipe_id, const uint8_t* data, uint32_t length, uint32_t* written);
  // The adapter sends its next transfer in packets of packet_bytes. What fits
  // the buffer in whole packets is delivered; a transfer longer than a buffer
  // of whole packets goes on in the next read. A buffer that ends inside a
  // packet the adapter fills overflows: the read fails with kGeneralFailure
  // after the whole packets before it, and that packet is lost (a read of 0
  // bytes meets the first packet so). A failing read still reports in *got
  // the bytes it moved.
  bool host_read(uint8_t pipe_id, uint8_t* data, uint32_t length, uint32_t* got, uint32_t timeout_ms);
  bool host_control(const kitusb::UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred);
  // Clears the pipe's halt; fails with kNotConnected once unplugged.
  bool host_reset_pipe(uint8_t pipe_id);

  // ---- Scripting. ----
  // Raw bytes the host reads next on the read or acknowledgement pipe (one
  // chunk = one transfer). With `ends_with` the transfer ends in that error
  // after its bytes, whatever the read's length: kTimeout for a transfer of
  // full packets that never ends (the read runs out of time after the data),
  // kGeneralFailure for a bus error after them.
  void inject_read(std::vector<uint8_t> bytes, kitusb::UsbError ends_with = kitusb::UsbError::kNone);
  void inject_ack(std::vector<uint8_t> bytes, kitusb::UsbError ends_with = kitusb::UsbError::kNone);
  // Drops everything waiting on the read and acknowledgement pipes.
  void clear_pipes();
  // A status report 0x86 with this status word on the read pipe.
  void send_status_report(uint32_t status_word);
  // A received frame, as if another node had sent it on the bus.
  void receive_from_bus(const simcan::CanFrame& frame, uint32_t control_extra = 0, bool marker = false);
  // The next command that awaits a reply gets the refusal code instead.
  void refuse_next(uint8_t refusal_code);
  // The next n writes / reads on a pipe fail with this error, moving nothing.
  void fail_writes(int n, kitusb::UsbError error = kitusb::UsbError::kGeneralFailure);
  void fail_reads(uint8_t pipe_id, int n, kitusb::UsbError error = kitusb::UsbError::kGeneralFailure);
  // The next n writes move only their first `moved` bytes (the adapter sees a
  // cut request and ignores it) and fail with error, or report success with
  // the short count when error is kNone.
  void cut_writes(int n, uint32_t moved, kitusb::UsbError error = kitusb::UsbError::kTimeout);
  // Frames taken per acknowledgement (-1: all), status byte and status word.
  void set_ack(int taken_limit, uint8_t status_byte, uint32_t status_word);
  void set_drop_acks(bool drop);
  void set_open_reply(bool compact, uint32_t clock_hz);
  // Unplug: every transfer fails as not connected and blocked reads wake.
  void unplug();
  void plug();
  bool connected() const;

  // ---- Inspection. ----
  std::vector<SimRequest> requests() const;
  void clear_requests();
  size_t bad_requests() const;
  size_t pipe_resets(uint8_t pipe_id) const;
  uint32_t device_id() const;
  std::vector<uint8_t> control_bytes() const;
  bool fd_record_mode() const;
  size_t pending_rx_frames() const;
  size_t queued_reads() const;  // chunks waiting on the read pipe
  uint64_t transmitted_frames() const;

 private:
  class BusPort;
  struct PipeFailure {
    int remaining = 0;
    kitusb::UsbError error = kitusb::UsbError::kNone;
    uint32_t moved = 0;
  };
  // One transfer waiting on an IN pipe.
  struct Transfer {
    std::vector<uint8_t> bytes;
    kitusb::UsbError ends_with = kitusb::UsbError::kNone;
  };

  SimAdapter(const SimAdapterConfig& config, std::shared_ptr<simcan::CanBus> bus);
  void handle_request_locked(const SimRequest& req);
  void reply_locked(uint8_t command, uint8_t param, const std::vector<uint32_t>& payload);
  bool reply_or_refuse_locked(uint8_t command, uint8_t param, const std::vector<uint32_t>& payload);
  void handle_transmit_locked(const SimRequest& req, std::vector<simcan::CanFrame>* out);
  std::vector<uint8_t> build_batch_locked(uint32_t max_bytes);
  std::deque<Transfer>& ack_queue_locked();
  bool deliver_locked(std::deque<Transfer>& queue, uint8_t* data, uint32_t length, uint32_t* got);
  uint32_t now_us() const;
  bool take_failure_locked(PipeFailure& f);

  const SimAdapterConfig config_;
  std::shared_ptr<simcan::CanBus> bus_;
  std::shared_ptr<BusPort> port_;
  const std::chrono::steady_clock::time_point start_;

  mutable std::mutex mutex_;
  std::condition_variable data_ready_;
  bool connected_ = true;
  bool compact_ = true;
  uint32_t clock_hz_ = 0;
  bool fd_records_ = false;
  uint32_t device_id_ = 0;
  int refuse_code_ = 0;
  int ack_taken_limit_ = -1;
  uint8_t ack_status_byte_ = 0;
  uint32_t ack_status_word_ = 0;
  bool drop_acks_ = false;
  PipeFailure write_failure_, read_failure_, ack_failure_, write_cut_;
  std::deque<Transfer> read_queue_;
  std::deque<Transfer> ack_queue_;
  std::deque<std::vector<uint32_t>> rx_records_;  // full records waiting for a batch
  std::deque<SimRequest> requests_;
  size_t bad_requests_ = 0;
  size_t resets_[256] = {};
  uint8_t control_[8] = {};
  uint64_t transmitted_ = 0;
};

// The simulated USB bus: adapters plugged in here appear in the USB layer's
// device list, and hot-plug monitors get their arrival and removal notices.
class SimUsbBackend : public kitusb::UsbBackend {
 public:
  static SimUsbBackend& instance();
  ~SimUsbBackend() override;

  void plug(std::shared_ptr<SimAdapter> adapter);
  void unplug(const std::shared_ptr<SimAdapter>& adapter);
  void unplug_all();
  // Other USB devices in the list (they change the list count, not the matches).
  void set_other_devices(uint32_t count);
  void set_list_fails(bool fails);
  void set_open_fails(bool fails);
  void set_refuse_monitors(bool refuse);
  size_t monitor_count() const;
  // Blocks until every notice queued so far has been delivered.
  void wait_notices_delivered();

  bool list_devices(uint16_t vendor_id, uint16_t product_id, std::vector<kitusb::UsbDeviceEntry>* matching,
                    uint32_t* total) override;
  // Every plugged-in adapter whatever its ids; *total as list_devices gives it.
  bool list_all(std::vector<kitusb::UsbDeviceEntry>* adapters, uint32_t* total);
  // The simulated backend's device: the layer's rules, the code the real
  // backends run (usb_rules.h), over the adapter's host side.
  std::unique_ptr<kitusb::UsbDevice> open(const kitusb::UsbDeviceEntry& entry) override;
  // The same adapter as a system driver reaches it: each call is one
  // transfer as asked, answered by the adapter's host side, with none of the
  // layer's rules. The stand-in libusbK.dll serves its device calls with it.
  std::unique_ptr<kitusb::UsbDevice> open_as_driver(const kitusb::UsbDeviceEntry& entry);
  bool add_hotplug_monitor(kitusb::HotplugHandler handler) override;

 private:
  SimUsbBackend() = default;
  struct Notice {
    size_t monitor;  // index into monitors_, or all monitors when npos
    kitusb::UsbDeviceEntry entry;
    kitusb::HotplugNotice kind;
  };
  kitusb::UsbDeviceEntry entry_of(const std::shared_ptr<SimAdapter>& a) const;
  // The adapter of a list entry, or null with the layer's error set.
  std::shared_ptr<SimAdapter> adapter_to_open(const kitusb::UsbDeviceEntry& entry);
  void queue_notice_locked(Notice n);
  void run_monitor();

  mutable std::mutex mutex_;
  std::condition_variable notice_cv_;
  std::condition_variable delivered_cv_;
  std::vector<std::shared_ptr<SimAdapter>> adapters_;
  uint32_t other_devices_ = 0;
  bool list_fails_ = false;
  bool open_fails_ = false;
  bool refuse_monitors_ = false;
  std::vector<std::shared_ptr<kitusb::HotplugHandler>> monitors_;
  std::deque<Notice> notices_;
  uint64_t queued_ = 0;
  uint64_t delivered_ = 0;
  bool stop_ = false;
  std::thread monitor_thread_;
};

}  // namespace simadapter

#endif  // SIMADAPTER_SIM_ADAPTER_H
