// The simulated adapter's protocol side: parses requests from the write
// pipe, answers on the read and acknowledgement pipes, and moves frames
// between the host and the simulated CAN-FD bus.
#include "simadapter/sim_adapter.h"

#include <algorithm>
#include <cstring>

namespace simadapter {
namespace {

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The adapter's checksum: seed, then add even-indexed words and XOR odd ones.
uint32_t checksum(const std::vector<uint32_t>& words) {
  uint32_t sum = 0x6986DAB6u;
  for (size_t i = 0; i < words.size(); ++i) sum = (i % 2 == 0) ? sum + words[i] : sum ^ words[i];
  return sum;
}

std::vector<uint8_t> frame_bytes(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> out;
  out.reserve(words.size() * 4 + 4);
  for (uint32_t w : words) put32(out, w);
  put32(out, checksum(words));
  return out;
}

constexpr size_t kMaxRequests = 4096;
constexpr size_t kMaxPendingRx = 100000;
constexpr uint32_t kMaxBatchBytes = 4096;  // one frame batch, as the adapter sends it

}  // namespace

// The adapter's node on the simulated bus.
class SimAdapter::BusPort : public simcan::CanNode {
 public:
  explicit BusPort(std::weak_ptr<SimAdapter> owner) : owner_(std::move(owner)) {}
  void on_frame(const simcan::CanFrame& frame) override {
    if (auto a = owner_.lock()) a->receive_from_bus(frame);
  }

 private:
  std::weak_ptr<SimAdapter> owner_;
};

std::shared_ptr<SimAdapter> SimAdapter::create(const SimAdapterConfig& config, std::shared_ptr<simcan::CanBus> bus) {
  std::shared_ptr<SimAdapter> a(new SimAdapter(config, std::move(bus)));
  if (a->bus_) {
    a->port_ = std::make_shared<BusPort>(a);
    a->bus_->attach(a->port_);
  }
  return a;
}

SimAdapter::SimAdapter(const SimAdapterConfig& config, std::shared_ptr<simcan::CanBus> bus)
    : config_(config),
      bus_(std::move(bus)),
      start_(std::chrono::steady_clock::now()),
      compact_(config.compact_packing),
      clock_hz_(config.clock_hz),
      device_id_(config.device_id) {}

SimAdapter::~SimAdapter() {
  if (bus_ && port_) bus_->detach(port_.get());
}

uint32_t SimAdapter::now_us() const {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count());
}

bool SimAdapter::pipe_at(uint8_t position, uint8_t* pipe_id) const {
  static const uint8_t kPipes[3] = {kReadPipe, kWritePipe, kAckPipe};
  if (position >= 3 || static_cast<int>(position) >= config_.pipe_count) return false;
  *pipe_id = kPipes[position];
  return true;
}

bool SimAdapter::take_failure_locked(PipeFailure& f) {
  if (f.remaining <= 0) return false;
  --f.remaining;
  kitusb::set_last_error(f.error);
  return true;
}

std::deque<SimAdapter::Transfer>& SimAdapter::ack_queue_locked() {
  return config_.pipe_count >= 3 ? ack_queue_ : read_queue_;
}

bool SimAdapter::host_write(uint8_t pipe_id, const uint8_t* data, uint32_t length, uint32_t* written) {
  *written = 0;
  std::vector<simcan::CanFrame> to_bus;
  bool cut = false;
  kitusb::UsbError cut_error = kitusb::UsbError::kNone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) {
      kitusb::set_last_error(kitusb::UsbError::kNotConnected);
      return false;
    }
    if (pipe_id != kWritePipe) {
      kitusb::set_last_error(kitusb::UsbError::kInvalidArgument);
      return false;
    }
    if (take_failure_locked(write_failure_)) return false;
    if (write_cut_.remaining > 0) {
      --write_cut_.remaining;
      cut = true;
      cut_error = write_cut_.error;
      if (length > write_cut_.moved) length = write_cut_.moved;
    }
    *written = length;
    // Parse one word frame; the adapter ignores anything malformed.
    SimRequest req;
    req.wire_length = length;
    bool ok = length >= 8;
    uint16_t n = ok ? static_cast<uint16_t>(data[2] | data[3] << 8) : 0;
    ok = ok && n >= 1 && 4u * n + 4u <= length;
    if (ok) {
      for (uint16_t i = 0; i < n; ++i) req.words.push_back(le32(data + 4 * i));
      ok = checksum(req.words) == le32(data + 4u * n);
      size_t exact = 4u * n + 4u;
      size_t expected = exact % 64 == 0 ? exact + 1 : exact;
      ok = ok && length == expected;
    }
    if (!ok) {
      ++bad_requests_;
    } else {
      req.command = static_cast<uint8_t>(req.words[0]);
      req.param = static_cast<uint8_t>(req.words[0] >> 8);
      if (requests_.size() >= kMaxRequests) requests_.pop_front();
      requests_.push_back(req);
      if (req.command == 0xA2) {
        handle_transmit_locked(req, &to_bus);
      } else {
        handle_request_locked(req);
      }
    }
  }
  data_ready_.notify_all();
  for (const auto& f : to_bus) {
    if (bus_) bus_->send(f, port_.get());
    if (config_.echo_transmit) receive_from_bus(f);
  }
  if (cut && cut_error != kitusb::UsbError::kNone) {
    kitusb::set_last_error(cut_error);
    return false;
  }
  return true;
}

void SimAdapter::reply_locked(uint8_t command, uint8_t param, const std::vector<uint32_t>& payload) {
  std::vector<uint32_t> words;
  words.push_back(command | static_cast<uint32_t>(param) << 8 | static_cast<uint32_t>(payload.size() + 1) << 16);
  words.insert(words.end(), payload.begin(), payload.end());
  read_queue_.push_back(Transfer{frame_bytes(words)});
}

bool SimAdapter::reply_or_refuse_locked(uint8_t command, uint8_t param, const std::vector<uint32_t>& payload) {
  if (refuse_code_ != 0) {
    reply_locked(static_cast<uint8_t>(refuse_code_), 0, {});
    refuse_code_ = 0;
    return false;
  }
  reply_locked(command, param, payload);
  return true;
}

void SimAdapter::handle_request_locked(const SimRequest& req) {
  const auto& w = req.words;
  switch (req.command) {
    case 0x71:  // open
      reply_or_refuse_locked(0x80, compact_ ? 'Y' : 'N', {clock_hz_});
      break;
    case 0x61:  // init
      if (reply_or_refuse_locked(0x62, 0, {})) fd_records_ = w.size() == 7 && ((w[5] >> 16) & 0xFF) != 0;
      break;
    case 0x6A:  // set device id
      if (w.size() >= 2 && reply_or_refuse_locked(0x6B, 0, {w[1]})) device_id_ = w[1];
      break;
    case 0x6B:  // get device id
      reply_or_refuse_locked(0x6B, 0, {device_id_});
      break;
    case 0x78:  // get time stamp
      reply_or_refuse_locked(0x7A, 0, {now_us()});
      break;
    case 0x9A: {  // device information: 24 bytes on the acknowledgement pipe
      std::vector<uint8_t> info;
      put32(info, 0);
      put32(info, config_.model_code);
      put32(info, config_.hw_version);
      put32(info, static_cast<uint32_t>(config_.serial_number));
      put32(info, config_.production_date);
      put32(info, static_cast<uint32_t>(config_.fw_version[0]) | static_cast<uint32_t>(config_.fw_version[1]) << 8 |
                      static_cast<uint32_t>(config_.fw_version[2]) << 16);
      ack_queue_locked().push_back(Transfer{std::move(info)});
      break;
    }
    default:  // close, reset, filter, set time stamp: nothing to answer
      break;
  }
}

void SimAdapter::handle_transmit_locked(const SimRequest& req, std::vector<simcan::CanFrame>* out) {
  const auto& w = req.words;
  size_t pos = 1;
  int records = 0;
  while (pos + 3 <= w.size()) {
    uint32_t control = w[pos + 2];
    uint8_t dlc = static_cast<uint8_t>((control >> 7) & 0xF);
    size_t len = simcan::dlc_length(dlc);
    size_t words = compact_ ? 3 + (len + 3) / 4 : (fd_records_ ? 19 : 5);
    if (pos + words > w.size()) break;
    simcan::CanFrame f;
    uint32_t id = w[pos];
    f.extended = (id & 4) != 0;
    f.remote = (id & 2) != 0;
    f.id = f.extended ? id >> 3 : id >> 21;
    f.fd = (control & (1u << 20)) != 0;
    f.brs = (control & (1u << 21)) != 0;
    f.dlc = dlc;
    size_t data_words = words - 3;
    for (size_t i = 0; i < data_words && i < 16; ++i) {
      for (int b = 0; b < 4; ++b) f.data[4 * i + b] = static_cast<uint8_t>(w[pos + 3 + i] >> (8 * b));
    }
    out->push_back(f);
    ++records;
    pos += words;
  }
  transmitted_ += static_cast<uint64_t>(records);
  if (drop_acks_) return;
  int taken = ack_taken_limit_ >= 0 ? std::min(records, ack_taken_limit_) : records;
  std::vector<uint8_t> ack;
  ack.push_back(static_cast<uint8_t>(taken));
  ack.push_back(ack_status_byte_);
  put32(ack, ack_status_word_);
  put32(ack, now_us());
  ack_queue_locked().push_back(Transfer{std::move(ack)});
}

void SimAdapter::receive_from_bus(const simcan::CanFrame& frame, uint32_t control_extra, bool marker) {
  std::vector<uint32_t> rec(19, 0);
  rec[0] = frame.extended ? (frame.id << 3) | 4u : frame.id << 21;
  if (frame.remote) rec[0] |= 2u;
  if (marker) rec[0] |= 1u;
  rec[1] = now_us();
  rec[2] = static_cast<uint32_t>(frame.dlc & 0xF) << 7 | control_extra;
  if (frame.fd) rec[2] |= 1u << 14;
  if (frame.brs) rec[2] |= 1u << 15;
  for (size_t i = 0; i < 16; ++i) {
    rec[3 + i] = static_cast<uint32_t>(frame.data[4 * i]) | static_cast<uint32_t>(frame.data[4 * i + 1]) << 8 |
                 static_cast<uint32_t>(frame.data[4 * i + 2]) << 16 |
                 static_cast<uint32_t>(frame.data[4 * i + 3]) << 24;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rx_records_.size() >= kMaxPendingRx) return;  // the adapter's buffer overflows
    rx_records_.push_back(std::move(rec));
  }
  data_ready_.notify_all();
}

std::vector<uint8_t> SimAdapter::build_batch_locked(uint32_t max_bytes) {
  std::vector<uint32_t> words{0};
  size_t frames = 0;
  size_t bytes = 8;  // header and checksum
  while (!rx_records_.empty() && frames < config_.max_frames_per_batch) {
    const auto& rec = rx_records_.front();
    bool fd = (rec[2] & (1u << 14)) != 0;
    size_t n = compact_ ? 3 + (simcan::dlc_length(static_cast<uint8_t>((rec[2] >> 7) & 0xF)) + 3) / 4
                        : (fd ? 19 : 5);
    if (bytes + 4 * n > max_bytes) break;
    words.insert(words.end(), rec.begin(), rec.begin() + static_cast<long>(n));
    bytes += 4 * n;
    ++frames;
    rx_records_.pop_front();
  }
  if (frames == 0) return {};
  words[0] = 0xA1u | static_cast<uint32_t>(words.size()) << 16;
  return frame_bytes(words);
}

bool SimAdapter::host_read(uint8_t pipe_id, uint8_t* data, uint32_t length, uint32_t* got, uint32_t timeout_ms) {
  *got = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ack_pipe = pipe_id == kAckPipe && config_.pipe_count >= 3;
  if (pipe_id != kReadPipe && !ack_pipe) {
    kitusb::set_last_error(kitusb::UsbError::kInvalidArgument);
    return false;
  }
  auto& queue = ack_pipe ? ack_queue_ : read_queue_;
  auto ready = [&] { return !connected_ || !queue.empty() || (!ack_pipe && !rx_records_.empty()); };
  if (!connected_) {
    kitusb::set_last_error(kitusb::UsbError::kNotConnected);
    return false;
  }
  if (take_failure_locked(ack_pipe ? ack_failure_ : read_failure_)) return false;
  if (!config_.empty_read_waits && !ready()) {
    kitusb::set_last_error(kitusb::UsbError::kTimeout);
    return false;
  }
  if (timeout_ms == 0) {
    data_ready_.wait(lock, ready);
  } else if (!data_ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
    kitusb::set_last_error(kitusb::UsbError::kTimeout);
    return false;
  }
  if (!connected_) {
    kitusb::set_last_error(kitusb::UsbError::kNotConnected);
    return false;
  }
  // Received frames go out as one batch, a transfer like any other.
  if (queue.empty() && !ack_pipe) {
    std::vector<uint8_t> batch = build_batch_locked(kMaxBatchBytes);
    if (!batch.empty()) queue.push_back(Transfer{std::move(batch)});
  }
  if (queue.empty()) return true;
  return deliver_locked(queue, data, length, got);
}

bool SimAdapter::deliver_locked(std::deque<Transfer>& queue, uint8_t* data, uint32_t length, uint32_t* got) {
  Transfer& t = queue.front();
  const uint32_t size = static_cast<uint32_t>(t.bytes.size());
  if (size <= length || t.ends_with != kitusb::UsbError::kNone) {
    // The whole transfer, or a failing one as far as the buffer takes it.
    const uint32_t n = std::min(size, length);
    if (n) std::memcpy(data, t.bytes.data(), n);
    *got = n;
    const kitusb::UsbError ends_with = t.ends_with;
    queue.pop_front();
    if (ends_with == kitusb::UsbError::kNone) return true;
    kitusb::set_last_error(ends_with);
    return false;
  }
  const uint32_t packet = config_.packet_bytes != 0 ? config_.packet_bytes : 512;
  const uint32_t whole = length / packet * packet;
  if (whole) std::memcpy(data, t.bytes.data(), whole);
  *got = whole;
  uint32_t taken = whole;
  const bool overflow = whole < length;
  if (overflow) taken += std::min(packet, size - whole);  // the packet with no room is lost
  t.bytes.erase(t.bytes.begin(), t.bytes.begin() + taken);
  if (t.bytes.empty()) queue.pop_front();
  if (!overflow) return true;
  kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
  return false;
}

bool SimAdapter::host_control(const kitusb::UsbControlSetup& setup, uint8_t* buffer, uint32_t* transferred) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (transferred) *transferred = 0;
  if (!connected_) {
    kitusb::set_last_error(kitusb::UsbError::kNotConnected);
    return false;
  }
  size_t n = std::min<size_t>(setup.length, sizeof(control_));
  if (setup.request_type == 0x40 && setup.request == 0x10) {
    std::memcpy(control_, buffer, n);
  } else if (setup.request_type == 0xC0 && setup.request == 0x11) {
    std::memcpy(buffer, control_, n);
  } else {
    kitusb::set_last_error(kitusb::UsbError::kGeneralFailure);
    return false;
  }
  if (transferred) *transferred = static_cast<uint32_t>(n);
  return true;
}

bool SimAdapter::host_reset_pipe(uint8_t pipe_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connected_) {
    kitusb::set_last_error(kitusb::UsbError::kNotConnected);
    return false;
  }
  ++resets_[pipe_id];
  return true;
}

void SimAdapter::inject_read(std::vector<uint8_t> bytes, kitusb::UsbError ends_with) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    read_queue_.push_back(Transfer{std::move(bytes), ends_with});
  }
  data_ready_.notify_all();
}

void SimAdapter::inject_ack(std::vector<uint8_t> bytes, kitusb::UsbError ends_with) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ack_queue_locked().push_back(Transfer{std::move(bytes), ends_with});
  }
  data_ready_.notify_all();
}

void SimAdapter::clear_pipes() {
  std::lock_guard<std::mutex> lock(mutex_);
  read_queue_.clear();
  ack_queue_.clear();
  rx_records_.clear();
}

void SimAdapter::send_status_report(uint32_t status_word) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_locked(0x86, 0, {status_word});
  }
  data_ready_.notify_all();
}

void SimAdapter::refuse_next(uint8_t refusal_code) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_code_ = refusal_code;
}

void SimAdapter::fail_writes(int n, kitusb::UsbError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  write_failure_ = PipeFailure{n, error};
}

void SimAdapter::cut_writes(int n, uint32_t moved, kitusb::UsbError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  write_cut_ = PipeFailure{n, error, moved};
}

void SimAdapter::fail_reads(uint8_t pipe_id, int n, kitusb::UsbError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  (pipe_id == kAckPipe ? ack_failure_ : read_failure_) = PipeFailure{n, error};
}

void SimAdapter::set_ack(int taken_limit, uint8_t status_byte, uint32_t status_word) {
  std::lock_guard<std::mutex> lock(mutex_);
  ack_taken_limit_ = taken_limit;
  ack_status_byte_ = status_byte;
  ack_status_word_ = status_word;
}

void SimAdapter::set_drop_acks(bool drop) {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_acks_ = drop;
}

void SimAdapter::set_open_reply(bool compact, uint32_t clock_hz) {
  std::lock_guard<std::mutex> lock(mutex_);
  compact_ = compact;
  clock_hz_ = clock_hz;
}

void SimAdapter::unplug() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
  }
  data_ready_.notify_all();
}

void SimAdapter::plug() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = true;
}

bool SimAdapter::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

std::vector<SimRequest> SimAdapter::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<SimRequest>(requests_.begin(), requests_.end());
}

void SimAdapter::clear_requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

size_t SimAdapter::bad_requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bad_requests_;
}

size_t SimAdapter::pipe_resets(uint8_t pipe_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resets_[pipe_id];
}

uint32_t SimAdapter::device_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_id_;
}

std::vector<uint8_t> SimAdapter::control_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<uint8_t>(control_, control_ + sizeof(control_));
}

bool SimAdapter::fd_record_mode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_records_;
}

size_t SimAdapter::pending_rx_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rx_records_.size();
}

size_t SimAdapter::queued_reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_queue_.size();
}

uint64_t SimAdapter::transmitted_frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transmitted_;
}

}  // namespace simadapter
