#include "change_queue.h"

#include <algorithm>

namespace zor_feedback {
namespace server {

ChangeQueue::ChangeQueue(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void ChangeQueue::post(unsigned bits) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    if (!entries_.empty() && !entries_.back().cycle)
      entries_.back().bits |= bits;
    else if (entries_.size() < capacity_)
      entries_.push_back(Entry{bits, std::nullopt});
    else
      entries_.back().bits |= bits;  // a cycle's entry: its push shows these values too
  }
  ready_.notify_one();
}

bool ChangeQueue::post_cycle(unsigned bits, long long cycle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (entries_.size() >= capacity_) {
      ++dropped_;
      entries_.back().bits |= bits;  // the values of the newest cycle still get pushed
      return false;
    }
    entries_.push_back(Entry{bits, cycle});
  }
  ready_.notify_one();
  return true;
}

std::optional<ChangeQueue::Entry> ChangeQueue::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return closed_ || !entries_.empty(); });
  if (closed_) return std::nullopt;
  Entry e = entries_.front();
  entries_.pop_front();
  return e;
}

void ChangeQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

long long ChangeQueue::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace server
}  // namespace zor_feedback
