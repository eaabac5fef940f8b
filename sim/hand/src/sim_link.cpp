#include "simhand/sim_link.h"

#include <algorithm>

namespace simhand {
namespace {

// Room made up front: about a second of the busiest report stream, in
// slots that hold a frame of any bus but EtherCAT without growing.
constexpr size_t kPreparedItems = 4096;
constexpr size_t kPreparedBytes = 72;
constexpr size_t kMaxJoined = 4096;  // a byte stream joins what is due up to this

// Copies into storage that stays with `to` (a queue slot, the packet due).
void copy_packet(const Packet& from, Packet& to) {
  to.id = from.id;
  to.extended = from.extended;
  to.data.assign(from.data.begin(), from.data.end());
}

}  // namespace

SimPipe::SimPipe(uint64_t seed) : ring_(kPreparedItems), rng_(seed) {
  for (Item& item : ring_) item.packet.data.reserve(kPreparedBytes);
  out_.data.reserve(kMaxJoined + kPreparedBytes);
  chunk_.data.reserve(kPreparedBytes);
}

SimPipe::~SimPipe() { stop(); }

void SimPipe::set_sink(Sink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void SimPipe::set_faults(const FaultConfig& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

FaultConfig SimPipe::faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

void SimPipe::drop_next(size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_next_ = n;
}

void SimPipe::corrupt_next(size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  corrupt_next_ = n;
}

void SimPipe::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ || thread_.joinable()) return;
  running_ = true;
  thread_ = std::thread(&SimPipe::run, this);
}

void SimPipe::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    head_ = 0;
    count_ = 0;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool SimPipe::push(uint32_t id, const uint8_t* data, size_t len, bool extended) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return false;
  ++counters_.pushed;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  if (drop_next_ > 0 || faults_.silent || (faults_.drop > 0 && unit(rng_) < faults_.drop)) {
    if (drop_next_ > 0) --drop_next_;
    ++counters_.dropped;
    return true;
  }
  reserve_items(2);  // the packet and perhaps its duplicate
  Item& item = item_at(count_);
  item.packet.id = id;
  item.packet.extended = extended;
  if (data && len) item.packet.data.assign(data, data + len);
  else item.packet.data.clear();
  if (corrupt_next_ > 0 && !item.packet.data.empty()) {
    --corrupt_next_;
    item.packet.data[item.packet.data.size() / 2] ^= 0x5A;
    ++counters_.corrupted;
  } else if (faults_.corrupt > 0 && !item.packet.data.empty() && unit(rng_) < faults_.corrupt) {
    std::uniform_int_distribution<size_t> at(0, item.packet.data.size() - 1);
    std::uniform_int_distribution<int> mask(1, 255);
    item.packet.data[at(rng_)] ^= static_cast<uint8_t>(mask(rng_));
    ++counters_.corrupted;
  }
  auto due = std::chrono::steady_clock::now() + faults_.delay;
  if (faults_.jitter.count() > 0) {
    std::uniform_int_distribution<long long> j(0, faults_.jitter.count());
    due += std::chrono::microseconds(j(rng_));
  }
  // Packets never overtake each other: a wire keeps order.
  due = std::max(due, last_due_);
  last_due_ = due;
  item.due = due;
  const bool twice = faults_.duplicate > 0 && unit(rng_) < faults_.duplicate;
  ++count_;
  if (twice) {
    Item& copy = item_at(count_);
    copy.due = item.due;
    copy_packet(item.packet, copy.packet);
    ++count_;
    ++counters_.duplicated;
  }
  counters_.deepest = std::max<uint64_t>(counters_.deepest, count_);
  cv_.notify_all();
  return true;
}

bool SimPipe::wait_idle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return count_ == 0 && !busy_; });
}

PipeCounters SimPipe::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void SimPipe::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (running_) {
    if (count_ == 0) {
      cv_.wait(lock);
      continue;
    }
    const auto due = item_at(0).due;
    if (std::chrono::steady_clock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    pop_into(out_);
    // A byte stream has no packet boundaries: what is due by now goes out
    // as one run of bytes, cut at random below.
    if (faults_.max_chunk > 0) {
      const auto now = std::chrono::steady_clock::now();
      while (count_ > 0 && item_at(0).due <= now && out_.data.size() < kMaxJoined) {
        const std::vector<uint8_t>& more = item_at(0).packet.data;
        out_.data.insert(out_.data.end(), more.begin(), more.end());
        head_ = (head_ + 1) % ring_.size();
        --count_;
      }
    }
    busy_ = true;
    deliver(out_);  // unlocks around the sink
    busy_ = false;
    cv_.notify_all();
  }
}

void SimPipe::reserve_items(size_t n) {
  if (count_ + n <= ring_.size()) return;
  std::vector<Item> grown(std::max<size_t>(16, 2 * (count_ + n)));
  for (size_t i = 0; i < ring_.size(); ++i) grown[i] = std::move(item_at(i));
  ring_.swap(grown);
  head_ = 0;
}

void SimPipe::pop_into(Packet& out) {
  copy_packet(item_at(0).packet, out);
  head_ = (head_ + 1) % ring_.size();
  --count_;
}

// Called with the lock held; releases it while the sink runs.
void SimPipe::deliver(Packet& packet) {
  Sink sink = sink_;
  std::vector<size_t>& cuts = cuts_;
  cuts.clear();
  if (faults_.max_chunk > 0 && packet.data.size() > 1) {
    std::uniform_int_distribution<size_t> size(1, faults_.max_chunk);
    for (size_t at = 0; at < packet.data.size();) {
      at += size(rng_);
      if (at < packet.data.size()) cuts.push_back(at);
    }
  }
  counters_.chunks += cuts.size() + 1;
  ++counters_.delivered;
  mutex_.unlock();
  if (sink) {
    if (cuts.empty()) {
      sink(packet);
    } else {
      size_t from = 0;
      cuts.push_back(packet.data.size());
      for (size_t to : cuts) {
        chunk_.id = packet.id;
        chunk_.extended = packet.extended;
        chunk_.data.assign(packet.data.begin() + static_cast<long>(from), packet.data.begin() + static_cast<long>(to));
        sink(chunk_);
        from = to;
      }
    }
  }
  mutex_.lock();
}

}  // namespace simhand
