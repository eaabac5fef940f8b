#include "simhand/sim_link.h"

#include <algorithm>

namespace simhand {

SimPipe::SimPipe(uint64_t seed) : rng_(seed) {}

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
    queue_.clear();
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
  Item item;
  item.packet.id = id;
  item.packet.extended = extended;
  if (data && len) item.packet.data.assign(data, data + len);
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
  if (twice) {
    queue_.push_back(item);
    ++counters_.duplicated;
  }
  queue_.push_back(std::move(item));
  cv_.notify_all();
  return true;
}

bool SimPipe::wait_idle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return queue_.empty() && !busy_; });
}

PipeCounters SimPipe::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void SimPipe::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (running_) {
    if (queue_.empty()) {
      cv_.wait(lock);
      continue;
    }
    const auto due = queue_.front().due;
    if (std::chrono::steady_clock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    Packet packet = std::move(queue_.front().packet);
    queue_.pop_front();
    // A byte stream has no packet boundaries: what is due by now goes out
    // as one run of bytes, cut at random below.
    if (faults_.max_chunk > 0) {
      const auto now = std::chrono::steady_clock::now();
      while (!queue_.empty() && queue_.front().due <= now && packet.data.size() < 4096) {
        const std::vector<uint8_t>& more = queue_.front().packet.data;
        packet.data.insert(packet.data.end(), more.begin(), more.end());
        queue_.pop_front();
      }
    }
    busy_ = true;
    deliver(packet);  // unlocks around the sink
    busy_ = false;
    cv_.notify_all();
  }
}

// Called with the lock held; releases it while the sink runs.
void SimPipe::deliver(Packet& packet) {
  Sink sink = sink_;
  std::vector<size_t> cuts;
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
        Packet chunk;
        chunk.id = packet.id;
        chunk.extended = packet.extended;
        chunk.data.assign(packet.data.begin() + static_cast<long>(from), packet.data.begin() + static_cast<long>(to));
        sink(chunk);
        from = to;
      }
    }
  }
  mutex_.lock();
}

}  // namespace simhand
