// A faulty wire between the hand library and a simulated device. Each
// direction is a SimPipe with its own delivery thread (standing for the
// transport's receive thread) and its own faults: delay and jitter, drop,
// duplicate, corrupt bytes, arbitrary chunking of a byte stream, silence.
// Faults are drawn from a seeded generator, so a run can be repeated.
//
// Threads: push() from any thread, never blocks on delivery. The sink runs
// on the pipe's thread only, one packet (or chunk) at a time. stop() joins
// the thread; packets pushed afterwards are dropped. The owner (a test
// fixture) stops the pipes before it destroys what the sinks call into.
//
// Queued packets and the packet being delivered keep their storage from one
// packet to the next, and the queue's slots are made when the pipe is: a
// running pipe does not allocate unless its queue outgrows them, nor does
// its memory grow when a loaded machine lets a backlog build up for a while
// (a soak runs millions of packets through it).
#ifndef SIMHAND_SIM_LINK_H
#define SIMHAND_SIM_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace simhand {

struct FaultConfig {
  double drop = 0;        // probability that a packet is lost
  double duplicate = 0;   // probability that a packet arrives twice
  double corrupt = 0;     // probability that one byte of a packet is flipped
  std::chrono::microseconds delay{0};
  std::chrono::microseconds jitter{0};  // uniform 0..jitter added to delay, order kept
  size_t max_chunk = 0;   // > 0: byte stream: packets due together are joined, then cut
                          // into chunks of 1..max_chunk bytes
  bool silent = false;    // every packet lost
};

struct Packet {
  uint32_t id = 0;
  bool extended = false;
  std::vector<uint8_t> data;
};

struct PipeCounters {
  uint64_t pushed = 0, delivered = 0, dropped = 0, duplicated = 0, corrupted = 0, chunks = 0;
  uint64_t deepest = 0;  // the most packets queued at once
};

class SimPipe {
 public:
  using Sink = std::function<void(const Packet&)>;

  explicit SimPipe(uint64_t seed);
  ~SimPipe();
  SimPipe(const SimPipe&) = delete;
  SimPipe& operator=(const SimPipe&) = delete;

  // Before start().
  void set_sink(Sink sink);
  void set_faults(const FaultConfig& faults);
  FaultConfig faults() const;
  // Scripted faults on the next packets pushed, whatever the probabilities
  // say: the next n packets lose them all, or get their middle byte flipped.
  void drop_next(size_t n);
  void corrupt_next(size_t n);
  void start();
  void stop();

  // Takes a copy of the bytes; true when the pipe is running (a lost packet
  // counts as accepted, as on a wire).
  bool push(uint32_t id, const uint8_t* data, size_t len, bool extended = false);
  // Waits until nothing is queued or being delivered; false on time-out.
  bool wait_idle(std::chrono::milliseconds timeout);
  PipeCounters counters() const;

 private:
  struct Item {
    std::chrono::steady_clock::time_point due;
    Packet packet;
  };
  void run();
  // Makes room for n more items without moving the ones queued later.
  void reserve_items(size_t n);
  Item& item_at(size_t i) { return ring_[(head_ + i) % ring_.size()]; }
  // Copies the oldest item's packet into out and takes it off the queue.
  void pop_into(Packet& out);
  void deliver(Packet& packet);

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // Queue in a ring: count_ items from head_; slots keep their bytes' storage.
  std::vector<Item> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  // The delivery thread's own: the packet due, one chunk of it, the cuts.
  Packet out_;
  Packet chunk_;
  std::vector<size_t> cuts_;
  Sink sink_;
  FaultConfig faults_;
  std::mt19937_64 rng_;
  std::chrono::steady_clock::time_point last_due_{};
  bool running_ = false;
  bool busy_ = false;
  size_t drop_next_ = 0;
  size_t corrupt_next_ = 0;
  PipeCounters counters_;
  std::thread thread_;
};

// Both directions of one wire.
class SimLink {
 public:
  explicit SimLink(uint64_t seed = 1) : to_device(seed * 2 + 1), to_host(seed * 2 + 2) {}
  void start() {
    to_device.start();
    to_host.start();
  }
  void stop() {
    to_device.stop();
    to_host.stop();
  }
  bool wait_idle(std::chrono::milliseconds timeout) {
    return to_device.wait_idle(timeout) && to_host.wait_idle(timeout);
  }
  SimPipe to_device;
  SimPipe to_host;
};

}  // namespace simhand

#endif  // SIMHAND_SIM_LINK_H
