#include "simcan/sim_can_bus.h"

#include <algorithm>

namespace simcan {

// Deliberately not the kit's own table (kitcanfd/length_code.h): the
// simulator's copy is an independent oracle that the tests hold the products
// against. Only the 4-bit field of a control word reaches it.
size_t dlc_length(uint8_t dlc) {
  static const uint8_t kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  return kLengths[dlc & 0xF];
}

uint8_t length_to_dlc(size_t length) {
  for (uint8_t d = 0; d < 16; ++d) {
    if (dlc_length(d) >= length) return d;
  }
  return 15;
}

size_t CanFrame::length() const { return dlc_length(dlc); }

void CanBus::attach(std::shared_ptr<CanNode> node) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_.push_back(std::move(node));
}

void CanBus::detach(const CanNode* node) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_.erase(std::remove_if(nodes_.begin(), nodes_.end(),
                              [node](const std::shared_ptr<CanNode>& n) { return n.get() == node; }),
               nodes_.end());
}

void CanBus::send(const CanFrame& frame, const CanNode* from) {
  std::vector<std::shared_ptr<CanNode>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++frames_sent_;
    targets = nodes_;
  }
  for (const auto& n : targets) {
    if (n.get() != from) n->on_frame(frame);
  }
}

size_t CanBus::node_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nodes_.size();
}

uint64_t CanBus::frames_sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_sent_;
}

void RecordingNode::on_frame(const CanFrame& frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(frame);
}

std::vector<CanFrame> RecordingNode::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

size_t RecordingNode::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

void RecordingNode::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.clear();
}

}  // namespace simcan
